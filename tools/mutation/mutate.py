#!/usr/bin/env python3
"""Mutation run: how many small faults in the driver's code the project's checks catch.

Each mutant of tools/mutation/mutants.txt replaces one exact snippet of one driver source file. The run copies the
source tree to build/mutation/src (the real tree is never touched), builds the copy in build/mutation/build
(RelWithDebInfo, Ninja), runs the short suite on the unmutated copy first, then, one mutant at a time, applies the
mutant, rebuilds what depends on the file, runs the short suite and restores the file. A mutant is killed by the
first failing test, crash, hang (a test or batch running past its time-out) or reliability finding, and survives
when the whole suite passes.

The short suite, in two stages, stopping at the first failure:
  1. ctest: every test of the build except the slow ones, two at a time;
  2. at the same time: the slow ctest tests (test_reliability), and a reliability batch
     (qward-reliability report with a few seeds and a coarse stride, on seeds the ctest batch does not use).

  python3 tools/mutation/mutate.py              every mutant (make mutation)
  python3 tools/mutation/mutate.py --list       the mutants, each checked against the sources
  python3 tools/mutation/mutate.py --only ID,ID the named mutants (the unmutated copy still runs first)
  python3 tools/mutation/mutate.py --compile-only  only compile each mutated file (to check new mutants)

Results: a table on stdout, build/mutation/results.txt (the same table), build/mutation/results.json (per mutant and
per folder), and build/mutation/logs/<id>.log (each mutant's build and test output).
"""

import argparse
import json
import os
import queue
import re
import shutil
import signal
import subprocess
import sys
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
DRIVER_FOLDERS = ("driver", "usb", "protocol", "card", "pinpad")
DEFAULT_MUTANTS = os.path.join(ROOT, "tools", "mutation", "mutants.txt")
SLOW_TESTS = ("test_reliability",)
# Seeds 1 to 12 and the sweeps of seeds 1 and 2 are test_reliability's; the batch starts past its sweep seeds.
RELIABILITY_ARGS = ["report", "--first", "3", "--seeds", "5", "--stride", "10"]


class MutantError(Exception):
    """A mutant file that cannot be read, or a mutant that no longer fits the sources."""


class Mutant:
    def __init__(self, ident, file, fault, find, replace, line):
        self.id = ident
        self.file = file
        self.fault = fault
        self.find = find
        self.replace = replace
        self.line = line  # of its [id] line in the mutant file

    @property
    def folder(self):
        return self.file.split("/", 1)[0]


# ---- The mutant file --------------------------------------------------------------------------------------------

ID_PATTERN = re.compile(r"^[a-z0-9][a-z0-9-]*$")


