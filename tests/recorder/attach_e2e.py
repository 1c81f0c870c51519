#!/usr/bin/env python3
# SPDX-FileCopyrightText: 2026 memloupe developers
# SPDX-License-Identifier: GPL-2.0-or-later
"""`memloupe --pid` end to end: a running memloupe_attachtarget (see the
counts at the top of tests/recorder/attachtarget.cpp) is attached to, let
go and attached to again by the real `memloupe`; its traces are read back
with `memloupe_report --json`, its GOT entries looked at in /proc/PID/mem.

    attach_e2e.py --memloupe BIN --report BIN --target BIN --static BIN --module SO [unittest arguments]
"""

import argparse
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

ARGS = None


def ptrace_refusal(need_gdb=True):
    """Why this machine does not let us attach, or None."""
    if need_gdb and shutil.which("gdb") is None:
        return "gdb is not installed (scripts/install-deps.sh installs it)"
    try:
        with open("/proc/sys/kernel/yama/ptrace_scope") as scope:
            level = int(scope.read().strip())
    except OSError:
        level = 0
    if level >= 3:
        return "/proc/sys/kernel/yama/ptrace_scope is 3: no process may be attached to"
    if level >= 1 and os.geteuid() != 0:
        return "/proc/sys/kernel/yama/ptrace_scope is %d and we are not root" % level
    return None


