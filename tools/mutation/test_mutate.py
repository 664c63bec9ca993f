#!/usr/bin/env python3
"""Tests of the mutation run's own parts: the mutant file, the exactly-once rule, the copy of the tree, the checks
that stop each other, and how a failure is read from ctest's and the reliability tool's output."""

import io
import os
import shutil
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import mutate  # noqa: E402


ONE_OF_EACH = """
# a comment
[one-line]
file: usb/channel.cpp
fault: a status changed
find: return STATUS_SUCCESS;
replace: return STATUS_IO_TIMEOUT;

[a-block]
file: card/exchange.cpp
fault: two lines dropped
find: <<
    first();
    second();
>>
replace: <<
    first();
>>

[a-deletion]
file: pinpad/vendor.cpp
fault: a call dropped
find:     third();
replace:
"""


class MutantFile(unittest.TestCase):
    def test_inline_block_and_deletion_forms(self):
        mutants = mutate.parse_mutants(ONE_OF_EACH)
        self.assertEqual([m.id for m in mutants], ["one-line", "a-block", "a-deletion"])
        self.assertEqual([m.folder for m in mutants], ["usb", "card", "pinpad"])
        self.assertEqual(mutants[0].find, "return STATUS_SUCCESS;")
        self.assertEqual(mutants[0].replace, "return STATUS_IO_TIMEOUT;")
        self.assertEqual(mutants[1].find, "    first();\n    second();")
        self.assertEqual(mutants[1].replace, "    first();")
        # Only the one blank after the colon is taken off: the snippet keeps its own indentation.
        self.assertEqual(mutants[2].find, "    third();")
        self.assertEqual(mutants[2].replace, "")
        self.assertEqual(mutants[1].line, 9)

    def test_mistakes_name_their_line(self):
        cases = [
            ("[x]\nfile: usb/a.cpp\nfault: f\nfind: a\n", "has no 'replace:'", 1),
            ("[x]\nfile: usb/a.cpp\nfault: f\nfind:\nreplace: b\n", "empty 'find:'", 1),
            ("[x]\nfile: usb/a.cpp\nfault: f\nfind: a\nreplace: a\n", "with itself", 1),
            ("[x]\nfile: platform/a.cpp\nfault: f\nfind: a\nreplace:\n", "not in a driver folder", 1),
            ("[x]\nfile: a.cpp\nfault: f\nfind: a\nreplace:\n", "not in a driver folder", 1),
            ("[Bad_Id]\n", "bad mutant id", 1),
            ("file: usb/a.cpp\n", "before the first [id]", 1),
            ("[x]\nfile: usb/a.cpp\nfile: usb/b.cpp\n", "given twice", 3),
            ("[x]\nfile: usb/a.cpp\nfault: f\nfind: <<\n  a\n", "no closing '>>'", 4),
            ("[x]\nwhat: now\n", "cannot read this line", 2),
            ("[x]\nfile: usb/a.cpp\nfault: f\nfind: a\nreplace:\n[x]\nfile: usb/a.cpp\nfault: f\nfind: b\nreplace:\n",
             "used twice", 6),
        ]
        for text, message, line in cases:
            with self.subTest(message=message):
                with self.assertRaises(mutate.MutantError) as caught:
                    mutate.parse_mutants(text, "m.txt")
                self.assertIn(message, str(caught.exception))
                self.assertTrue(str(caught.exception).startswith(f"m.txt:{line}:"), str(caught.exception))

    def test_the_project_mutants_cover_every_driver_folder(self):
        mutants = mutate.load_mutants(mutate.DEFAULT_MUTANTS)
        self.assertGreaterEqual(len(mutants), 30)
        for folder in mutate.DRIVER_FOLDERS:
            with self.subTest(folder=folder):
                self.assertGreaterEqual(sum(1 for m in mutants if m.folder == folder), 3)
        for m in mutants:
            with self.subTest(mutant=m.id):
                self.assertTrue(m.fault)