def parse_mutants(text, origin="mutants.txt"):
    """Reads the mutant file format (see the head of mutants.txt). Raises MutantError naming the line."""
    mutants = []
    current = None
    lines = text.split("\n")
    i = 0

    def fail(lineno, message):
        raise MutantError(f"{origin}:{lineno}: {message}")

    def finish(entry):
        if entry is None:
            return
        for key in ("file", "fault", "find", "replace"):
            if key not in entry["fields"]:
                fail(entry["line"], f"mutant '{entry['id']}' has no '{key}:'")
        fields = entry["fields"]
        if fields["find"] == "":
            fail(entry["line"], f"mutant '{entry['id']}' has an empty 'find:'")
        if fields["find"] == fields["replace"]:
            fail(entry["line"], f"mutant '{entry['id']}' replaces its snippet with itself")
        folder = fields["file"].split("/", 1)[0]
        if folder not in DRIVER_FOLDERS or "/" not in fields["file"]:
            fail(entry["line"], f"mutant '{entry['id']}': {fields['file']} is not in a driver folder "
                                f"({', '.join(DRIVER_FOLDERS)})")
        if any(m.id == entry["id"] for m in mutants):
            fail(entry["line"], f"mutant id '{entry['id']}' is used twice")
        mutants.append(Mutant(entry["id"], fields["file"], fields["fault"], fields["find"], fields["replace"],
                              entry["line"]))

    while i < len(lines):
        raw = lines[i]
        lineno = i + 1
        i += 1
        stripped = raw.strip()
        if stripped == "" or stripped.startswith("#"):
            continue
        if stripped.startswith("[") and stripped.endswith("]"):
            finish(current)
            ident = stripped[1:-1].strip()
            if not ID_PATTERN.match(ident):
                fail(lineno, f"bad mutant id '{ident}' (lower-case letters, digits and '-')")
            current = {"id": ident, "line": lineno, "fields": {}}
            continue
        match = re.match(r"^(file|fault|find|replace):(.*)$", raw)
        if not match:
            fail(lineno, f"cannot read this line: {raw!r}")
        if current is None:
            fail(lineno, "a field before the first [id] line")
        key, value = match.group(1), match.group(2)
        if key in current["fields"]:
            fail(lineno, f"'{key}:' given twice in mutant '{current['id']}'")
        if value.strip() == "<<":
            # A block: the following lines verbatim, up to a line that is only '>>'.
            block = []
            while True:
                if i >= len(lines):
                    fail(lineno, f"the block of '{key}:' has no closing '>>' line")
                if lines[i] == ">>":
                    i += 1
                    break
                block.append(lines[i])
                i += 1
            value = "\n".join(block)
        else:
            value = value[1:] if value.startswith(" ") else value
            value = value.rstrip()
            if key in ("file", "fault"):
                value = value.strip()
        current["fields"][key] = value
    finish(current)
    return mutants


def load_mutants(path):
    try:
        with open(path, encoding="utf-8") as f:
            text = f.read()
    except OSError as e:
        raise MutantError(f"cannot read {path}: {e}")
    return parse_mutants(text, os.path.relpath(path, ROOT))


def locate(mutant, source_root):
    """The source text and the offset of the mutant's snippet, which must occur exactly once."""
    path = os.path.join(source_root, mutant.file)
    try:
        with open(path, encoding="utf-8") as f:
            text = f.read()
    except OSError as e:
        raise MutantError(f"mutant '{mutant.id}' (line {mutant.line}): cannot read {mutant.file}: {e}")
    count = text.count(mutant.find)
    if count != 1:
        where = "does not occur" if count == 0 else f"occurs {count} times"
        raise MutantError(f"mutant '{mutant.id}' (line {mutant.line}): its snippet {where} in {mutant.file}; "
                          f"the code has changed, so the mutant must be brought up to date:\n"
                          + "\n".join("    | " + l for l in mutant.find.split("\n")))
    return text, text.index(mutant.find)


def mutated_text(mutant, source_root):
    text, offset = locate(mutant, source_root)
    return text[:offset] + mutant.replace + text[offset + len(mutant.find):]


def check_all(mutants, source_root):
    """Every mutant's snippet must occur exactly once; all problems are reported together."""
    problems = []
    for m in mutants:
        try:
            locate(m, source_root)
        except MutantError as e:
            problems.append(str(e))
    if problems:
        raise MutantError("\n".join(problems))


def line_of(mutant, source_root):
    text, offset = locate(mutant, source_root)
    return text.count("\n", 0, offset) + 1


# ---- The copy of the tree ---------------------------------------------------------------------------------------

def source_files(root):
    """The files of the checkout, as git sees them (tracked and new, not ignored); every file outside build/ and
    .git/ when the tree is not a git checkout."""
    try:
        out = subprocess.run(["git", "ls-files", "-z", "--cached", "--others", "--exclude-standard"], cwd=root,
                             check=True, capture_output=True).stdout
        files = [f for f in out.decode().split("\0") if f]
    except (OSError, subprocess.CalledProcessError):
        files = []
        for dirpath, dirnames, filenames in os.walk(root):
            rel = os.path.relpath(dirpath, root)
            if rel == ".":
                dirnames[:] = [d for d in dirnames if d not in ("build", ".git")]
            for name in filenames:
                files.append(os.path.normpath(os.path.join(rel, name)))
    return sorted(f for f in files if os.path.isfile(os.path.join(root, f)))


