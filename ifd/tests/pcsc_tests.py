#!/usr/bin/python3
"""Real PC/SC clients against the Tavelo reader driver hosted in a private pcscd.

Runs as root inside a private mount namespace (run_pcsc_tests.sh starts it with `unshare -m`): a tmpfs on
/run/pcscd keeps this pcscd apart from any other on the machine. pcscd reads only our reader.conf, which declares
five readers of the driver library:

  PGP   the built-in OpenPGP card; the keypad person types 123456, then 654321, then cancels, then 123456
  PGP32 the OpenPGP card that announces PINs of up to 32 characters; the keypad person types 123456, then 654321
  ISO   the built-in ISO card (PIN 1234), full-speed USB timing; the keypad person types 1234
  FAST  the built-in ISO card with transfers that complete at once
  VICC  an empty slot that listens for vsmartcard's card emulator (vicc) on a loopback port

Clients: pcsc_scan, opensc-tool, pkcs15-tool, scriptor, pyscard (PCSCPart10), and vicc (a patched
private copy of Debian's, never the installed files). Ends with the line "N passed, N failed".
"""

import argparse
import glob
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import traceback

READERS = {
    "PGP": 'card=openpgp keypad=123456,654321,cancel,123456 key-delay=40 first-key=150',
    "PGP32": 'card=openpgp-max32 keypad=123456,654321 key-delay=40 first-key=150',
    "ISO": "card=iso keypad=1234 key-delay=40 first-key=150",
    "FAST": "card=iso bus=fast",
    "VICC": "card=vicc:{vicc_port} vicc-timeout=5000",
}
VICC_ATR = "3B 95 13 81 01 80 73 FF 01 00 0B"
ISO_ATR = "3B 86 80 31 FE 45 51 2D 77 61 72 64 F0"
PGP_ATR = "3B DA 11 FF 81 B1 FE 55 1F 03 00 31 84 73 80 01 80 00 90 00 E4"
# The APDUs run on the ISO card and on vicc's iso7816 card alike, with the answers both give.
COMMON_APDUS = [
    ("00 A4 00 0C 02 3F 00", "90 00"),          # SELECT MF, no answer data
    ("00 20 00 81 04 31 32 33 34", None),     # VERIFY: each card has its own PIN reference and answer
    ("00 B0 00 00 10", None),                   # READ BINARY without a current EF: an error status
]


class Results:
    def __init__(self):
        self.passed = 0
        self.failed = 0

    def check(self, name, ok, detail=""):
        if ok:
            self.passed += 1
            print(f"PASS {name}")
        else:
            self.failed += 1
            print(f"FAIL {name}" + (f": {detail}" if detail else ""))
        sys.stdout.flush()
        return ok


def run(command, timeout=60, input_text=None, env=None):
    """Runs a command; returns (exit code, stdout + stderr)."""
    try:
        done = subprocess.run(command, input=input_text if input_text is not None else "", capture_output=True,
                              text=True, timeout=timeout, env=env)
        return done.returncode, done.stdout + done.stderr
    except subprocess.TimeoutExpired as e:
        out = (e.stdout or b"") + (e.stderr or b"")
        return 124, out.decode(errors="replace") if isinstance(out, bytes) else out


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def hexs(data):
    return " ".join(f"{b:02X}" for b in data)


# ---- vicc ---------------------------------------------------------------------------------------------------------

def private_pcscd_socket_dir():
    """In a mount namespace of our own (unshare -m): a pcscd started now has a socket directory nobody else sees."""
    subprocess.run(["mount", "--make-rprivate", "/"], check=True)
    os.makedirs("/run/pcscd", exist_ok=True)
    subprocess.run(["mount", "-t", "tmpfs", "tmpfs", "/run/pcscd"], check=True)


