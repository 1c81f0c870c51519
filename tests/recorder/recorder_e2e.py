#!/usr/bin/env python3
# SPDX-FileCopyrightText: 2026 memloupe developers
# SPDX-License-Identifier: GPL-2.0-or-later
"""The recorder end to end: real programs run under the real `memloupe`, and
the traces it writes read back with `memloupe_report --json`.

    recorder_e2e.py --build-dir DIR --source-dir DIR [unittest arguments]

The numbers checked here are the ones documented at the top of
recorder/demo/demo.cpp and tests/recorder/hostile.cpp; the source lines are
found through the "line:" markers in those files.
"""

import argparse
import json
import os
import re
import resource
import shutil
import stat
import subprocess
import sys
import tempfile
import unittest

ARGS = None


def marker_lines(path):
    lines = {}
    with open(path, encoding="utf-8") as source:
        for number, text in enumerate(source, 1):
            match = re.search(r"// line: ([\w-]+)", text)
            if match:
                lines[match.group(1)] = number
    return lines


def no_core_dumps():
    # the segfaulting program must not leave a core file in the build tree
    resource.setrlimit(resource.RLIMIT_CORE, (0, 0))


def run(command, cwd=None, env=None, timeout=60):
    return subprocess.run(command, cwd=cwd, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          timeout=timeout, preexec_fn=no_core_dumps, check=False)


def record(arguments, cwd, memloupe=None, env=None):
    return run([memloupe or ARGS.memloupe] + arguments, cwd=cwd, env=env)


def report(testcase, trace, extra=()):
    """The JSON document of a trace; the reader must not complain about it."""
    env = dict(os.environ, LANGUAGE="en_US", LC_ALL="C")
    result = run([ARGS.report, "--json"] + list(extra) + [trace], env=env, timeout=120)
    testcase.assertEqual(result.returncode, 0, result.stderr.decode(errors="replace"))
    testcase.assertEqual(result.stderr.decode(errors="replace"), "", "memloupe_report diagnostics on " + trace)
    return json.loads(result.stdout)


def traces_in(directory):
    return sorted(os.path.join(directory, name) for name in os.listdir(directory) if name.startswith("memloupe."))


def check_written(testcase, result, trace, rep):
    """memloupe's closing line for the trace: complete, and with as many
    allocations as the reader counts in it"""
    text = result.stderr.decode(errors="replace")
    lines = [line for line in text.splitlines() if line.startswith("memloupe: wrote ")]
    wrote = [line for line in lines if re.match(r"memloupe: wrote (.*) \(", line).group(1) in (trace, os.path.basename(trace))]
    testcase.assertEqual(len(wrote), 1, text)
    testcase.assertNotIn("INCOMPLETE", wrote[0])
    count = re.search(r", ([0-9]+) allocations\)", wrote[0])
    testcase.assertIsNotNone(count, wrote[0])
    testcase.assertEqual(int(count.group(1)), rep.summary["cost"]["allocations"])


class Report:
    """Lookups into one memloupe_report document."""

    def __init__(self, document):
        self.document = document
        self.summary = document["summary"]
        self.entries = {}
        for entry in document["callerCallee"]:
            self.entries.setdefault(entry["function"], []).append(entry)

    def entry(self, testcase, function):
        found = self.entries.get(function, [])
        testcase.assertEqual(len(found), 1, "%s: %d caller/callee entries, functions are %s"
                             % (function, len(found), sorted(self.entries)[:80]))
        return found[0]

    def has(self, function):
        return function in self.entries

    @staticmethod
    def cost(entry, kind="self"):
        cost = entry[kind]
        return (cost["allocations"], cost["temporary"], cost["leaked"])

    def location(self, testcase, function, source_name, line):
        entry = self.entry(testcase, function)
        for location in entry["locations"]:
            if os.path.basename(location["file"]) == source_name and location["line"] == line:
                return location
        testcase.fail("%s has no location %s:%d, only %s" % (
            function, source_name, line, [(l["file"], l["line"]) for l in entry["locations"]]))
        return None


def check_functions(testcase, rep, expected):
    """expected: function -> (allocations, temporary, leaked) of its self cost"""
    for function, cost in expected.items():
        with testcase.subTest(function=function):
            testcase.assertEqual(Report.cost(rep.entry(testcase, function)), cost)