class ExactlyOnce(unittest.TestCase):
    def setUp(self):
        self.root = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, self.root)
        os.makedirs(os.path.join(self.root, "usb"))
        with open(os.path.join(self.root, "usb", "a.cpp"), "w") as f:
            f.write("int a() {\n    x = 1;\n    y = 2;\n    y = 2;\n}\n")

    def mutant(self, find, replace=""):
        return mutate.Mutant("m", "usb/a.cpp", "fault", find, replace, 7)

    def test_a_snippet_found_once_is_replaced_there(self):
        m = self.mutant("    x = 1;\n", "    x = 0;\n")
        self.assertEqual(mutate.mutated_text(m, self.root), "int a() {\n    x = 0;\n    y = 2;\n    y = 2;\n}\n")
        self.assertEqual(mutate.line_of(m, self.root), 2)

    def test_a_snippet_missing_or_repeated_stops_the_run(self):
        for find, message in (("z = 3;", "does not occur"), ("y = 2;", "occurs 2 times")):
            with self.subTest(find=find):
                with self.assertRaises(mutate.MutantError) as caught:
                    mutate.mutated_text(self.mutant(find), self.root)
                self.assertIn(message, str(caught.exception))
                self.assertIn("'m' (line 7)", str(caught.exception))

    def test_every_problem_is_reported_at_once(self):
        with self.assertRaises(mutate.MutantError) as caught:
            mutate.check_all([self.mutant("z = 3;"), self.mutant("x = 1;"), self.mutant("y = 2;")], self.root)
        self.assertIn("does not occur", str(caught.exception))
        self.assertIn("occurs 2 times", str(caught.exception))


class TreeCopy(unittest.TestCase):
    def test_only_changed_files_are_written_and_stale_ones_go(self):
        root = tempfile.mkdtemp()
        dest = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, root)
        self.addCleanup(shutil.rmtree, dest)
        os.makedirs(os.path.join(root, "usb"))
        os.makedirs(os.path.join(root, "build"))
        for rel, text in (("usb/a.cpp", "a"), ("usb/b.cpp", "b"), ("build/out.o", "o")):
            with open(os.path.join(root, rel), "w") as f:
                f.write(text)
        self.assertEqual(mutate.sync_tree(root, dest), 2)
        self.assertFalse(os.path.exists(os.path.join(dest, "build", "out.o")))
        old = time.time() - 1000
        os.utime(os.path.join(dest, "usb", "a.cpp"), (old, old))
        # A mutant left in the copy by an interrupted run, and a file gone from the checkout.
        with open(os.path.join(dest, "usb", "b.cpp"), "w") as f:
            f.write("mutated")
        with open(os.path.join(dest, "usb", "gone.cpp"), "w") as f:
            f.write("gone")
        self.assertEqual(mutate.sync_tree(root, dest), 2)
        with open(os.path.join(dest, "usb", "b.cpp")) as f:
            self.assertEqual(f.read(), "b")
        self.assertFalse(os.path.exists(os.path.join(dest, "usb", "gone.cpp")))
        self.assertAlmostEqual(os.stat(os.path.join(dest, "usb", "a.cpp")).st_mtime, old, delta=1)


def shell_check(name, script, timeout=30, failure_line=mutate.report_failure_line):
    return mutate.Check(name, ["sh", "-c", script], None, timeout, failure_line)


class Stages(unittest.TestCase):
    def test_all_passing(self):
        log = io.StringIO()
        checks = [shell_check("a", "echo ok"), shell_check("b", "echo fine")]
        self.assertIsNone(mutate.run_stage(checks, log))
        self.assertEqual([c.exit_code for c in checks], [0, 0])

    def test_a_failure_line_stops_the_other_checks(self):
        started = time.monotonic()
        slow = shell_check("slow", "sleep 60")
        failing = shell_check("batch", "echo 'FAILED apdus seed 4 (no disturbance), deadlock after 3.000 virtual ms:'; "
                                       "echo '  deadlock: every thread waits'; sleep 60")
        failed = mutate.run_stage([slow, failing], io.StringIO())
        self.assertIs(failed, failing)
        self.assertLess(time.monotonic() - started, 20)
        kind, by, detail = mutate.describe_failure(failed)
        self.assertEqual((kind, by), ("failed", "reliability apdus seed 4 (no disturbance)"))
        self.assertIn("every thread waits", detail)

    def test_a_non_zero_exit_fails_without_a_failure_line(self):
        failed = mutate.run_stage([shell_check("batch", "echo nothing to see; exit 1")], io.StringIO())
        self.assertEqual(failed.name, "batch")
        self.assertEqual(mutate.describe_failure(failed)[0], "failed")

    def test_a_hang_is_stopped_at_its_time_out(self):
        started = time.monotonic()
        hung = shell_check("ctest", "sleep 60", timeout=1)
        failed = mutate.run_stage([hung], io.StringIO())
        self.assertIs(failed, hung)
        self.assertLess(time.monotonic() - started, 15)
        self.assertEqual(mutate.describe_failure(failed)[:2], ("timeout", "ctest"))