def patched_vicc(workdir):
    """A private copy of Debian's virtualsmartcard package with the fixes its Python 3 port lacks."""
    found = glob.glob("/usr/lib/python3*/site-packages/virtualsmartcard/virtualsmartcard/VirtualSmartcard.py")
    if not found:
        raise RuntimeError("vsmartcard's virtualsmartcard module is not installed")
    source = os.path.dirname(found[0])
    target = os.path.join(workdir, "vicc-lib", "virtualsmartcard")
    shutil.copytree(source, target, ignore=shutil.ignore_patterns("__pycache__"))

    def patch(name, old, new, count):
        path = os.path.join(target, name)
        with open(path) as f:
            text = f.read()
        if text.count(old) != count:
            raise RuntimeError(f"{name}: expected {count} x {old!r}, found {text.count(old)}")
        with open(path, "w") as f:
            f.write(text.replace(old, new))

    # Debian ships PyCryptodome as Cryptodome, not as Crypto.
    for path in glob.glob(os.path.join(target, "**", "*.py"), recursive=True):
        with open(path) as f:
            text = f.read()
        fixed = re.sub(r"^(\s*)from Crypto\.", r"\1from Cryptodome.", text, flags=re.M)
        if fixed != text:
            with open(path, "w") as f:
                f.write(fixed)
    # pack() already builds bytes; joining them again fails.
    patch("TLVutils.py", 'return b"".join(result)', "return result", 1)
    # str where bytes are compared or defaulted.
    patch("SmartcardFilesystem.py", 'newvalue[:2] == "\\x3f\\x00"', 'newvalue[:2] == b"\\x3f\\x00"', 1)
    patch("SmartcardFilesystem.py", 'data=""', 'data=b""', 3)
    return os.path.dirname(target)


class Vicc:
    def __init__(self, library, port):
        env = dict(os.environ, PYTHONPATH=library)
        self.process = subprocess.Popen(["/usr/bin/python3", "/usr/bin/vicc", "-t", "iso7816", "-H", "127.0.0.1",
                                         "-P", str(port)], env=env, stdout=subprocess.PIPE,
                                        stderr=subprocess.STDOUT, text=True)

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        return self.process.stdout.read() if self.process.stdout else ""


# ---- pcscd --------------------------------------------------------------------------------------------------------

class Pcscd:
    def __init__(self, workdir, library, vicc_port):
        self.conf = os.path.join(workdir, "reader.conf.d")
        os.makedirs(self.conf)
        with open(os.path.join(self.conf, "tavelo"), "w") as f:
            for name, settings in READERS.items():
                f.write(f'FRIENDLYNAME "Tavelo Q-ward {name}"\n')
                f.write(f'DEVICENAME "tavelo: {settings.format(vicc_port=vicc_port)}"\n')
                f.write(f"LIBPATH {library}\n\n")
        self.log_path = os.path.join(workdir, "pcscd.log")
        self.log = open(self.log_path, "w")
        self.process = subprocess.Popen(["pcscd", "--foreground", "--debug", "-c", self.conf],
                                        stdout=self.log, stderr=subprocess.STDOUT)

    def log_text(self):
        self.log.flush()
        with open(self.log_path, errors="replace") as f:
            return f.read()

    def stop(self):
        """Stops pcscd the way that closes every channel (SIGINT); its exit code."""
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGINT)
            try:
                self.process.wait(timeout=30)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.log.close()
        return self.process.returncode


def reader_names():
    from smartcard.scard import SCardEstablishContext, SCardListReaders, SCardReleaseContext, SCARD_SCOPE_USER
    rv, context = SCardEstablishContext(SCARD_SCOPE_USER)
    if rv != 0:
        return []
    rv, readers = SCardListReaders(context, [])
    SCardReleaseContext(context)
    return readers if rv == 0 else []


def reader(short):
    for name in reader_names():
        if name.startswith(f"Tavelo Q-ward {short} "):
            return name
    raise RuntimeError(f"no reader for {short} in {reader_names()}")


def wait_for(predicate, seconds):
    deadline = time.time() + seconds
    while time.time() < deadline:
        if predicate():
            return True
        time.sleep(0.1)
    return predicate()


def card_present(short):
    from smartcard.scard import (SCardEstablishContext, SCardGetStatusChange, SCardReleaseContext,
                                 SCARD_SCOPE_USER, SCARD_STATE_UNAWARE, SCARD_STATE_PRESENT)
    rv, context = SCardEstablishContext(SCARD_SCOPE_USER)
    rv, states = SCardGetStatusChange(context, 0, [(reader(short), SCARD_STATE_UNAWARE)])
    SCardReleaseContext(context)
    return rv == 0 and bool(states[0][1] & SCARD_STATE_PRESENT)