def sync_tree(root, dest):
    """Makes dest a copy of the checkout. Files whose content is unchanged keep their time stamps, so the build of
    the copy only redoes what changed since the last run (a mutant left behind by an interrupted run is put back
    here too). Returns the number of files written or removed."""
    wanted = set(source_files(root))
    changed = 0
    for rel in wanted:
        src = os.path.join(root, rel)
        dst = os.path.join(dest, rel)
        with open(src, "rb") as f:
            data = f.read()
        try:
            with open(dst, "rb") as f:
                same = f.read() == data
        except OSError:
            same = False
        if not same:
            os.makedirs(os.path.dirname(dst), exist_ok=True)
            with open(dst, "wb") as f:
                f.write(data)
            shutil.copymode(src, dst)
            changed += 1
    for dirpath, _, filenames in os.walk(dest):
        for name in filenames:
            rel = os.path.relpath(os.path.join(dirpath, name), dest)
            if rel not in wanted:
                os.remove(os.path.join(dirpath, name))
                changed += 1
    return changed


def write_file(path, text):
    # A new time stamp on every write: the build must redo the file whenever its content changes.
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)


# ---- Running checks ---------------------------------------------------------------------------------------------

class Check:
    """One command of the short suite: its output is read line by line as it comes, so that a failure is seen at
    once, and the command runs in a process group of its own, so that it can be stopped with its children."""

    def __init__(self, name, argv, cwd, timeout, failure_line, env=None):
        self.name = name
        self.argv = argv
        self.cwd = cwd
        self.timeout = timeout
        self.failure_line = failure_line  # line -> True when the line reports a failure
        self.env = env
        self.proc = None
        self.output = []
        self.started = None
        self.seconds = 0.0
        self.exit_code = None
        self.failed_line = None
        self.timed_out = False


def stop_group(proc):
    if proc.poll() is not None:
        return
    for sig, wait in ((signal.SIGTERM, 5), (signal.SIGKILL, 5)):
        try:
            os.killpg(proc.pid, sig)
        except ProcessLookupError:
            return
        try:
            proc.wait(timeout=wait)
            return
        except subprocess.TimeoutExpired:
            continue


def run_stage(checks, log):
    """Runs the checks at the same time. Returns the first check that failed (its failure line, a non-zero exit or
    its time-out), after stopping the others, or None when all passed."""
    events = queue.Queue()

    def reader(check):
        for raw in iter(check.proc.stdout.readline, b""):
            events.put((check, raw.decode("utf-8", "replace").rstrip("\n")))
        check.proc.stdout.close()
        check.proc.wait()
        events.put((check, None))

    for check in checks:
        env = dict(os.environ)
        env.update(check.env or {})
        check.started = time.monotonic()
        check.proc = subprocess.Popen(check.argv, cwd=check.cwd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                      stdin=subprocess.DEVNULL, env=env, start_new_session=True)
        threading.Thread(target=reader, args=(check,), daemon=True).start()

    running = set(checks)
    failed = None
    # A check that printed its failure still gets a moment to print what follows (the failing test's output).
    grace_until = None
    while running:
        now = time.monotonic()
        deadline = min(c.started + c.timeout for c in running)
        if grace_until is not None:
            deadline = min(deadline, grace_until)
        try:
            check, line = events.get(timeout=max(0.05, deadline - now))
        except queue.Empty:
            if grace_until is not None and time.monotonic() >= grace_until:
                break
            for c in list(running):
                if time.monotonic() >= c.started + c.timeout:
                    c.timed_out = True
                    log.write(f"[{c.name}] time-out after {c.timeout:.0f} s: stopped\n")
                    stop_group(c.proc)
                    if failed is None:
                        failed = c
            continue
        if line is None:
            running.discard(check)
            check.seconds = time.monotonic() - check.started
            check.exit_code = check.proc.returncode
            if failed is None and (check.exit_code != 0 or check.timed_out):
                failed = check
            if failed is not None and grace_until is None:
                grace_until = time.monotonic() + 3
            continue
        check.output.append(line)
        log.write(f"[{check.name}] {line}\n")
        if failed is None and check.failed_line is None and check.failure_line(line):
            check.failed_line = line
            failed = check
            grace_until = time.monotonic() + 3
    for c in running:
        stop_group(c.proc)
        c.seconds = time.monotonic() - c.started
    log.flush()
    return failed