def caller_names(entry):
    return sorted(caller["function"] for caller in entry["callers"])


# What the demo's own functions cost (recorder/demo/demo.cpp).
DEMO_SELF = {
    "demo_inline_alloc": (1000, 0, 0),
    "demo_inlined_allocations": (0, 0, 0),
    "demo_temporary_loop": (2000, 2000, 0),
    "demo_realloc": (6, 0, 0),
    "demo_other_allocators": (5, 0, 0),
    "demo_leak": (1, 0, 5000),
    "demo_peak": (16, 0, 0),
    "demo_thread_work_0": (100, 0, 0),
    "demo_thread_work_1": (200, 0, 0),
    "demo_thread_work_2": (300, 0, 0),
    "demo_thread_work_3": (400, 0, 0),
    "demo_plugin_work": (50, 0, 0),
    "demo_plugin_leak": (1, 0, 700),
}
DEMO_ALLOCATIONS = sum(cost[0] for cost in DEMO_SELF.values()) + 1  # + the suppressed leak
DEMO_PEAK_BLOCKS = 8 * 65536 + 8 * 65600
# what the C library allocates on its own for the demo (thread start, dlopen,
# the exception pool of libstdc++) stays well below this
LIBRARY_ALLOWANCE = 300


class DemoRecording(unittest.TestCase):
    """One recording of the demo, checked number by number."""

    @classmethod
    def setUpClass(cls):
        cls.directory = tempfile.mkdtemp(prefix="memloupe-e2e-")
        # without -o: the trace gets its name from the program and its pid
        cls.result = record([ARGS.demo], cwd=cls.directory)
        cls.traces = traces_in(cls.directory)
        cls.lines = marker_lines(os.path.join(ARGS.source_dir, "recorder", "demo", "demo.cpp"))
        cls.plugin_lines = marker_lines(os.path.join(ARGS.source_dir, "recorder", "demo", "plugin.cpp"))
        cls.rep = None

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.directory, ignore_errors=True)

    def setUp(self):
        self.assertEqual(self.result.returncode, 0, self.result.stderr.decode(errors="replace"))
        self.assertEqual(len(self.traces), 1, "expected one trace, found %s" % self.traces)
        if DemoRecording.rep is None:
            DemoRecording.rep = Report(report(self, self.traces[0]))

    def test_trace_name_and_debuggee(self):
        self.assertRegex(os.path.basename(self.traces[0]), r"^memloupe\.memloupe_demo\.[0-9]+\.zst$")
        check_written(self, self.result, self.traces[0], self.rep)
        self.assertIn("memloupe_demo", self.rep.summary["debuggee"])
        self.assertFalse(self.rep.summary["fromAttached"])
        # the demo sleeps 45 ms in all
        self.assertGreaterEqual(self.rep.summary["totalTime"], 45)
        self.assertLess(self.rep.summary["totalTime"], 10000)
        self.assertGreater(self.rep.summary["peakRSS"], 0)
        self.assertGreater(self.rep.summary["totalSystemMemory"], 0)

    def test_self_costs_of_every_demo_function(self):
        check_functions(self, self.rep, DEMO_SELF)

    def test_totals(self):
        cost = self.rep.summary["cost"]
        self.assertGreaterEqual(cost["allocations"], DEMO_ALLOCATIONS)
        self.assertLessEqual(cost["allocations"], DEMO_ALLOCATIONS + LIBRARY_ALLOWANCE)
        self.assertGreaterEqual(cost["temporary"], 2000)
        self.assertLessEqual(cost["temporary"], 2000 + LIBRARY_ALLOWANCE)
        self.assertGreaterEqual(cost["leaked"], 5000 + 700)
        # the peak is while demo_peak holds its blocks, with both leaks live
        self.assertGreaterEqual(cost["peak"], DEMO_PEAK_BLOCKS + 8000)
        self.assertLess(cost["peak"], DEMO_PEAK_BLOCKS + 8000 + 512 * 1024)
        self.assertGreaterEqual(self.rep.summary["peakTime"], 10)
        self.assertLess(self.rep.summary["peakTime"], self.rep.summary["totalTime"])

    def test_peak_contributions(self):
        self.assertEqual(self.rep.entry(self, "demo_peak")["self"]["peak"], DEMO_PEAK_BLOCKS)
        self.assertEqual(self.rep.entry(self, "demo_leak")["self"]["peak"], 5000)
        # freed long before the peak
        self.assertEqual(self.rep.entry(self, "demo_inline_alloc")["self"]["peak"], 0)

    def test_inlined_helper_is_its_own_frame(self):
        location = self.rep.location(self, "demo_inline_alloc", "demo.cpp", self.lines["inline-alloc"])
        self.assertEqual(location["self"]["allocations"], 1000)
        outer = self.rep.location(self, "demo_inlined_allocations", "demo.cpp", self.lines["inline-call"])
        self.assertEqual(outer["inclusive"]["allocations"], 1000)
        self.assertEqual(outer["self"]["allocations"], 0)
        self.assertEqual(caller_names(self.rep.entry(self, "demo_inline_alloc")), ["demo_inlined_allocations"])
        # the bottom-up tree: helper, then the function it is inlined into, then main
        rows = [row for row in self.rep.document["bottomUp"] if row["function"] == "demo_inline_alloc"]
        self.assertEqual(len(rows), 1)
        self.assertEqual([child["function"] for child in rows[0]["children"]], ["demo_inlined_allocations"])
        self.assertIn("main", [child["function"] for child in rows[0]["children"][0]["children"]])

    def test_allocating_lines(self):
        for function, marker in [("demo_temporary_loop", "temporary"), ("demo_leak", "leak"),
                                 ("demo_suppressed_leak", "suppressed-leak"), ("demo_peak", "peak"),
                                 ("demo_thread_work_0", "thread-0"), ("demo_thread_work_1", "thread-1"),
                                 ("demo_thread_work_2", "thread-2"), ("demo_thread_work_3", "thread-3")]:
            with self.subTest(function=function):
                entry = self.rep.entry(self, function)
                location = self.rep.location(self, function, "demo.cpp", self.lines[marker])
                self.assertEqual(location["self"]["allocations"], entry["self"]["allocations"])

    def test_each_allocation_function(self):
        expected = {"realloc-null": 1, "realloc-grow": 1, "realloc-shrink": 1, "realloc-zero": 0}
        for marker, count in expected.items():
            with self.subTest(line=marker):
                entry = self.rep.entry(self, "demo_realloc")
                at_line = [l for l in entry["locations"] if l["line"] == self.lines[marker]]
                self.assertEqual(sum(l["self"]["allocations"] for l in at_line), count)
        for marker in ["calloc", "posix_memalign", "aligned_alloc", "new", "new-array"]:
            with self.subTest(line=marker):
                location = self.rep.location(self, "demo_other_allocators", "demo.cpp", self.lines[marker])
                self.assertEqual(location["self"]["allocations"], 1)
        # operator new is not where `new` allocates
        for row in self.rep.document["bottomUp"]:
            self.assertFalse(row["function"].startswith("operator new"), row["function"])

    def test_threads_keep_their_own_stacks(self):
        for index in range(4):
            with self.subTest(thread=index):
                entry = self.rep.entry(self, "demo_thread_work_%d" % index)
                self.assertEqual(caller_names(entry), ["demo_thread_main"])
        callers = caller_names(self.rep.entry(self, "demo_thread_main"))
        self.assertNotIn("main", callers)

    def test_plugin_frames(self):
        work = self.rep.entry(self, "demo_plugin_work")
        self.assertTrue(work["module"].endswith("memloupe_demo_plugin.so"), work["module"])
        self.assertEqual(caller_names(work), ["memloupe_demo_plugin_run"])
        self.assertEqual(caller_names(self.rep.entry(self, "memloupe_demo_plugin_run")), ["demo_plugin"])
        self.rep.location(self, "demo_plugin_work", "plugin.cpp", self.plugin_lines["plugin-work"])
        self.rep.location(self, "demo_plugin_leak", "plugin.cpp", self.plugin_lines["plugin-leak"])
        self.assertTrue(self.rep.entry(self, "demo_leak")["module"].endswith("memloupe_demo"))

    def test_embedded_suppression(self):
        rules = {rule["pattern"]: rule for rule in self.rep.summary["suppressions"]}
        self.assertIn("demo_suppressed_leak", rules)
        self.assertEqual((rules["demo_suppressed_leak"]["matches"], rules["demo_suppressed_leak"]["leaked"]), (1, 3000))
        unsuppressed = report(self, self.traces[0], ["--disable-embedded-suppressions"])["summary"]
        self.assertEqual(unsuppressed["cost"]["leaked"], self.rep.summary["cost"]["leaked"] + 3000)
        self.assertNotIn("demo_suppressed_leak", [rule["pattern"] for rule in unsuppressed["suppressions"]])

    def test_forked_child_not_recorded(self):
        self.assertFalse(self.rep.has("demo_forked_child"))

    def test_consumed_chart(self):
        chart = self.rep.document["charts"]["consumed"]
        rows = chart["rows"]
        # the demo's phases are some milliseconds apart
        self.assertGreaterEqual(len(rows), 8)
        times = [row["time"] for row in rows]
        self.assertEqual(times, sorted(times))
        self.assertLessEqual(times[-1], self.rep.summary["totalTime"])
        # column 0 is the whole heap; the peak shows, and demo_peak's column holds its blocks there
        self.assertEqual(max(row["cost"][0] for row in rows), self.rep.summary["cost"]["peak"])
        columns = [label["column"] for label in chart["labels"] if label["function"] == "demo_peak"]
        self.assertEqual(len(columns), 1)
        self.assertEqual(max(row["cost"][columns[0]] for row in rows), DEMO_PEAK_BLOCKS)
        self.assertEqual(rows[-1]["cost"][columns[0]], 0)