class Card:
    """A pyscard connection (low-level API) to the card in one reader."""

    def __init__(self, short):
        from smartcard import scard
        self.scard = scard
        rv, self.context = scard.SCardEstablishContext(scard.SCARD_SCOPE_USER)
        rv, self.handle, self.protocol = scard.SCardConnect(self.context, reader(short), scard.SCARD_SHARE_SHARED,
                                                            scard.SCARD_PROTOCOL_T0 | scard.SCARD_PROTOCOL_T1)
        if rv != 0:
            raise RuntimeError(f"SCardConnect: {scard.SCardGetErrorMessage(rv)}")

    def transmit(self, apdu):
        rv, response = self.scard.SCardTransmit(self.handle, self.protocol, list(apdu))
        if rv != 0:
            raise RuntimeError(f"SCardTransmit: {self.scard.SCardGetErrorMessage(rv)}")
        return bytes(response)

    def control(self, code, data=b""):
        rv, response = self.scard.SCardControl(self.handle, code, list(data))
        return rv, bytes(response)

    def close(self):
        self.scard.SCardDisconnect(self.handle, self.scard.SCARD_LEAVE_CARD)
        self.scard.SCardReleaseContext(self.context)


def linux_code(n):
    return 0x42000000 + n


def windows_code(n):
    return 0x310000 + 4 * n


def feature_codes(feature_list):
    """TLVs (tag, 4, code big-endian) to {tag: code}."""
    codes = {}
    for i in range(0, len(feature_list) - 5, 6):
        tag, length = feature_list[i], feature_list[i + 1]
        if length == 4:
            codes[tag] = int.from_bytes(feature_list[i + 2:i + 6], "big")
    return codes


def opensc_reader_index(short):
    code, out = run(["opensc-tool", "--list-readers"])
    for line in out.splitlines():
        match = re.match(r"\s*(\d+)\s+\S+\s+.*Tavelo Q-ward " + short + r" ", line)
        if match:
            return match.group(1)
    raise RuntimeError(f"opensc-tool does not list {short}:\n{out}")


def opensc_apdus(short, apdus):
    """Sends APDUs with opensc-tool; returns the answers (data and status word) as hex strings."""
    command = ["opensc-tool", "--reader", opensc_reader_index(short)]
    for apdu in apdus:
        command += ["--send-apdu", apdu.replace(" ", "")]
    code, out = run(command)
    answers = []
    lines = out.splitlines()
    for i, line in enumerate(lines):
        match = re.match(r"Received \(SW1=0x([0-9A-F]{2}), SW2=0x([0-9A-F]{2})\)(:?)", line)
        if match:
            data = []
            if match.group(3):
                for more in lines[i + 1:]:
                    part = re.match(r"((?:[0-9A-F]{2} )+)", more)
                    if not part:
                        break
                    data.append(part.group(1).strip())
            answers.append(" ".join(data + [match.group(1), match.group(2)]).strip())
    return code, answers, out


# ---- The tests ---------------------------------------------------------------------------------------------------

def test_pcsc_scan_lists_readers_and_atrs(r):
    code, out = run(["pcsc_scan", "-r"], timeout=20)
    r.check("pcsc_scan lists the five readers",
            all(f"Tavelo Q-ward {n} " in out for n in READERS), out)
    code, out = run(["pcsc_scan", "-t", "3", "-n"], timeout=20)
    r.check("pcsc_scan shows the OpenPGP card's ATR", PGP_ATR in out, out)
    r.check("pcsc_scan shows the ISO card's ATR", ISO_ATR in out, out)
    r.check("pcsc_scan shows the vicc slot empty", re.search(r"VICC 0[0-9] 00\s*\n\s*Event number: \d+\s*\n\s*Card state: Card removed",
                                                             out) is not None, out)