CTEST_STATUS = re.compile(r"Test\s+#\d+:\s+(\S+)\s+\.*\s*(.*?)\s+[\d.]+ sec\s*$")


def ctest_failure_line(line):
    m = CTEST_STATUS.search(line)
    return bool(m) and not m.group(2).startswith("Passed")


def report_failure_line(line):
    return line.startswith("FAILED ")


def describe_failure(check):
    """How the check failed: (kind, by, detail). kind is 'failed', 'crash' or 'timeout'."""
    if check.timed_out:
        return "timeout", check.name, f"still running after {check.timeout:.0f} s"
    out = check.output
    if check.name.startswith("ctest"):
        for idx, line in enumerate(out):
            m = CTEST_STATUS.search(line)
            if not m or m.group(2).startswith("Passed"):
                continue
            test, status = m.group(1), m.group(2)
            kind = "failed"
            if "Timeout" in status:
                kind = "timeout"
            elif "Exception" in status or "aborted" in status or "SegFault" in status:
                kind = "crash"
            # The test's own output follows its status line (--output-on-failure).
            case = None
            last_run = None
            notes = []
            for follow in out[idx + 1:]:
                if CTEST_STATUS.search(follow):
                    break
                g = re.match(r"^\[  FAILED  \] ([^\s,]+\.[^\s,]+)", follow)
                if g and case is None:
                    case = g.group(1)
                g = re.match(r"^\[ RUN      \] (\S+)", follow)
                if g:
                    last_run = g.group(1)
                if ("BUG CHECK" in follow or "deadlock" in follow.lower() or "FAILED" in follow
                        or "Failure" in follow) and len(notes) < 3:
                    notes.append(follow.strip())
            if case is None and last_run is not None and kind != "failed":
                # A GoogleTest program that crashed or hung names no failed case: the last one it started is it.
                case = last_run
            if case is None and notes:
                # Not a GoogleTest program (a scenario file, a script): its first failure line names the failure.
                case = notes[0][:70]
            by = f"{test} ({case})" if case else test
            return kind, by, f"{status}; " + " | ".join(notes)[:400]
        return "failed", check.name, f"exit status {check.exit_code}"
    # The reliability batch: "FAILED <scenario> seed <n> (<disturbance>), <outcome> after ..." and its findings.
    for idx, line in enumerate(out):
        if line.startswith("FAILED "):
            m = re.match(r"^FAILED (\S+) seed (\d+) \((.*?)\), (.*?) after", line)
            by = f"reliability {m.group(1)} seed {m.group(2)} ({m.group(3)})" if m else "reliability batch"
            kind = "crash" if m and "crash" in m.group(4) else "failed"
            detail = " | ".join(l.strip() for l in out[idx:idx + 3])
            return kind, by, detail[:400]
    return ("crash" if check.exit_code and check.exit_code < 0 else "failed"), "reliability batch", \
        f"exit status {check.exit_code}: " + " | ".join(out[-3:])[:300]


# ---- The suite --------------------------------------------------------------------------------------------------