def phase_counts(phase):
    """allocations, temporary, leaked of one phase, as attachtarget.cpp says"""
    blocks = 100 * phase + 7
    return (blocks + 2 + 10 * phase + 2, 10 * phase + 2, (blocks // 2) * (1000 + phase) + 8 * blocks)


def report(testcase, trace):
    env = dict(os.environ, LANGUAGE="en_US", LC_ALL="C")
    result = subprocess.run([ARGS.report, "--json", trace], env=env, capture_output=True, timeout=120, check=False)
    testcase.assertEqual(result.returncode, 0, result.stderr.decode(errors="replace"))
    testcase.assertEqual(result.stderr.decode(errors="replace"), "", "memloupe_report diagnostics on " + trace)
    return json.loads(result.stdout)


def mappings(pid):
    """(start, end, path) of every mapping of the process"""
    found = []
    with open("/proc/%d/maps" % pid) as maps:
        for line in maps:
            fields = line.split()
            start, end = (int(part, 16) for part in fields[0].split("-"))
            found.append((start, end, fields[5] if len(fields) > 5 else "", int(fields[2], 16)))
    return found


def got_slot(executable, symbol):
    """offset of the executable's PLT entry of `symbol` in its GOT"""
    out = subprocess.run(["readelf", "-rW", executable], capture_output=True, text=True, check=True).stdout
    for line in out.splitlines():
        fields = line.split()
        if len(fields) >= 5 and fields[2] == "R_X86_64_JUMP_SLOT" and fields[4].split("@")[0] == symbol:
            return int(fields[0], 16)
    return None


def slot_owner(pid, executable, symbol):
    """file name of the module the executable's GOT entry of `symbol` points into"""
    offset = got_slot(executable, symbol)
    maps = mappings(pid)
    real = os.path.realpath(executable)
    bias = min(start - file_offset for start, _, path, file_offset in maps if path == real)
    with open("/proc/%d/mem" % pid, "rb") as memory:
        memory.seek(bias + offset)
        target = int.from_bytes(memory.read(8), "little")
    for start, end, path, _ in maps:
        if start <= target < end:
            return os.path.basename(path)
    return None


class Target:
    """memloupe_attachtarget, stepped through its standard input"""

    def __init__(self, *arguments):
        self.process = subprocess.Popen([ARGS.target] + list(arguments), stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        text=True)
        self.pid = self.process.pid

    def phase(self, testcase, number):
        self.process.stdin.write("phase %d\n" % number)
        self.process.stdin.flush()
        testcase.assertEqual(self.process.stdout.readline(), "phase %d done\n" % number)

    def quit(self):
        self.process.stdin.write("quit\n")
        self.process.stdin.flush()
        output = self.process.stdout.read()
        return output, self.process.wait(timeout=30)

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        self.process.stdin.close()
        self.process.stdout.close()


class Attached:
    """`memloupe --pid`, started, with its first line read"""

    def __init__(self, testcase, pid, output, *extra):
        self.process = subprocess.Popen([ARGS.memloupe, "--pid", str(pid), "-o", output] + list(extra),
                                        stderr=subprocess.PIPE, text=True)
        self.first = self.process.stderr.readline()
        testcase.assertRegex(self.first, r"^memloupe: attached to memloupe_attachtarget \(pid %d\), recording into %s;"
                             % (pid, re.escape(output)))

    def stop(self, number=signal.SIGINT):
        self.process.send_signal(number)
        return self.finish()

    def finish(self, timeout=30):
        rest = self.process.communicate(timeout=timeout)[1]
        return self.process.returncode, rest


def wrote_count(testcase, text, trace):
    match = re.search(r"^memloupe: wrote %s \([^,]*, ([0-9]+) allocations\); open it with" % re.escape(trace), text, re.M)
    testcase.assertIsNotNone(match, text)
    return int(match.group(1))


class AttachTwice(unittest.TestCase):
    """phase 1 unrecorded, phase 2 in the first trace, phase 3 in the second,
    phase 4 unrecorded again: each trace holds its own phase exactly"""

    def setUp(self):
        reason = ptrace_refusal()
        if reason:
            self.skipTest(reason)
        self.directory = tempfile.mkdtemp(prefix="memloupe-attach-")
        self.target = Target()

    def tearDown(self):
        self.target.kill()
        shutil.rmtree(self.directory, ignore_errors=True)

    def check_trace(self, trace, phase, text):
        document = report(self, trace)
        summary = document["summary"]
        self.assertTrue(summary["fromAttached"])
        # the command line the process was started with
        self.assertEqual(summary["debuggee"], ARGS.target)
        allocations, temporary, leaked = phase_counts(phase)
        cost = summary["cost"]
        self.assertEqual((cost["allocations"], cost["temporary"], cost["leaked"]), (allocations, temporary, leaked))
        self.assertEqual(wrote_count(self, text, trace), allocations)
        functions = {entry["function"]: entry["self"] for entry in document["callerCallee"]}
        block = functions.get("(anonymous namespace)::allocateBlock(unsigned long)")
        self.assertIsNotNone(block, sorted(functions))
        self.assertEqual(block["allocations"], 100 * phase + 7)
        self.assertEqual(functions["(anonymous namespace)::temporaries(int)"]["temporary"], 10 * phase)

    def test_two_attaches(self):
        target = self.target
        target.phase(self, 1)
        self.assertEqual(slot_owner(target.pid, ARGS.target, "malloc"), "libc.so.6")
        for trace_number, phase in ((1, 2), (2, 3)):
            trace = os.path.join(self.directory, "phase%d.zst" % trace_number)
            with self.subTest(phase=phase):
                attached = Attached(self, target.pid, trace)
                # redirected while recording, put back afterwards
                self.assertEqual(slot_owner(target.pid, ARGS.target, "malloc"), "libmemloupe_preload.so")
                self.assertEqual(slot_owner(target.pid, ARGS.target, "free"), "libmemloupe_preload.so")
                target.phase(self, phase)
                status, text = attached.stop()
                self.assertEqual(status, 0, text)
                self.assertIn("memloupe: stopped recording pid %d, which runs on" % target.pid, text)
                self.assertEqual(slot_owner(target.pid, ARGS.target, "malloc"), "libc.so.6")
                self.assertEqual(slot_owner(target.pid, ARGS.target, "free"), "libc.so.6")
                self.assertFalse(any("memloupe-ring" in path for _, _, path, _ in mappings(target.pid)))
                self.check_trace(trace, phase, text)
        target.phase(self, 4)
        output, status = target.quit()
        # the program's own checksum: sum over phases of 0 + 1 + ... + (10N - 1), plus 1 per phase
        expected = sum((10 * n) * (10 * n - 1) // 2 + 1 for n in (1, 2, 3, 4))
        self.assertEqual(output, "bye %d\n" % expected)
        self.assertEqual(status, 3)

    def test_target_exits_while_recorded(self):
        trace = os.path.join(self.directory, "exits.zst")
        self.target.phase(self, 1)
        attached = Attached(self, self.target.pid, trace)
        self.target.phase(self, 2)
        output, status = self.target.quit()
        self.assertEqual(status, 3)
        code, text = attached.finish()
        self.assertEqual(code, 0, text)
        self.assertIn("memloupe: pid %d has ended" % self.target.pid, text)
        document = report(self, trace)
        # phase 2, then quit frees its blocks: nothing leaked
        allocations, temporary, _ = phase_counts(2)
        cost = document["summary"]["cost"]
        self.assertEqual((cost["allocations"], cost["temporary"], cost["leaked"]), (allocations, temporary, 0))

    def test_module_loaded_while_recorded(self):
        """a dlopen'ed module's calls are redirected before it is used"""
        trace = os.path.join(self.directory, "module.zst")
        self.target.phase(self, 1)
        attached = Attached(self, self.target.pid, trace)
        self.target.process.stdin.write("plugin %s 5\n" % ARGS.module)
        self.target.process.stdin.flush()
        self.assertEqual(self.target.process.stdout.readline(), "plugin done\n")
        code, text = attached.stop()
        self.assertEqual(code, 0, text)
        functions = {entry["function"]: entry["self"] for entry in report(self, trace)["callerCallee"]}
        self.assertIn("memloupe_module_allocate", functions, sorted(functions))
        self.assertEqual(functions["memloupe_module_allocate"]["allocations"], 5)
        self.assertEqual(functions["memloupe_module_allocate"]["temporary"], 5)
        self.assertEqual(self.target.quit()[1], 3)

    def test_duration_and_sigterm(self):
        self.target.phase(self, 1)
        trace = os.path.join(self.directory, "duration.gz")
        started = time.monotonic()
        attached = Attached(self, self.target.pid, trace, "--duration", "1")
        self.target.phase(self, 2)
        code, text = attached.finish()
        self.assertEqual(code, 0, text)
        self.assertLess(time.monotonic() - started, 15)
        self.assertEqual(report(self, trace)["summary"]["cost"]["allocations"], phase_counts(2)[0])
        trace = os.path.join(self.directory, "sigterm.zst")
        attached = Attached(self, self.target.pid, trace)
        self.target.phase(self, 3)
        code, text = attached.stop(signal.SIGTERM)
        self.assertEqual(code, 0, text)
        self.assertEqual(report(self, trace)["summary"]["cost"]["allocations"], phase_counts(3)[0])
        output, status = self.target.quit()
        self.assertEqual(status, 3)


class AttachErrors(unittest.TestCase):
    """one line each, exit status 1 (2 for a wrong command line), the target unharmed"""

    def setUp(self):
        self.directory = tempfile.mkdtemp(prefix="memloupe-attach-")

    def tearDown(self):
        shutil.rmtree(self.directory, ignore_errors=True)

    def attach(self, pid, env=None, extra=()):
        result = subprocess.run([ARGS.memloupe, "--pid", str(pid), "-o", os.path.join(self.directory, "t.zst")] + list(extra),
                                capture_output=True, text=True, timeout=60, env=env, check=False)
        return result.returncode, result.stderr

    def assert_refused(self, result, pattern, code=1):
        status, text = result
        self.assertEqual(status, code, text)
        self.assertEqual(len(text.splitlines()), 1, text)
        self.assertRegex(text, pattern)
        self.assertFalse(os.path.exists(os.path.join(self.directory, "t.zst")))

    def test_no_such_process(self):
        # a pid that was just in use and is gone now
        gone = subprocess.Popen(["true"])
        gone.wait()
        self.assert_refused(self.attach(gone.pid), r"^memloupe: no process with pid %d\n$" % gone.pid)

    def test_command_line(self):
        self.assert_refused(self.attach("12x"), r"^memloupe: --pid needs a process id", code=2)
        self.assert_refused(self.attach(os.getpid(), extra=["ls"]), r"^memloupe: --pid records a running process; no program", code=2)
        result = subprocess.run([ARGS.memloupe, "--duration", "3", "ls"], capture_output=True, text=True, check=False)
        self.assert_refused((result.returncode, result.stderr), r"^memloupe: --duration is for --pid", code=2)

    def test_gdb_missing(self):
        # the permission check comes first
        reason = ptrace_refusal(need_gdb=False)
        if reason:
            self.skipTest(reason)
        target = Target()
        try:
            target.phase(self, 1)
            env = dict(os.environ, MEMLOUPE_GDB=os.path.join(self.directory, "no-gdb-here"))
            self.assert_refused(self.attach(target.pid, env=env), r"^memloupe: attaching needs gdb, which was not found.*\(Debian package gdb\)\n$")
            target.phase(self, 2)
            self.assertEqual(target.quit()[1], 3)
        finally:
            target.kill()

    def test_static_target(self):
        static = subprocess.Popen([ARGS.static, "wait"], stdin=subprocess.PIPE)
        try:
            time.sleep(0.1)
            self.assert_refused(self.attach(static.pid), r"^memloupe: .*\(pid %d\) is statically linked: the recorder cannot be loaded into it\n$" % static.pid)
            static.stdin.close()
            self.assertEqual(static.wait(timeout=10), 0)
        finally:
            if static.poll() is None:
                static.kill()

    def test_already_recorded(self):
        reason = ptrace_refusal()
        if reason:
            self.skipTest(reason)
        already = r"^memloupe: pid %d is already being recorded by memloupe\n$"
        # by an earlier attach that is still recording
        target = Target()
        try:
            target.phase(self, 1)
            attached = Attached(self, target.pid, os.path.join(self.directory, "first.zst"))
            self.assert_refused(self.attach(target.pid), already % target.pid)
            target.phase(self, 2)
            status, text = attached.stop()
            self.assertEqual(status, 0, text)
            self.assertEqual(report(self, os.path.join(self.directory, "first.zst"))["summary"]["cost"]["allocations"], phase_counts(2)[0])
            self.assertEqual(target.quit()[1], 3)
        finally:
            target.kill()
        # by the launch mode
        launched = subprocess.Popen([ARGS.memloupe, "-o", os.path.join(self.directory, "launched.zst"), ARGS.target],
                                    stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        try:
            started = launched.stderr.readline()
            pid = int(re.search(r"\(pid ([0-9]+)\)", started).group(1))
            launched.stdin.write("phase 1\n")
            launched.stdin.flush()
            self.assertEqual(launched.stdout.readline(), "phase 1 done\n")
            self.assert_refused(self.attach(pid), already % pid)
            launched.stdin.write("quit\n")
            launched.stdin.flush()
            launched.communicate(timeout=60)
            self.assertEqual(launched.returncode, 3)
        finally:
            if launched.poll() is None:
                launched.kill()
                launched.wait()


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    parser.add_argument("--memloupe", required=True)
    parser.add_argument("--report", required=True)
    parser.add_argument("--target", required=True)
    parser.add_argument("--static", required=True)
    parser.add_argument("--module", required=True)
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