def test_vicc_insertion_and_removal(r, vicc_lib, vicc_port, workdir):
    scan_out = open(os.path.join(workdir, "pcsc_scan.out"), "w")
    scan = subprocess.Popen(["pcsc_scan", "-n"], stdout=scan_out, stderr=subprocess.STDOUT)
    time.sleep(1.5)
    vicc = Vicc(vicc_lib, vicc_port)
    inserted = wait_for(lambda: card_present("VICC"), 10)
    r.check("vicc connecting is a card insertion", inserted, vicc.process.poll())
    if inserted:
        time.sleep(1.0)
        code, answers, out = opensc_apdus("VICC", [a for a, _ in COMMON_APDUS])
        r.check("opensc-tool sends the APDUs to vicc's card", len(answers) == len(COMMON_APDUS), out)
        if len(answers) == len(COMMON_APDUS):
            r.check("vicc answers SELECT MF with 90 00", answers[0] == "90 00", answers)
            r.check("vicc's card accepts VERIFY 00 20 00 81 with 1234", answers[1] == "90 00", answers)
            r.check("vicc's card refuses READ BINARY without an EF", not answers[2].endswith("90 00"), answers)
    vicc_log = vicc.stop()
    removed = wait_for(lambda: not card_present("VICC"), 10)
    r.check("vicc leaving is a card removal", removed, vicc_log[-2000:])
    time.sleep(1.5)
    scan.terminate()
    scan.wait()
    scan_out.close()
    with open(os.path.join(workdir, "pcsc_scan.out"), errors="replace") as f:
        seen = f.read()
    r.check("pcsc_scan sees the insertion with vicc's ATR", "Card inserted" in seen and VICC_ATR in seen, seen[-3000:])
    r.check("pcsc_scan sees the removal", seen.rfind("Card removed") > seen.find(VICC_ATR) >= 0, seen[-3000:])


def test_emulator_hanging_up_while_powered(r, vicc_lib, vicc_port):
    """An emulator that connects and hangs up at the ATR request (as vicc does when its card fails): pcscd sees the
    card come and go, whichever of its threads looks in between, and the slot takes the next emulator."""
    emulator = socket.create_connection(("127.0.0.1", vicc_port))
    emulator.settimeout(1)
    received = b""
    deadline = time.time() + 10
    while b"\x00\x01\x04" not in received and time.time() < deadline:  # the get-ATR frame
        try:
            received += emulator.recv(64)
        except socket.timeout:
            pass
    emulator.close()
    r.check("an emulator is asked for its ATR", b"\x00\x01\x04" in received, received.hex())
    gone = wait_for(lambda: not card_present("VICC"), 10)
    time.sleep(1.0)
    r.check("an emulator that hangs up at the ATR request leaves the slot empty", gone and not card_present("VICC"))
    vicc = Vicc(vicc_lib, vicc_port)
    r.check("the next emulator is a card in the slot again", wait_for(lambda: card_present("VICC"), 10))
    vicc.stop()
    r.check("and its leaving a removal", wait_for(lambda: not card_present("VICC"), 10))


def test_opensc_lists_pin_pad_and_sends_apdus(r):
    code, out = run(["opensc-tool", "--list-readers"])
    pads = [line for line in out.splitlines() if "Tavelo Q-ward" in line and "PIN pad" in line]
    r.check("opensc-tool lists every reader with its PIN pad", len(pads) == len(READERS), out)
    code, answers, out = opensc_apdus("ISO", [a for a, _ in COMMON_APDUS] + ["00 84 00 00 08", "00 20 00 01 04 31 32 33 34"])
    r.check("opensc-tool: SELECT MF on the ISO card", answers[:1] == ["90 00"], out)
    r.check("opensc-tool: GET CHALLENGE gives 8 bytes", len(answers) > 3 and len(answers[3].split()) == 10
            and answers[3].endswith("90 00"), out)
    r.check("opensc-tool: VERIFY with the ISO card's PIN", len(answers) > 4 and answers[4] == "90 00", out)
    code, out = run(["opensc-tool", "--reader", opensc_reader_index("PGP"), "--name"])
    r.check("opensc-tool recognises the OpenPGP card", "OpenPGP" in out, out)


def test_scriptor(r, workdir):
    script = os.path.join(workdir, "apdus.script")
    with open(script, "w") as f:
        f.write("# SELECT MF, SELECT the application by name, READ BINARY of the notes EF\n")
        f.write("00 A4 00 0C 02 3F 00\n00 A4 04 0C 08 F0 54 41 56 45 4C 4F 01\n00 A4 02 0C 02 50 01\n00 B0 00 00 04\n")
        f.write("reset\n00 84 00 00 04\n")
    code, out = run(["scriptor", "-r", reader("ISO"), script])
    answers = [line[2:].split(" : ")[0].strip() for line in out.splitlines() if line.startswith("< ")]
    r.check("scriptor runs the script: six answers", len(answers) == 6, out)
    if len(answers) == 6:
        r.check("scriptor: the three SELECTs succeed", answers[:3] == ["90 00"] * 3, answers)
        r.check("scriptor: READ BINARY answers the notes' first bytes", answers[3] == "00 00 00 00 90 00", answers)
        r.check("scriptor: the reset gives the ATR again", answers[4] == "OK: " + ISO_ATR, answers)
        r.check("scriptor: GET CHALLENGE after the reset", len(answers[5].split()) == 6 and answers[5].endswith("90 00"),
                answers)