class Suite:
    def __init__(self, build_dir, jobs, slow_tests, reliability_args):
        self.build_dir = build_dir
        self.jobs = jobs
        self.slow_tests = list(slow_tests)
        self.reliability_args = list(reliability_args)
        self.timeouts = {}  # check name -> seconds, from the unmutated run
        self.targets = []

    def discover(self):
        """The build targets the suite needs: every file of the build that a ctest command names, and the
        reliability tool. The benchmark and the pcscd library are not rebuilt for each mutant."""
        out = subprocess.run(["ctest", "--show-only=json-v1"], cwd=self.build_dir, check=True,
                             capture_output=True, text=True).stdout
        tests = json.loads(out)["tests"]
        targets = set()
        names = set()
        for t in tests:
            names.add(t["name"])
            for arg in t.get("command", []):
                if arg.startswith(self.build_dir + os.sep):
                    targets.add(os.path.relpath(arg, self.build_dir))
        targets.add(os.path.join("reliability", "qward-reliability"))
        self.targets = sorted(targets)
        self.slow_tests = [t for t in self.slow_tests if t in names]
        return len(tests)

    def stages(self, timeouts):
        env = {"GTEST_FAIL_FAST": "1"}
        slow = "|".join(f"^{re.escape(t)}$" for t in self.slow_tests)

        def ctest(name, selection, jobs):
            t = timeouts.get(name, 600)
            argv = ["ctest", "--output-on-failure", "--stop-on-failure", "-j", str(jobs), "--timeout",
                    str(int(t))] + selection
            return Check(name, argv, self.build_dir, t + 30, ctest_failure_line, env)

        first = [ctest("ctest", ["-E", slow] if slow else [], self.jobs)]
        second = [ctest(f"ctest {t}", ["-R", f"^{re.escape(t)}$"], 1) for t in self.slow_tests]
        tool = os.path.join(self.build_dir, "reliability", "qward-reliability")
        t = timeouts.get("reliability", 900)
        second.append(Check("reliability", [tool] + self.reliability_args, self.build_dir, t, report_failure_line))
        return [first, second]

    def run(self, log, timeouts):
        """Runs the stages in turn; returns (failed check or None, seconds per check)."""
        seconds = {}
        for stage in self.stages(timeouts):
            failed = run_stage(stage, log)
            for c in stage:
                seconds[c.name] = c.seconds
            if failed is not None:
                return failed, seconds
        return None, seconds


def build(build_dir, targets, jobs, log, timeout):
    started = time.monotonic()
    argv = ["cmake", "--build", build_dir, "-j", str(jobs), "--target"] + targets
    proc = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
                            start_new_session=True)
    try:
        out, _ = proc.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        stop_group(proc)
        out, _ = proc.communicate()
        log.write(out.decode("utf-8", "replace"))
        return False, time.monotonic() - started, "the build timed out"
    text = out.decode("utf-8", "replace")
    log.write(text)
    log.flush()
    if proc.returncode != 0:
        errors = [l.strip() for l in text.split("\n") if "error:" in l][:2] or ["exit status %d" % proc.returncode]
        return False, time.monotonic() - started, " | ".join(errors)[:400]
    return True, time.monotonic() - started, ""


# ---- Output -----------------------------------------------------------------------------------------------------

def score_table(results):
    rows = {}
    for folder in DRIVER_FOLDERS + ("overall",):
        rows[folder] = {"killed": 0, "survived": 0, "build_error": 0}
    for r in results:
        key = {"killed": "killed", "survived": "survived"}.get(r["outcome"], "build_error")
        rows[r["folder"]][key] += 1
        rows["overall"][key] += 1
    for row in rows.values():
        judged = row["killed"] + row["survived"]
        row["score"] = round(100.0 * row["killed"] / judged, 1) if judged else None
    return {k: v for k, v in rows.items() if k == "overall" or v["killed"] + v["survived"] + v["build_error"]}