class RecordChildren(unittest.TestCase):
    """--record-children: the forked child gets a trace of its own."""

    def test_child_trace(self):
        directory = tempfile.mkdtemp(prefix="memloupe-e2e-")
        self.addCleanup(shutil.rmtree, directory, True)
        parent_path = os.path.join(directory, "memloupe.parent.zst")
        result = record(["--record-children", "-o", parent_path, ARGS.demo], cwd=directory)
        self.assertEqual(result.returncode, 0, result.stderr.decode(errors="replace"))
        traces = traces_in(directory)
        self.assertIn(parent_path, traces)
        self.assertEqual(len(traces), 2, traces)
        parent = Report(report(self, parent_path))
        child_path = [trace for trace in traces if trace != parent_path][0]
        child = Report(report(self, child_path))
        check_written(self, result, parent_path, parent)
        check_written(self, result, child_path, child)

        # the parent's trace is the same as without the option
        check_functions(self, parent, DEMO_SELF)
        self.assertFalse(parent.has("demo_forked_child"))

        self.assertEqual(Report.cost(child.entry(self, "demo_forked_child")), (30, 0, 3000))
        self.assertIn("demo_fork", caller_names(child.entry(self, "demo_forked_child")))
        # what the parent did before the fork is not the child's
        for function in DEMO_SELF:
            self.assertFalse(child.has(function), function)
        self.assertLessEqual(child.summary["cost"]["allocations"], 30 + LIBRARY_ALLOWANCE)