def test_pcsc_part10(r):
    from smartcard.System import readers
    from smartcard.pcsc import PCSCPart10
    connection = [x for x in readers() if str(x).startswith("Tavelo Q-ward ISO ")][0].createConnection()
    connection.connect()
    features = PCSCPart10.getFeatureRequest(connection)
    by_name = {name: code for name, code in features}
    expected = {"FEATURE_VERIFY_PIN_START": 3500, "FEATURE_VERIFY_PIN_FINISH": 3501, "FEATURE_GET_KEY_PRESSED": 3504,
                "FEATURE_VERIFY_PIN_DIRECT": 3505, "FEATURE_ABORT": 3507, "FEATURE_IFD_PIN_PROPERTIES": 3508,
                "FEATURE_GET_TLV_PROPERTIES": 3618}
    r.check("PCSCPart10 reads the seven features in the Linux code form",
            by_name == {name: linux_code(n) for name, n in expected.items()}, by_name)
    properties = PCSCPart10.getPinProperties(connection)
    r.check("PCSCPart10 reads the PIN properties (16x2 display, conditions 7, time-out 30 s)",
            properties.get("LcdLayoutX") == 16 and properties.get("LcdLayoutY") == 2
            and properties.get("EntryValidationCondition") == 7 and properties.get("TimeOut2") == 0x1E, properties)
    tlv = PCSCPart10.getTlvProperties(connection, features)
    tlv_raw = tlv.pop("raw", None)
    expected_tlv = {"PCSCv2_PART10_PROPERTY_wLcdLayout": 0x0210,
                    "PCSCv2_PART10_PROPERTY_bEntryValidationCondition": 7,
                    "PCSCv2_PART10_PROPERTY_bTimeOut2": 0x1E,
                    "PCSCv2_PART10_PROPERTY_bMinPINSize": 4,
                    "PCSCv2_PART10_PROPERTY_bMaxPINSize": 16,
                    "PCSCv2_PART10_PROPERTY_sFirmwareID": "Q-ward 2.04",
                    "PCSCv2_PART10_PROPERTY_bPPDUSupport": 0,
                    "PCSCv2_PART10_PROPERTY_dwMaxAPDUDataSize": 0,
                    "PCSCv2_PART10_PROPERTY_wIdVendor": 0,
                    "PCSCv2_PART10_PROPERTY_wIdProduct": 0}
    r.check("PCSCPart10 reads the TLV properties (PINs of 4 to 16 digits, the reader's firmware, its USB IDs)",
            tlv == expected_tlv, tlv)
    connection.disconnect()

    card = Card("ISO")
    attributes = {}
    for name in ("SCARD_ATTR_VENDOR_NAME", "SCARD_ATTR_VENDOR_IFD_TYPE", "SCARD_ATTR_ATR_STRING"):
        rv, value = card.scard.SCardGetAttrib(card.handle, getattr(card.scard, name))
        attributes[name] = bytes(value).rstrip(b"\0") if rv == 0 else rv
    r.check("SCardGetAttrib reads the driver's vendor, reader type and the ATR",
            attributes == {"SCARD_ATTR_VENDOR_NAME": b"Tavelo", "SCARD_ATTR_VENDOR_IFD_TYPE": b"Q-ward",
                           "SCARD_ATTR_ATR_STRING": bytes.fromhex(ISO_ATR.replace(" ", ""))}, attributes)
    rv, windows_list = card.control(windows_code(3400))
    r.check("the Windows code of the feature request works and keeps the Windows form",
            rv == 0 and feature_codes(windows_list).get(0x06) == windows_code(3505)
            and feature_codes(windows_list).get(0x12) == windows_code(3618), (rv, hexs(windows_list)))
    rv, windows_tlv = card.control(windows_code(3618))
    r.check("the Windows code of the TLV properties gives the same answer as the Linux code",
            rv == 0 and list(windows_tlv) == list(tlv_raw or []) and len(windows_tlv) > 0, (rv, hexs(windows_tlv)))
    rv, answer = card.control(linux_code(4000))
    r.check("a control code the driver does not serve is refused", rv != 0, rv)
    card.close()


