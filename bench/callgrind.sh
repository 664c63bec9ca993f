#!/usr/bin/env bash
# Instructions per APDU by layer: runs the host-cost section under callgrind and sums each function's own cost by source path.
# Usage: bench/callgrind.sh [BUILD_DIR] [APDUS]   (default /tmp/bench-build, 100 APDUs of each of the three kinds)
set -euo pipefail
build=${1:-/tmp/bench-build}
count=${2:-100}
out=$(mktemp /tmp/qward-bench-callgrind.XXXXXX)
valgrind --tool=callgrind --callgrind-out-file="$out" "$build/qward-bench" --only host --count "$count" >/dev/null 2>&1
callgrind_annotate --inclusive=no --auto=no --threshold=100 "$out" 2>/dev/null | awk -v apdus=$((3 * count)) '
    /^ *[0-9,]+ \(/ && !/PROGRAM TOTALS/ {
        n = $1; gsub(",", "", n)
        line = $0; sub(/^ *[0-9,]+ +\( *[0-9.]+%\) +/, "", line)
        file = line; sub(/:.*/, "", file)
        fn = line; sub(/^[^:]*:/, "", fn)
        # Code of ours is named by its file; std templates and libc inlined into it by the function that holds them.
        where = file ~ /^(\/usr|\.\/|\?\?\?)/ ? fn : file
        layer = "other (malloc, snprintf, swapcontext, libstdc++)"
        if (where ~ /^(\/work\/main\/)?(driver|usb|protocol|card|pinpad)\//) layer = "driver"
        else if (where ~ /platform\/smclib\/|^Smartcard|sim::smclib/) layer = "library layer (SMCLIB)"
        else if (where ~ /platform\/kernel\/|^sim::(Kernel|Scheduler)|^Ke|^Io|^Ex/) layer = "simulated kernel"
        else if (where ~ /platform\/(usb|host)\/|^sim::(UsbDevice|Application|Handle|PendingRequest|Bus|Pdo|PnpManager)/) layer = "simulated USB bus and host"
        else if (where ~ /reader\/|^sim::(Reader|Keypad|install)/) layer = "simulated reader"
        else if (where ~ /bench\//) layer = "bench"
        sum[layer] += n; total += n
    }
    END {
        printf "%-48s %14s %7s %12s\n", "layer", "instructions", "share", "per APDU"
        for (l in sum) printf "%-48s %14d %6.1f%% %12.0f\n", l, sum[l], 100 * sum[l] / total, sum[l] / apdus
        printf "%-48s %14d %7s %12.0f\n", "total (set-up included)", total, "", total / apdus
    }'
echo "(callgrind output: $out; set-up of the reader is included, so per-APDU figures are slightly high)"