CTEST_OUTPUT = """Test project /b
      Start  6: test_card
 1/31 Test  #6: test_card .........................***Failed    0.05 sec
Running main() from gtest_main.cc
[ RUN      ] Exchange.LongAnswerIsRefused
card/exchange_test.cpp:40: Failure
[  FAILED  ] Exchange.LongAnswerIsRefused (1 ms)
[  FAILED  ] 1 test, listed below:
      Start  7: test_driver_entry
 2/31 Test  #7: test_driver_entry .................   Passed    0.03 sec"""


class ReadingFailures(unittest.TestCase):
    def ctest(self, text):
        check = mutate.Check("ctest", [], None, 10, mutate.ctest_failure_line)
        check.output = text.split("\n")
        check.exit_code = 8
        return check

    def test_status_lines(self):
        self.assertTrue(mutate.ctest_failure_line(" 1/31 Test  #6: test_card ..........***Failed    0.05 sec"))
        self.assertTrue(mutate.ctest_failure_line(" 3/9 Test #2: t_x ...***Timeout 240.02 sec"))
        self.assertTrue(mutate.ctest_failure_line(" 3/9 Test #2: t_x ...Subprocess aborted***Exception:   0.20 sec"))
        self.assertFalse(mutate.ctest_failure_line(" 2/31 Test  #7: test_driver_entry ....   Passed    0.03 sec"))
        self.assertFalse(mutate.ctest_failure_line("[  FAILED  ] Exchange.LongAnswerIsRefused (1 ms)"))

    def test_the_failing_test_case_is_named(self):
        kind, by, _ = mutate.describe_failure(self.ctest(CTEST_OUTPUT))
        self.assertEqual((kind, by), ("failed", "test_card (Exchange.LongAnswerIsRefused)"))

    def test_a_crashed_test_program_names_the_case_it_was_running(self):
        text = (" 1/2 Test #9: test_reader_link ....Subprocess aborted***Exception:   0.30 sec\n"
                "[ RUN      ] Configuration.SmallPipesAreRefused\n[       OK ] Configuration.SmallPipesAreRefused\n"
                "[ RUN      ] Configuration.LargerEndpointsGetEightByteTransfers\nconfig_test.cpp:224: Failure")
        self.assertEqual(mutate.describe_failure(self.ctest(text))[:2],
                         ("crash", "test_reader_link (Configuration.LargerEndpointsGetEightByteTransfers)"))

    def test_a_parameterised_case_loses_the_parameter_note(self):
        text = (" 1/2 Test #9: test_driver_pnp ....***Failed   0.30 sec\n"
                "[  FAILED  ] Queries/QueryWaitsForIdle.Until/query_stop, where GetParam() = 4-byte object <01>")
        self.assertEqual(mutate.describe_failure(self.ctest(text))[1],
                         "test_driver_pnp (Queries/QueryWaitsForIdle.Until/query_stop)")

    def test_crash_and_timeout_are_told_apart(self):
        for status, kind in (("Subprocess aborted***Exception:", "crash"), ("***Exception: SegFault", "crash"),
                             ("***Timeout", "timeout")):
            with self.subTest(status=status):
                text = f" 1/2 Test #1: workbench_default ....{status}   3.10 sec\ndefault scenario:9: FAILED"
                kind_seen, by, _ = mutate.describe_failure(self.ctest(text))
                self.assertEqual(kind_seen, kind)
                self.assertEqual(by, "workbench_default (default scenario:9: FAILED)")


class Scores(unittest.TestCase):
    def test_build_errors_count_for_neither_side(self):
        results = [{"folder": "usb", "outcome": "killed"}, {"folder": "usb", "outcome": "survived"},
                   {"folder": "card", "outcome": "killed"}, {"folder": "card", "outcome": "build-error"}]
        scores = mutate.score_table(results)
        self.assertEqual(scores["usb"]["score"], 50.0)
        self.assertEqual(scores["card"]["score"], 100.0)
        self.assertEqual(scores["card"]["build_error"], 1)
        self.assertEqual(scores["overall"]["killed"], 2)
        self.assertAlmostEqual(scores["overall"]["score"], 66.7)
        self.assertNotIn("driver", scores)


if __name__ == "__main__":
    unittest.main()