def test_pin_on_the_pad_with_pyscard(r):
    """FEATURE_VERIFY_PIN_DIRECT through SCardControl, with the code the feature list gave (ISO card, PIN 1234)."""
    card = Card("ISO")
    rv, feature_list = card.control(linux_code(3400))
    direct = feature_codes(feature_list).get(0x06)
    r.check("the feature list gives the direct verification's Linux code", direct == linux_code(3505), direct)
    # bTimerOut 30 s, bTimerOut2 0, ASCII digits in bytes at offset 0, an 8-byte PIN field, 4 to 8 digits, entry
    # ends on the validation key, one message, language 0409, APDU VERIFY 00 20 00 01 08 with 8 filler bytes.
    apdu = bytes.fromhex("0020000108") + b"\xff" * 8
    block = bytes([30, 0, 0x82, 0x08, 0x00, 8, 4, 0x02, 1, 0x09, 0x04, 0, 0, 0, 0]) + len(apdu).to_bytes(4, "little") + apdu
    rv, answer = card.control(direct or linux_code(3505), block)
    r.check("VERIFY_PIN_DIRECT: the person types 1234 on the pad and the card accepts it",
            rv == 0 and answer == b"\x90\x00", (rv, hexs(answer)))
    card.close()


def test_opensc_pin_pad(r):
    """pkcs15-tool verifies the OpenPGP card's user PIN on the pad; the people at the keypad of the PGP reader type
    123456 (right), 654321 (wrong), cancel, and 123456 again."""
    base = ["pkcs15-tool", "--reader", opensc_reader_index("PGP")]
    # OpenSC sends the VERIFY as 00 20 00 81 00 (Lc 0): the reader is to append the typed digits and set Lc.
    # A reader that refuses such a PIN block answers 6B 80, which OpenSC reports as a generic reader error.
    hint = "\n(the reader refused OpenSC's PIN block, 6B 80: it does not append the digits to an APDU with Lc 0)"

    def detail(out):
        return out[-1500:] + (hint if "Generic reader error" in out else "")

    def tries_left():
        code, out = run(base + ["--list-pins"], timeout=60)
        return re.findall(r"Tries left\s*:\s*(\d+)", out)[:2], out

    code, out = run(base + ["--verify-pin", "--auth-id", "01"], timeout=90)
    r.check("pkcs15-tool verifies the user PIN on the pad (the person types 123456)",
            code == 0 and "failed" not in out, detail(out))
    code, out = run(base + ["--verify-pin", "--auth-id", "01"], timeout=90)
    wrong_refused = code != 0 and re.search(r"incorrect", out, re.I) is not None
    r.check("a wrong PIN typed on the pad is refused", wrong_refused, detail(out))
    tries, out = tries_left()
    r.check("the card's retry counter went down to 2", tries == ["2", "2"], out[-1500:])
    code, out = run(base + ["--verify-pin", "--auth-id", "01"], timeout=90)
    r.check("cancel on the pad ends the verification as cancelled", code != 0 and "cancel" in out.lower(), detail(out))
    code, out = run(base + ["--verify-pin", "--auth-id", "01"], timeout=90)
    right_again = code == 0 and "failed" not in out
    tries, listing = tries_left()
    r.check("the right PIN again restores the retry counter to 3",
            wrong_refused and right_again and tries == ["3", "3"], out[-800:] + listing[-800:])


