#!/usr/bin/python3
"""The pcscd rows of the benchmark: our reader driver against a bare one, and real-time latency against the USB limit.

Runs as root in a private mount namespace (pcsc_bench.sh starts it with `unshare -m`), with a pcscd of its own that
serves four readers:

  ours vicc     our reader driver (the whole simulated machine, fast bus) with vsmartcard's vicc as the card
  bare vicc     bench/bare_ifd.c, which forwards every call straight to another vicc over the same socket protocol
  ours card     our reader driver with the built-in ISO card, fast bus
  full-speed    our reader driver with the echo card on the full-speed bus timing (one packet per endpoint and frame)

The rate rows time SCardTransmit of SELECT MF in a loop, the three readers in turn, several rounds, medians; pcscd's
CPU time is the sum over its threads (the simulated machine's thread among them). The real-time rows give the median
latency of APDUs of each case and several sizes beside the fewest 1 ms frames their packets need. Prints rows of the
benchmark table: section | what | value | note.
"""

import argparse
import os
import re
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "ifd", "tests"))
from pcsc_tests import patched_vicc, private_pcscd_socket_dir, Vicc, free_port  # noqa: E402

SELECT_MF = "00A4000C023F00"
PAYLOAD = 6  # data bytes per reader packet


def packets(n):
    return (n + PAYLOAD - 1) // PAYLOAD


def apdu_limit_ms(apdu_length, answer_length):
    """The command header and the APDU block (APDU + 1 byte) out, then the answer header and the answer in."""
    return 1 + packets(apdu_length + 1) + 1 + packets(answer_length)


def make_apdu(case, lc=0, le=0):
    apdu = "0088000" + str(case)  # INS 88; P2 names the case, for reading traces
    if case == 2:
        apdu += f"{le:02X}"
    if case >= 3:
        apdu += f"{lc:02X}" + "A5" * lc
        if case == 4:
            apdu += f"{le:02X}"
    return apdu


def schedstat_s(pid):
    """CPU time of every thread of a process, in seconds."""
    total = 0
    try:
        for task in os.listdir(f"/proc/{pid}/task"):
            try:
                with open(f"/proc/{pid}/task/{task}/schedstat") as f:
                    total += int(f.read().split()[0])
            except (OSError, ValueError, IndexError):
                pass
    except OSError:
        return 0.0
    return total / 1e9


def machine_text():
    model = "?"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    return f"{model}, {os.cpu_count()} CPUs"


def load_text():
    with open("/proc/loadavg") as f:
        return " ".join(f.read().split()[:3])


class Pcscd:
    def __init__(self, workdir, readers):
        conf = os.path.join(workdir, "reader.conf.d")
        os.makedirs(conf)
        with open(os.path.join(conf, "bench"), "w") as f:
            for name, library, device in readers:
                f.write(f'FRIENDLYNAME "{name}"\nDEVICENAME "{device}"\nLIBPATH {library}\n\n')
        self.log_path = os.path.join(workdir, "pcscd.log")
        self.log = open(self.log_path, "w")
        # No --debug: its logging of every call would be measured too.
        self.process = subprocess.Popen(["pcscd", "--foreground", "-c", conf], stdout=self.log,
                                        stderr=subprocess.STDOUT)

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGINT)  # closes every channel: the driver unloads with its leak check
            try:
                self.process.wait(timeout=30)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.log.close()
        with open(self.log_path, errors="replace") as f:
            return f.read()


def reader_states():
    from smartcard.scard import (SCardEstablishContext, SCardGetStatusChange, SCardListReaders,
                                 SCardReleaseContext, SCARD_SCOPE_USER, SCARD_STATE_UNAWARE, SCARD_STATE_PRESENT)
    rv, context = SCardEstablishContext(SCARD_SCOPE_USER)
    if rv != 0:
        return {}
    rv, names = SCardListReaders(context, [])
    states = {}
    if rv == 0 and names:
        rv, found = SCardGetStatusChange(context, 0, [(n, SCARD_STATE_UNAWARE) for n in names])
        if rv == 0:
            states = {name: bool(state & SCARD_STATE_PRESENT) for name, state, _ in found}
    SCardReleaseContext(context)
    return states


