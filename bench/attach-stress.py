#!/usr/bin/env python3
# SPDX-FileCopyrightText: 2026 memloupe developers
# SPDX-License-Identifier: GPL-2.0-or-later
"""Attach to and detach from a multi-threaded program, over and over, while
all its threads allocate and free: no crash, no deadlock, and the program
ends normally afterwards. Prints the cycles done, the time per attach and
per detach and the events recorded.

    bench/attach-stress.py BUILD_DIR [--cycles 100] [--threads 4] [--record-seconds 0.05]

Needs gdb and ptrace rights over the program (root, or ptrace_scope 0).
A cycle that takes longer than --timeout seconds counts as a deadlock.
"""

import argparse
import os
import re
import signal
import statistics
import subprocess
import sys
import tempfile
import time


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build_dir")
    parser.add_argument("--cycles", type=int, default=100)
    parser.add_argument("--threads", type=int, default=4)
    parser.add_argument("--record-seconds", type=float, default=0.05)
    parser.add_argument("--timeout", type=float, default=60)
    args = parser.parse_args()
    binaries = os.path.join(args.build_dir, "bin")
    memloupe = os.path.join(binaries, "memloupe")
    target_path = os.path.join(binaries, "memloupe_attachtarget")
    for path in (memloupe, target_path):
        if not os.access(path, os.X_OK):
            sys.exit("attach-stress: %s is missing; build memloupe and memloupe_attachtarget" % path)

    target = subprocess.Popen([target_path, "--threads", str(args.threads)], stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE, text=True)
    attach_times, detach_times, events = [], [], []
    failure = None
    with tempfile.TemporaryDirectory(prefix="memloupe-stress-") as directory:
        trace = os.path.join(directory, "stress.zst")
        time.sleep(0.2)
        for cycle in range(args.cycles):
            if target.poll() is not None:
                failure = "the program ended during cycle %d with status %d" % (cycle + 1, target.returncode)
                break
            begin = time.monotonic()
            run = subprocess.Popen([memloupe, "--pid", str(target.pid), "-o", trace], stderr=subprocess.PIPE, text=True)
            first = run.stderr.readline()
            attached = time.monotonic()
            if not first.startswith("memloupe: attached to"):
                rest = run.communicate(timeout=args.timeout)[1]
                failure = "cycle %d: attach failed: %s" % (cycle + 1, (first + rest).strip())
                break
            time.sleep(args.record_seconds)
            stop = time.monotonic()
            run.send_signal(signal.SIGINT)
            try:
                rest = run.communicate(timeout=args.timeout)[1]
            except subprocess.TimeoutExpired:
                run.kill()
                failure = "cycle %d: detach did not finish within %g s (deadlock?)" % (cycle + 1, args.timeout)
                break
            done = time.monotonic()
            count = re.search(r"wrote .* \([^,]*, ([0-9]+) allocations\)", rest)
            if run.returncode != 0 or not count or "INCOMPLETE" in rest:
                failure = "cycle %d: memloupe exited with %d: %s" % (cycle + 1, run.returncode, rest.strip())
                break
            attach_times.append(attached - begin)
            detach_times.append(done - stop)
            events.append(int(count.group(1)))
        alive = target.poll() is None
        if alive:
            target.stdin.write("quit\n")
            target.stdin.flush()
        try:
            output = target.communicate(timeout=args.timeout)[0]
        except subprocess.TimeoutExpired:
            target.kill()
            output = ""
            failure = failure or "the program did not end after quit (deadlock?)"

    cycles = len(attach_times)
    print("attach-stress: %d threads allocating, %d of %d cycles done, %.3f s recorded per cycle"
          % (args.threads, cycles, args.cycles, args.record_seconds))
    if cycles:
        print("  attach: mean %.3f s, median %.3f s, max %.3f s (until recording)"
              % (statistics.mean(attach_times), statistics.median(attach_times), max(attach_times)))
        print("  detach: mean %.3f s, median %.3f s, max %.3f s (until the trace is written)"
              % (statistics.mean(detach_times), statistics.median(detach_times), max(detach_times)))
        print("  allocations recorded per cycle: mean %d, min %d, max %d, total %d"
              % (statistics.mean(events), min(events), max(events), sum(events)))
    print("  program: %s, exit status %s" % (output.strip() or "no output", target.returncode))
    if failure is None and target.returncode != 0:
        failure = "the program exited with %s" % target.returncode
    if failure:
        print("attach-stress: FAILED: " + failure)
        return 1
    print("attach-stress: passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