def test_opensc_pin_pad_with_32_digit_card(r):
    """The OpenPGP card of the PGP32 reader announces PINs of up to 32 characters, more than the PIN pad takes:
    OpenSC lowers its PIN entry's maximum to the reader's bMaxPINSize (TLV properties) instead of asking for 32, which
    the driver would refuse with 6B 80. The people at the keypad type 123456 (right), then 654321 (wrong)."""
    base = ["pkcs15-tool", "--reader", opensc_reader_index("PGP32")]
    select = "00 A4 04 00 06 D2 76 00 01 24 01"

    def pw_status():
        """The PW status bytes (GET DATA C4): maximum lengths, then the tries left of PW1, RC and PW3."""
        code, answers, out = opensc_apdus("PGP32", [select, "00 CA 00 C4 00"])
        if len(answers) == 2 and answers[1].endswith("90 00"):
            return answers[1].split()[:-2], out
        return None, out

    status, out = pw_status()
    r.check("the PGP32 card announces PINs of up to 32 characters, three tries",
            status == ["00", "20", "20", "20", "03", "00", "03"], out[-1500:])
    code, out = run(base + ["--verify-pin", "--auth-id", "01"], timeout=90)
    r.check("pkcs15-tool verifies the 32-digit card's user PIN on the pad (the person types 123456)",
            code == 0 and "failed" not in out and "Generic reader error" not in out, out[-1500:])
    status, status_out = pw_status()
    r.check("the right PIN leaves the retry counter at 3", status is not None and status[4] == "03", status_out[-1500:])
    code, out = run(base + ["--verify-pin", "--auth-id", "01"], timeout=90)
    r.check("a wrong PIN typed on the pad for the 32-digit card is refused as incorrect",
            code != 0 and re.search(r"incorrect", out, re.I) is not None and "Generic reader error" not in out,
            out[-1500:])
    status, status_out = pw_status()
    r.check("the 32-digit card's retry counter went down by one, to 2", status is not None and status[4] == "02",
            status_out[-1500:])
    code, listing = run(base + ["--list-pins"], timeout=60)
    r.check("pkcs15-tool reads 2 tries left", re.findall(r"Tries left\s*:\s*(\d+)", listing)[:2] == ["2", "2"],
            listing[-1500:])


def measure_apdu_rate(r, short, count):
    card = Card(short)
    apdu = bytes.fromhex("0084000008")
    start = time.time()
    ok = 0
    for _ in range(count):
        ok += card.transmit(apdu)[-2:] == b"\x90\x00"
    elapsed = time.time() - start
    card.close()
    rate = count / elapsed
    print(f"APDU rate through pcscd ({short} reader): {rate:.0f} APDU/s ({count} GET CHALLENGE in {elapsed:.2f} s)")
    r.check(f"{count} APDUs through pcscd on the {short} reader", ok == count, f"{ok} of {count} answered 90 00")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--library", required=True)
    args = parser.parse_args()
    if os.geteuid() != 0:
        print("must run as root (pcscd needs it)")
        return 2
    private_pcscd_socket_dir()

    r = Results()
    workdir = tempfile.mkdtemp(prefix="tavelo-pcsc-")
    vicc_port = free_port()
    vicc_lib = patched_vicc(workdir)
    pcscd = Pcscd(workdir, os.path.abspath(args.library), vicc_port)
    try:
        started = wait_for(lambda: len([n for n in reader_names() if n.startswith("Tavelo Q-ward")]) == len(READERS), 30)
        r.check("pcscd starts with the five readers of the driver", started, pcscd.log_text()[-3000:])
        if started:
            for test in (lambda: test_pcsc_scan_lists_readers_and_atrs(r),
                         lambda: test_opensc_lists_pin_pad_and_sends_apdus(r),
                         lambda: test_scriptor(r, workdir),
                         lambda: test_pcsc_part10(r),
                         lambda: test_pin_on_the_pad_with_pyscard(r),
                         lambda: test_vicc_insertion_and_removal(r, vicc_lib, vicc_port, workdir),
                         lambda: test_emulator_hanging_up_while_powered(r, vicc_lib, vicc_port),
                         lambda: test_opensc_pin_pad(r),
                         lambda: test_opensc_pin_pad_with_32_digit_card(r),
                         lambda: measure_apdu_rate(r, "ISO", 300),
                         lambda: measure_apdu_rate(r, "FAST", 1000)):
                try:
                    test()
                except Exception:
                    r.check("test ran to its end", False, traceback.format_exc())
    finally:
        pcscd.stop()
    log = pcscd.log_text() if not pcscd.log.closed else open(pcscd.log_path, errors="replace").read()
    r.check("the driver's log shows no bug check", "BUG CHECK" not in log and "STOPPED" not in log,
            "\n".join(l for l in log.splitlines() if "tavelo" in l)[-3000:])
    r.check("at pcscd's exit every reader was unplugged and the driver unloaded without leaks",
            "verifier leak check passed" in log, "\n".join(l for l in log.splitlines() if "tavelo" in l)[-3000:])
    print(f"pcscd log: {pcscd.log_path}")
    print(f"{r.passed} passed, {r.failed} failed")
    return 0 if r.failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
