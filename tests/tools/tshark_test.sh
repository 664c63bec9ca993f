# tshark opens the workbench's USB trace and, with tools/wireshark/qward.lua, decodes the reader's packets: the
# same packets, in the same order and of the same kinds as the workbench's own decoder shows, with the named
# fields filled and the PIN bytes absent. Installs Debian's tshark when it is missing.
set -u
tool="$1"
source_dir="$2"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

if ! command -v tshark > /dev/null; then
    echo "tshark is missing: installing Debian's package"
    SUDO=""
    [ "$(id -u)" -eq 0 ] || SUDO=sudo
    # wireshark-common asks whether non-root users may capture; the answer does not matter for reading files.
    echo "wireshark-common wireshark-common/install-setuid boolean false" | $SUDO debconf-set-selections
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq tshark > "$work/apt.log" 2>&1 ||
        { $SUDO apt-get update -qq && DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq tshark > "$work/apt.log" 2>&1; } ||
        { cat "$work/apt.log"; echo "FAILED: could not install tshark"; exit 1; }
fi

# The default scenario touches every kind of packet: card status, resets with ATR data, APDUs, management
# commands, the PIN pad's commands and key polls, errors, removal.
"$tool" --json --trace "$work/trace.pcap" > "$work/transcript.json" 2> "$work/summary" ||
    { cat "$work/summary"; echo "FAILED: the default scenario did not pass"; exit 1; }

tshark -X "lua_script:$source_dir/tools/wireshark/qward.lua" -r "$work/trace.pcap" -Y qward -T fields -E separator='|' \
    -e frame.number -e qward.type -e qward.kind -e qward.request -e qward.command -e qward.length -e qward.apdu_case \
    -e qward.answer_kind -e qward.answer_length -e qward.card_status -e qward.data -e qward.key -e qward.of_command \
    > "$work/fields" 2> "$work/tshark.err"
status=$?
grep -v "Running as user" "$work/tshark.err" >&2
[ $status -eq 0 ] || { echo "FAILED: tshark exit status $status"; exit 1; }
# The Lua script must have loaded: a script error leaves the protocol unknown and the filter empty or failing.
grep -qi "lua" "$work/tshark.err" && grep -qi "error" "$work/tshark.err" && { echo "FAILED: the dissector did not load"; exit 1; }

python3 - "$work/transcript.json" "$work/fields" <<'PY'
import json, sys

transcript = [json.loads(line) for line in open(sys.argv[1])]
ours = [e["kind"] for e in transcript if e.get("event") == "packet"]
rows = [line.rstrip("\n").split("|") for line in open(sys.argv[2]) if line.strip()]
names = ["frame", "type", "kind", "request", "command", "length", "apdu_case", "answer_kind", "answer_length",
         "card_status", "data", "key", "of_command"]
theirs = [dict(zip(names, row)) for row in rows]
passed = failed = 0

def check(what, condition):
    global passed, failed
    if condition:
        passed += 1
    else:
        failed += 1
        print("FAILED:", what)

check(f"tshark decodes as many reader packets as the workbench shows ({len(theirs)} vs {len(ours)})",
      len(theirs) == len(ours))
mismatch = [(i, a, b["type"]) for i, (a, b) in enumerate(zip(ours, theirs)) if a.lower() != b["type"].lower()]
check(f"packet kinds agree one by one (first difference: {mismatch[:1]})", not mismatch)

def find(**want):
    return [r for r in theirs if all(r[k] == v for k, v in want.items())]

check("the start's card-status request", len(find(type="Control request", request="0x09")) >= 1)
check("card status: card present", len(find(type="Card status", card_status="1")) >= 1)
check("card status: no card", len(find(type="Card status", card_status="0")) >= 1)
check("cold-reset request", len(find(type="Control request", request="0x01")) >= 1)
check("warm-reset request", len(find(type="Control request", request="0x15")) >= 1)
check("ATR data packets", len(find(type="ATR data")) >= 3)
check("a card APDU command header, case 3, 14 bytes", len(find(type="Command header", command="0x21", apdu_case="3", length="14")) >= 1)
check("a reader management command header", len(find(type="Command header", command="0x07")) >= 1)
check("PIN verification start with its data", len(find(type="Command data", of_command="0x42")) >= 5)
check("a data answer header", len(find(type="Answer header", answer_kind="3")) >= 1)
check("the version answer: success with 11 bytes", len(find(type="Answer header", answer_kind="5", answer_length="11")) == 1)
check("an error answer (the wrong PIN)", len(find(type="Answer header", answer_kind="8")) >= 1)
check("key poll answers carry the digit key", len(find(type="Answer data", key="0x2b")) >= 8)
check("answer data bytes", any(r["type"] == "Answer data" and r["data"] == "9000" for r in theirs))
check("no PIN digits in the data", not any("31323334" in r["data"] for r in theirs))
print(f"{passed} passed, {failed} failed")
sys.exit(1 if failed else 0)
PY