def wait_for_cards(prefixes, seconds):
    deadline = time.time() + seconds
    while time.time() < deadline:
        states = reader_states()
        if all(any(n.startswith(p) and present for n, present in states.items()) for p in prefixes):
            return True
        time.sleep(0.2)
    return False


def run_client(client, *args):
    done = subprocess.run([client, *args], capture_output=True, text=True, timeout=600)
    if done.returncode != 0:
        raise RuntimeError(f"{' '.join(args)}: {done.stderr.strip()}")
    return done.stdout


def busy_threads(out, count):
    """The client's report of pcscd's threads that ran during a round: 'tid: CPU us and thread switches per APDU',
    busiest first."""
    rows = []
    for m in re.finditer(r"thread (\d+) cpu_s ([\d.-]+) switches (-?\d+)", out):
        rows.append((float(m.group(2)) / count * 1e6, int(m.group(3)) / count, m.group(1)))
    rows.sort(reverse=True)
    return ", ".join(f"{tid} {cpu:.0f} us {sw:.1f} sw" for cpu, sw, tid in rows[:4])


def rate_rounds(client, pcscd_pid, viccs, readers, rounds, seconds):
    """{reader: [(apdu/s, pcscd us/apdu, vicc us/apdu, pcscd threads), ...]}, the readers taking turns in every
    round."""
    results = {r: [] for r in readers}
    for turn in range(rounds):
        # The first two swap places every round: neither always runs right after the other.
        order = readers if turn % 2 == 0 else [readers[1], readers[0], *readers[2:]]
        for reader in order:
            vicc = viccs.get(reader)
            vicc_before = schedstat_s(vicc) if vicc else 0
            out = run_client(client, "rate", reader, str(pcscd_pid), str(seconds), SELECT_MF)
            vicc_cpu = schedstat_s(vicc) - vicc_before if vicc else 0
            m = re.match(r"apdus (\d+) wall_s ([\d.]+) pcscd_cpu_s ([\d.-]+)", out)
            count, wall, cpu = int(m.group(1)), float(m.group(2)), float(m.group(3))
            results[reader].append((count / wall, cpu / count * 1e6, vicc_cpu / count * 1e6,
                                    busy_threads(out, count)))
    return results


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--library", required=True)
    parser.add_argument("--bare", required=True)
    parser.add_argument("--client", required=True)
    parser.add_argument("--rounds", type=int, default=12)
    parser.add_argument("--seconds", type=float, default=0.6)
    parser.add_argument("--latency-count", type=int, default=20)
    args = parser.parse_args()
    if os.geteuid() != 0:
        print("5 pcscd | (not run) | needs root for a private pcscd | run make bench as root")
        return 0
    private_pcscd_socket_dir()

    load_before = load_text()
    workdir = tempfile.mkdtemp(prefix="tavelo-pcsc-bench-")
    vicc_lib = patched_vicc(workdir)
    ours_port, bare_port = free_port(), free_port()
    library, bare = os.path.abspath(args.library), os.path.abspath(args.bare)
    readers = [("Bench ours vicc", library, f"tavelo: card=vicc:{ours_port} bus=fast vicc-timeout=5000"),
               ("Bench bare vicc", bare, f"vicc:{bare_port}"),
               ("Bench ours card", library, "tavelo: card=iso bus=fast"),
               ("Bench ours full-speed", library, "tavelo: card=echo")]
    pcscd = Pcscd(workdir, readers)
    viccs = []
    rows = []
    failed = False
    try:
        time.sleep(1.0)
        viccs = [Vicc(vicc_lib, ours_port), Vicc(vicc_lib, bare_port)]
        names = [r[0] for r in readers]
        if not wait_for_cards(names, 30):
            raise RuntimeError(f"not every bench reader has its card: {reader_states()}")
        vicc_pids = {"Bench ours vicc": viccs[0].process.pid, "Bench bare vicc": viccs[1].process.pid}
        # Warm-up: the first exchanges of each reader (vicc's Python, pcscd's first contexts) are not counted.
        rate_rounds(args.client, pcscd.process.pid, vicc_pids, names[:3], 1, 0.3)
        rates = rate_rounds(args.client, pcscd.process.pid, vicc_pids, names[:3], args.rounds, args.seconds)

        def median(reader, index):
            return statistics.median(sample[index] for sample in rates[reader])

        ours, bare_rate, card = (median(n, 0) for n in names[:3])
        note = f"median of {args.rounds} rounds of {args.seconds:g} s, readers in turn; machine {machine_text()}"
        rows.append(("5 pcscd", "SELECT MF, our driver, vicc card, fast bus",
                     f"{ours:,.0f} APDU/s ({1e6 / ours:.0f} us each); pcscd CPU {median(names[0], 1):.0f} us/APDU",
                     f"vicc CPU {median(names[0], 2):.0f} us/APDU; {note}"))
        rows.append(("5 pcscd", "SELECT MF, bare handler, vicc card",
                     f"{bare_rate:,.0f} APDU/s ({1e6 / bare_rate:.0f} us each); pcscd CPU {median(names[1], 1):.0f} us/APDU",
                     f"vicc CPU {median(names[1], 2):.0f} us/APDU; bench/bare_ifd.c forwards each call to vicc"))
        # Each round's two rates were measured back to back, under the same load from the rest of the machine: the
        # median of the rounds' ratios says more than the ratio of the medians.
        ratios = [a[0] / b[0] for a, b in zip(rates[names[0]], rates[names[1]])]
        rows.append(("5 pcscd", "SELECT MF, ours / bare",
                     f"{statistics.median(ratios):.2f} x the bare handler's rate (median of the rounds)",
                     "per round: " + ", ".join(f"{r:.2f}" for r in ratios)))
        rows.append(("5 pcscd", "SELECT MF, our driver, built-in card, fast bus",
                     f"{card:,.0f} APDU/s ({1e6 / card:.0f} us each); pcscd CPU {median(names[2], 1):.0f} us/APDU",
                     "the whole simulated machine per APDU, no card process"))
        for name in names[:3]:
            rows.append(("5 pcscd", f"pcscd's threads, {name[len('Bench '):]}", "CPU and thread switches per APDU",
                         "last round: " + rates[name][-1][3]))

        # Real time: each case at several sizes on the full-speed bus.
        sizes = [1, 16, 64, 255]
        apdus = [(1, 0, 0)] + [(2, 0, n) for n in sizes] + [(3, n, 0) for n in sizes] + [(4, n, n) for n in sizes]
        out = run_client(args.client, "latency", names[3], str(args.latency_count),
                         *[make_apdu(c, lc, le) for c, lc, le in apdus])
        worst = None
        for (case, lc, le), line in zip(apdus, out.splitlines()):
            m = re.match(r"latency (\d+) (\d+) ([\d.]+) ([\d.]+) ([\d.]+)", line)
            length, answer, low, mid, p90 = int(m.group(1)), int(m.group(2)), *map(float, m.group(3, 4, 5))
            limit = apdu_limit_ms(length, answer)
            ratio = limit / (mid / 1000)
            worst = ratio if worst is None else min(worst, ratio)
            what = {1: "case 1", 2: f"case 2, Le {le}", 3: f"case 3, Lc {lc}", 4: f"case 4, Lc {lc} Le {le}"}[case]
            rows.append(("6 real time", what + ", full-speed bus",
                         f"ratio {ratio:.3f}; limit {limit} ms, median {mid / 1000:.2f} ms",
                         f"min {low / 1000:.2f}, 90th percentile {p90 / 1000:.2f} ms; {args.latency_count} APDUs through "
                         f"pcscd{'; below 0.952: more than 5 % over the limit' if ratio < 0.952 else ''}"))
        rows.append(("6 real time", "every case and size above", f"worst ratio {worst:.3f}",
                     "limit / median latency through pcscd, SCardTransmit to its return"))
    except Exception as e:  # the table still prints what was measured
        rows.append(("5 pcscd", "(failed)", str(e)[:200], f"see {workdir}"))
        failed = True
    finally:
        for vicc in viccs:
            vicc.stop()
        log = pcscd.stop()
    if "BUG CHECK" in log or "STOPPED" in log:
        rows.append(("5 pcscd", "(failed)", "the driver's log shows a bug check", pcscd.log_path))
        failed = True
    rows.append(("5 pcscd", "load average", f"{load_before} before, {load_text()} after",
                 "1, 5 and 15 minute averages of the machine, shared with other work"))
    width = [max(len(r[i]) for r in rows) for i in range(3)]
    for r in rows:
        print(f"{r[0]:<{width[0]}} | {r[1]:<{width[1]}} | {r[2]:<{width[2]}} | {r[3]}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