def format_results(results, scores):
    lines = []
    id_width = max([len(r["id"]) for r in results] + [6])
    lines.append(f"{'mutant':<{id_width}}  {'folder':<8}  {'result':<8}  {'seconds':>7}  by / fault")
    for r in results:
        lines.append(f"{r['id']:<{id_width}}  {r['folder']:<8}  {r['outcome']:<8}  {r['seconds']:>7.0f}  "
                     + (r["by"] if r["outcome"] == "killed" else r["fault"]))
        if r["outcome"] == "killed" and r["how"] != "failed":
            lines[-1] += f" [{r['how']}]"
    lines.append("")
    lines.append(f"{'folder':<8}  {'killed':>6}  {'survived':>8}  {'score':>6}")
    for folder, row in scores.items():
        score = f"{row['score']:.1f}%" if row["score"] is not None else "-"
        extra = f"  ({row['build_error']} did not build)" if row["build_error"] else ""
        lines.append(f"{folder:<8}  {row['killed']:>6}  {row['survived']:>8}  {score:>6}{extra}")
    survivors = [r for r in results if r["outcome"] == "survived"]
    if survivors:
        lines.append("")
        lines.append("survivors:")
        for r in survivors:
            lines.append(f"  {r['id']} ({r['file']}:{r['source_line']}): {r['fault']}")
    broken = [r for r in results if r["outcome"] == "build-error"]
    if broken:
        lines.append("")
        lines.append("did not build (fix the mutant; not counted in the score):")
        for r in broken:
            lines.append(f"  {r['id']}: {r['detail']}")
    return "\n".join(lines)


def compile_only(mutants, src, build_dir, logs, args):
    """Compiles each mutated file alone (its object file in the driver library), restoring it afterwards."""
    broken = 0
    with open(os.path.join(logs, "compile-only.log"), "w") as log:
        for m in mutants:
            path = os.path.join(src, m.file)
            with open(path, encoding="utf-8") as f:
                original = f.read()
            target = f"CMakeFiles/qward_driver.dir/{m.file}.o"
            try:
                write_file(path, mutated_text(m, src))
                log.write(f"---- {m.id}\n")
                ok, seconds, detail = build(build_dir, [target], args.jobs, log, args.build_timeout)
            finally:
                write_file(path, original)
            broken += 0 if ok else 1
            print(f"{m.id:<40} {'compiles' if ok else 'DOES NOT COMPILE: ' + detail} ({seconds:.0f} s)", flush=True)
    print(f"{len(mutants) - broken} of {len(mutants)} mutants compile")
    return 0 if broken == 0 else 3


# ---- Main -------------------------------------------------------------------------------------------------------

