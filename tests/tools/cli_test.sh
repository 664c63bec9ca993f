# The workbench's command line as a user meets it: exit statuses, the failing line and the replay command, syntax
# errors with their line, replay by seed, JSON lines, the built-in scenario, a piped session.
set -u
tool="$1"
source_dir="$2"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
passed=0
failed=0

check() {  # check NAME CONDITION-EXIT-STATUS
    if [ "$2" -eq 0 ]; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        echo "FAILED: $1"
    fi
}
contains() { grep -qF -- "$2" "$1"; }

# A scenario whose sixth line expects the wrong reply.
cat > "$work/wrong.qws" <<'QWS'
plug
track present
insert iso
reset
protocol T1
apdu 00 A4 04 00 08 F0 54 41 56 45 4C 4F 01 expect 6A 82
remove
QWS
"$tool" --color never --seed 7 "$work/wrong.qws" > "$work/out" 2> "$work/err"
status=$?
check "an expectation that fails gives exit status 1 (saw $status)" $([ $status -eq 1 ]; echo $?)
check "the failure names file and line" $(contains "$work/err" "wrong.qws:6: FAILED"; echo $?)
check "the failure says what was expected and seen" $(contains "$work/err" "expected reply 6A 82, saw 90 00"; echo $?)
check "the failure gives the replay command" $(contains "$work/err" "replay this run with: qward-workbench --seed 7 $work/wrong.qws"; echo $?)
check "nothing after the failing line ran" $(! contains "$work/out" "line 6: remove"; echo $?)

# Replaying by the seed gives the same transcript, line for line.
"$tool" --color never --seed 7 "$work/wrong.qws" > "$work/again" 2>/dev/null
check "the same seed replays the same run" $(cmp -s "$work/out" "$work/again"; echo $?)

# Syntax errors: every one reported with its line, exit status 2, nothing run.
printf 'plug\napdu 00 A4\nwait soon\n' > "$work/syntax.qws"
"$tool" "$work/syntax.qws" > "$work/out" 2> "$work/err"
status=$?
check "syntax errors give exit status 2 (saw $status)" $([ $status -eq 2 ]; echo $?)
check "the first syntax error has its line" $(contains "$work/err" "syntax.qws:2: an APDU has at least 4 bytes"; echo $?)
check "the second syntax error has its line" $(contains "$work/err" "syntax.qws:3:"; echo $?)
check "nothing ran" $([ ! -s "$work/out" ]; echo $?)
"$tool" --check "$source_dir"/tools/workbench/scenarios/*.qws > /dev/null
check "every shipped scenario parses" $?

# The built-in default scenario is the shipped file.
"$tool" --print-default > "$work/default.qws"
check "--print-default prints scenarios/default.qws" $(cmp -s "$work/default.qws" "$source_dir/tools/workbench/scenarios/default.qws"; echo $?)

# JSON lines: every line is one JSON object, with a source and a time.
"$tool" --json "$source_dir/tools/workbench/scenarios/first-steps.qws" > "$work/json" 2> "$work/err"
check "a passing run exits 0" $?
python3 - "$work/json" <<'PY'
import json, sys
lines = open(sys.argv[1]).read().splitlines()
assert len(lines) > 50, len(lines)
for line in lines:
    event = json.loads(line)
    assert "t_ms" in event and "source" in event and "text" in event, line
packets = [json.loads(l) for l in lines if '"event":"packet"' in l]
kinds = {p["kind"] for p in packets}
assert {"command header", "command data", "answer header", "answer data", "card status", "ATR data"} <= kinds, kinds
PY
check "the JSON form is one object per line with decoded packets" $?
check "the JSON run's summary goes to standard error" $(contains "$work/err" "passed"; echo $?)

# Colour only when asked for (or on a terminal).
"$tool" --color always "$source_dir/tools/workbench/scenarios/first-steps.qws" > "$work/colour"
check "--color always colours" $(grep -q $'\x1b\[' "$work/colour"; echo $?)
"$tool" "$source_dir/tools/workbench/scenarios/first-steps.qws" > "$work/plain"
check "a pipe gets plain text" $(! grep -q $'\x1b\[' "$work/plain"; echo $?)

# A piped session: help, history and status work; a bad command makes the exit status non-zero.
printf 'plug\nhistory\nstatus\nquit\n' | "$tool" -i --color never > "$work/session" 2>&1
check "a clean piped session exits 0" $?
check "the session's status shows the reader" $(contains "$work/session" "* reader0: device started"; echo $?)
printf 'plug\nbogus\n' | "$tool" -i > "$work/session" 2>&1
check "a piped session with a bad command exits non-zero" $([ $? -ne 0 ]; echo $?)

# --repeat prints only a failing run's transcript.
"$tool" --repeat 3 "$source_dir/tools/workbench/scenarios/first-steps.qws" > "$work/out"
check "--repeat passes quietly" $(contains "$work/out" "passed with each of the 3 seeds 1 to 3"; echo $?)
check "--repeat prints no transcript for passing runs" $(! contains "$work/out" "line 1: plug"; echo $?)

"$tool" --no-such-option > /dev/null 2>&1
check "an unknown option gives exit status 2" $([ $? -eq 2 ]; echo $?)

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