HOSTILE_CASES = [
    # mode, exit status through memloupe, function -> (allocations, temporary, leaked)
    ("segv", 128 + 11, {"hostile_before_crash": (10, 0, 640)}),
    ("closefds", 0, {"hostile_before_close": (5, 0, 160), "hostile_after_close": (20, 0, 960)}),
    ("sigkill", 128 + 9, {"hostile_before_kill": (12, 0, 960)}),
    ("exceptions", 0, {"hostile_depth": (800, None, 0)}),
    ("exit3", 3, {"hostile_before_exit": (7, 0, 672)}),
]


class HostilePrograms(unittest.TestCase):
    """Programs that crash, kill themselves, close every descriptor, throw or
    leave through _exit: the trace is complete and the status passed on."""

    def test_hostile(self):
        for mode, status, expected in HOSTILE_CASES:
            with self.subTest(mode=mode):
                directory = tempfile.mkdtemp(prefix="memloupe-e2e-")
                self.addCleanup(shutil.rmtree, directory, True)
                trace = os.path.join(directory, "memloupe.hostile.zst")
                result = record(["-o", trace, ARGS.hostile, mode], cwd=directory)
                self.assertEqual(result.returncode, status, result.stderr.decode(errors="replace"))
                self.assertEqual(traces_in(directory), [trace])
                rep = Report(report(self, trace))
                check_written(self, result, trace, rep)
                for function, cost in expected.items():
                    actual = Report.cost(rep.entry(self, function))
                    if cost[1] is None:
                        actual = (actual[0], None, actual[2])
                    self.assertEqual(actual, cost, function)
                if mode == "exceptions":
                    self.assertEqual(result.stdout, b"caught 100, cleanups 800\n")
                    # every throw allocated its exception object from the thrower
                    thrown = [c for c in rep.entry(self, "hostile_depth")["callees"]
                              if c["function"] == "__cxa_allocate_exception"]
                    self.assertEqual(sum(c["cost"]["allocations"] for c in thrown), 100)


