#!/usr/bin/env python3
"""Compares the application's replies of two runs of one session: the simulated machine's transcript and the Wine
run's (JSON lines from qward-workbench --json and qward-wine-host --json). Every reply must agree in I/O control,
status, byte count and bytes. Requests that complete in order are compared in order; overlapped ones by their name
and occurrence, since each side reports them at a different moment."""

import json
import sys


def replies(path):
    ordered, overlapped = [], {}
    with open(path) as f:
        for line in f:
            line = line.strip()
            if not line:
                continue
            event = json.loads(line)
            if event.get("source") != "app" or event.get("event") != "reply":
                continue
            record = (event.get("ioctl"), event.get("status"), event.get("bytes"), event.get("reply"))
            if "request" in event:
                overlapped.setdefault(event["request"], []).append(record)
            else:
                ordered.append(record)
    return ordered, overlapped


def describe(record):
    ioctl, status, count, data = record
    return "%s -> %s, %s bytes %s" % (ioctl, status, count, data or "")


def main():
    if len(sys.argv) != 3:
        print("usage: compare.py SIMULATION.jsonl WINE.jsonl", file=sys.stderr)
        return 2
    sim_ordered, sim_overlapped = replies(sys.argv[1])
    wine_ordered, wine_overlapped = replies(sys.argv[2])
    differences = []
    for i in range(max(len(sim_ordered), len(wine_ordered))):
        a = sim_ordered[i] if i < len(sim_ordered) else None
        b = wine_ordered[i] if i < len(wine_ordered) else None
        if a != b:
            differences.append("request %d: simulation %s, Wine %s" % (
                i + 1, describe(a) if a else "nothing", describe(b) if b else "nothing"))
    for name in sorted(set(sim_overlapped) | set(wine_overlapped)):
        a, b = sim_overlapped.get(name, []), wine_overlapped.get(name, [])
        for i in range(max(len(a), len(b))):
            x = a[i] if i < len(a) else None
            y = b[i] if i < len(b) else None
            if x != y:
                differences.append("overlapped [%s] #%d: simulation %s, Wine %s" % (
                    name, i + 1, describe(x) if x else "nothing", describe(y) if y else "nothing"))
    total = len(sim_ordered) + sum(len(v) for v in sim_overlapped.values())
    if not total:
        print("compare: the simulation's transcript has no replies at all")
        return 1
    for d in differences:
        print("DIFFERENT " + d)
    same = total - len(differences)
    print("compare: %d replies, %d identical, %d different" % (total, same, len(differences)))
    return 1 if differences else 0


if __name__ == "__main__":
    sys.exit(main())