def main(argv=None):
    parser = argparse.ArgumentParser(description="Mutation run over the driver folders.")
    parser.add_argument("--list", action="store_true", help="list the mutants (each checked against the sources)")
    parser.add_argument("--compile-only", action="store_true",
                        help="only compile each mutated file (warnings are errors), to check new mutants quickly")
    parser.add_argument("--only", default="", help="comma-separated mutant ids to run")
    parser.add_argument("--folder", default="", help="comma-separated driver folders whose mutants run")
    parser.add_argument("--mutants", default=DEFAULT_MUTANTS, help="the mutant file")
    parser.add_argument("--work", default=os.path.join(ROOT, "build", "mutation"),
                        help="work folder: the copy (src), its build (build), logs and results")
    parser.add_argument("--jobs", type=int, default=2, help="parallel build and test jobs (2)")
    parser.add_argument("--timeout-factor", type=float, default=4.0,
                        help="a check's time-out is this many times its time on the unmutated code (4)")
    parser.add_argument("--min-timeout", type=float, default=120.0, help="the shortest time-out of a check, s (120)")
    parser.add_argument("--build-timeout", type=float, default=1800.0, help="time-out of one build, s (1800)")
    parser.add_argument("--reliability-args", default=" ".join(RELIABILITY_ARGS),
                        help=f"qward-reliability arguments of the batch ('{' '.join(RELIABILITY_ARGS)}')")
    args = parser.parse_args(argv)

    try:
        mutants = load_mutants(args.mutants)
        check_all(mutants, ROOT)
    except MutantError as e:
        print(f"mutate: {e}", file=sys.stderr)
        return 2

    if args.list:
        id_width = max(len(m.id) for m in mutants)
        for m in mutants:
            where = f"{m.file}:{line_of(m, ROOT)}"
            print(f"{m.id:<{id_width}}  {where:<26}  {m.fault}")
        counts = {f: sum(1 for m in mutants if m.folder == f) for f in DRIVER_FOLDERS}
        print(f"\n{len(mutants)} mutants: " + ", ".join(f"{f} {n}" for f, n in counts.items()))
        return 0

    selected = mutants
    if args.only:
        wanted = [s.strip() for s in args.only.split(",") if s.strip()]
        unknown = [w for w in wanted if w not in {m.id for m in mutants}]
        if unknown:
            print(f"mutate: no mutant named {', '.join(unknown)} (see --list)", file=sys.stderr)
            return 2
        selected = [m for m in mutants if m.id in wanted]
    if args.folder:
        folders = [s.strip() for s in args.folder.split(",") if s.strip()]
        bad = [f for f in folders if f not in DRIVER_FOLDERS]
        if bad:
            print(f"mutate: not a driver folder: {', '.join(bad)}", file=sys.stderr)
            return 2
        selected = [m for m in selected if m.folder in folders]
    if not selected:
        print("mutate: no mutant selected", file=sys.stderr)
        return 2

    work = os.path.abspath(args.work)
    src = os.path.join(work, "src")
    build_dir = os.path.join(work, "build")
    logs = os.path.join(work, "logs")
    os.makedirs(src, exist_ok=True)
    os.makedirs(logs, exist_ok=True)
    run_started = time.monotonic()

    changed = sync_tree(ROOT, src)
    print(f"copy of the tree: {src} ({changed} file(s) brought up to date)", flush=True)
    # Lines of each mutant in the sources, for the report, before any of them is applied.
    source_lines = {m.id: line_of(m, src) for m in selected}

    if not os.path.exists(os.path.join(build_dir, "CMakeCache.txt")):
        subprocess.run(["cmake", "-S", src, "-B", build_dir, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=RelWithDebInfo"],
                       check=True, stdout=subprocess.DEVNULL)
    suite = Suite(build_dir, args.jobs, SLOW_TESTS, args.reliability_args.split())

    if args.compile_only:
        return compile_only(selected, src, build_dir, logs, args)

    # The unmutated copy: built in full once (everything the suite runs), then the suite, which must pass.
    with open(os.path.join(logs, "pristine.log"), "w") as log:
        print("building the unmutated copy ...", flush=True)
        ok, build_seconds, detail = build(build_dir, ["all"], args.jobs, log, args.build_timeout)
        if not ok:
            print(f"mutate: the unmutated copy does not build: {detail}\n  see {log.name}", file=sys.stderr)
            return 2
        test_count = suite.discover()
        print(f"running the short suite on the unmutated copy ({test_count} ctest tests; slow ones beside the "
              f"reliability batch: {', '.join(suite.slow_tests) or 'none'}) ...", flush=True)
        started = time.monotonic()
        failed, seconds = suite.run(log, {})
        pristine_seconds = time.monotonic() - started
    if failed is not None:
        kind, by, detail = describe_failure(failed)
        print(f"mutate: the short suite FAILS on the unmutated code ({kind}: {by}; {detail}).\n"
              f"  A mutation run means nothing until it passes; see {os.path.join(logs, 'pristine.log')}",
              file=sys.stderr)
        return 2
    timeouts = {name: max(args.min_timeout, args.timeout_factor * s) for name, s in seconds.items()}
    print(f"unmutated copy: build {build_seconds:.0f} s, suite {pristine_seconds:.0f} s ("
          + ", ".join(f"{n} {s:.0f} s" for n, s in seconds.items()) + "); time-outs "
          + ", ".join(f"{n} {t:.0f} s" for n, t in timeouts.items()), flush=True)

    results = []
    for index, m in enumerate(selected, 1):
        path = os.path.join(src, m.file)
        with open(path, encoding="utf-8") as f:
            original = f.read()
        mutant_started = time.monotonic()
        record = {"id": m.id, "folder": m.folder, "file": m.file, "source_line": source_lines[m.id],
                  "fault": m.fault, "outcome": None, "how": None, "by": None, "detail": "",
                  "build_seconds": 0.0, "test_seconds": 0.0, "seconds": 0.0}
        print(f"[{index:>2}/{len(selected)}] {m.id} ({m.file}:{source_lines[m.id]}) ...", end="", flush=True)
        try:
            with open(os.path.join(logs, f"{m.id}.log"), "w") as log:
                log.write(f"mutant {m.id}: {m.fault}\n{m.file}: replaced\n{m.find}\nwith\n{m.replace}\n\n")
                write_file(path, mutated_text(m, src))
                ok, build_seconds, detail = build(build_dir, suite.targets, args.jobs, log, args.build_timeout)
                record["build_seconds"] = build_seconds
                if not ok:
                    record.update(outcome="build-error", how="build", by="build", detail=detail)
                else:
                    started = time.monotonic()
                    failed, _ = suite.run(log, timeouts)
                    record["test_seconds"] = time.monotonic() - started
                    if failed is None:
                        record.update(outcome="survived", by="-")
                    else:
                        kind, by, detail = describe_failure(failed)
                        record.update(outcome="killed", how=kind, by=by, detail=detail)
        finally:
            write_file(path, original)
        record["seconds"] = time.monotonic() - mutant_started
        results.append(record)
        shown = record["by"] if record["outcome"] == "killed" else ""
        print(f" {record['outcome']}{' by ' + shown if shown else ''}"
              f"{' [' + record['how'] + ']' if record['how'] not in (None, 'failed') else ''}"
              f" (build {record['build_seconds']:.0f} s, tests {record['test_seconds']:.0f} s, "
              f"total {record['seconds']:.0f} s)", flush=True)

    scores = score_table(results)
    table = format_results(results, scores)
    total_seconds = time.monotonic() - run_started
    mutant_seconds = [r["seconds"] for r in results]
    summary_line = (f"{len(results)} mutants in {total_seconds / 60:.1f} min; per mutant {min(mutant_seconds):.0f} to "
                    f"{max(mutant_seconds):.0f} s, mean {sum(mutant_seconds) / len(mutant_seconds):.0f} s")
    print("\n" + table + "\n\n" + summary_line)
    with open(os.path.join(work, "results.txt"), "w") as f:
        f.write(table + "\n\n" + summary_line + "\n")
    with open(os.path.join(work, "results.json"), "w") as f:
        json.dump({
            "mutant_file": os.path.relpath(args.mutants, ROOT),
            "suite": {"ctest_stage": "every ctest test but " + ", ".join(suite.slow_tests),
                      "beside_each_other": suite.slow_tests + ["qward-reliability " + args.reliability_args],
                      "pristine_seconds": seconds, "timeouts": timeouts},
            "seconds": round(total_seconds, 1),
            "scores": scores,
            "mutants": results,
        }, f, indent=2)
    print(f"results: {os.path.join(work, 'results.txt')}, {os.path.join(work, 'results.json')}; logs in {logs}")
    return 3 if any(r["outcome"] == "build-error" for r in results) else 0


if __name__ == "__main__":
    sys.exit(main())