class LauncherErrors(unittest.TestCase):
    """A program that cannot be started: the shell's statuses, no trace."""

    def test_cannot_start(self):
        directory = tempfile.mkdtemp(prefix="memloupe-e2e-")
        self.addCleanup(shutil.rmtree, directory, True)
        not_executable = os.path.join(directory, "plain-file")
        with open(not_executable, "w", encoding="utf-8") as file:
            file.write("#!/bin/sh\nexit 0\n")
        os.chmod(not_executable, stat.S_IRUSR | stat.S_IWUSR)
        for program, status in [("/nonexistent/program", 127), ("memloupe-no-such-program-on-path", 127),
                                (not_executable, 126), (directory, 126)]:
            for with_output in (False, True):
                with self.subTest(program=program, with_output=with_output):
                    output = os.path.join(directory, "memloupe.wanted.zst")
                    arguments = (["-o", output] if with_output else []) + [program, "arg"]
                    result = record(arguments, cwd=directory)
                    self.assertEqual(result.returncode, status, result.stderr.decode(errors="replace"))
                    self.assertNotEqual(result.stderr, b"", "the failure must be explained")
                    self.assertEqual(traces_in(directory), [])


class Installed(unittest.TestCase):
    """cmake --install into a scratch prefix: the installed memloupe records
    with the installed preload library."""

    def test_installed_recorder(self):
        prefix = tempfile.mkdtemp(prefix="memloupe-install-")
        self.addCleanup(shutil.rmtree, prefix, True)
        result = run(["cmake", "--install", ARGS.build_dir, "--prefix", prefix], timeout=300)
        self.assertEqual(result.returncode, 0, result.stderr.decode(errors="replace"))
        memloupe = os.path.join(prefix, "bin", "memloupe")
        self.assertTrue(os.access(memloupe, os.X_OK), memloupe)
        libraries = [os.path.join(root, name) for root, _, names in os.walk(prefix)
                     for name in names if name == "libmemloupe_preload.so"]
        self.assertEqual(len(libraries), 1, libraries)

        directory = tempfile.mkdtemp(prefix="memloupe-e2e-")
        self.addCleanup(shutil.rmtree, directory, True)
        trace = os.path.join(directory, "memloupe.installed.zst")
        # the dynamic loader names every library it loads into the recorded program
        env = dict(os.environ, LD_DEBUG="files")
        result = record(["-o", trace, ARGS.demo], cwd=directory, memloupe=memloupe, env=env)
        self.assertEqual(result.returncode, 0, result.stderr.decode(errors="replace")[-2000:])
        loaded = set(re.findall(r"file=(\S*libmemloupe_preload\.so)", result.stderr.decode(errors="replace")))
        self.assertEqual([os.path.realpath(path) for path in loaded], [os.path.realpath(libraries[0])])
        rep = Report(report(self, trace))
        check_functions(self, rep, DEMO_SELF)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("--source-dir", required=True)
    parser.add_argument("--memloupe")
    parser.add_argument("--report")
    parser.add_argument("--demo")
    parser.add_argument("--hostile")
    global ARGS
    ARGS, rest = parser.parse_known_args()
    # the programs run in directories of their own
    binaries = os.path.join(ARGS.build_dir, "bin")
    for name, default in [("memloupe", "memloupe"), ("report", "memloupe_report"), ("demo", "memloupe_demo"),
                          ("hostile", "memloupe_hostile")]:
        setattr(ARGS, name, os.path.abspath(getattr(ARGS, name) or os.path.join(binaries, default)))
    ARGS.build_dir = os.path.abspath(ARGS.build_dir)
    ARGS.source_dir = os.path.abspath(ARGS.source_dir)
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
