#!/usr/bin/env bash
# Instructions per APDU by layer: runs the host-cost section (or the scale section) under callgrind and sums each function's own cost by source path.
# Usage: bench/callgrind.sh [BUILD_DIR] [APDUS] [READERS]
#   without READERS: the host-cost section, APDUS of each of its three kinds (default build/default, 100)
#   with READERS:    the scale section on the fast bus, READERS readers x 2 applications x APDUS each
set -euo pipefail
build=${1:-build/default}
count=${2:-100}
readers=${3:-}
bench=$build/bench/qward-bench
[ -x "$bench" ] || bench=$build/qward-bench
if [ ! -x "$bench" ]; then
    echo "callgrind.sh: no qward-bench in $build/bench or $build" >&2
    exit 2
fi
out=$(mktemp /tmp/qward-bench-callgrind.XXXXXX)
if [ -n "$readers" ]; then
    args=(--only scale --bus fast --readers "$readers" --per-app "$count")
    apdus=$((2 * readers * count))
else
    args=(--only host --count "$count")
    apdus=$((3 * count))
fi
valgrind --tool=callgrind --callgrind-out-file="$out" "$bench" "${args[@]}" >/dev/null 2>&1
callgrind_annotate --inclusive=no --auto=no --threshold=100 "$out" 2>/dev/null | awk -v apdus="$apdus" '
    /^ *[0-9,]+ \(/ && !/PROGRAM TOTALS/ {
        n = $1; gsub(",", "", n)
        line = $0; sub(/^ *[0-9,]+ +\( *[0-9.]+%\) +/, "", line)
        file = line; sub(/:.*/, "", file)
        fn = line; sub(/^[^:]*:/, "", fn)
        sub(/ \[[^]]*\]$/, "", fn)  # the object file, which names the bench binary for code without line information
        # Code of ours is named by its file; std templates and libc inlined into it by the function that holds them.
        where = file ~ /^(\/usr|\.\/|\?\?\?)/ ? fn : file
        layer = "other (malloc, snprintf, libstdc++)"
        if (where ~ /platform\/kernel\/scheduler|^sim::Scheduler|^sim_fiber_/) layer = "simulated kernel: scheduler"
        else if (where ~ /platform\/smclib\/|^Smartcard|sim::smclib/) layer = "library layer (SMCLIB)"
        else if (where ~ /platform\/kernel\/|^sim::Kernel|^Ke|^Io|^Ex/) layer = "simulated kernel: the rest"
        else if (where ~ /platform\/(usb|host)\/|^sim::(UsbDevice|Application|Handle|PendingRequest|Bus|Pdo|PnpManager)/) layer = "simulated USB bus and host"
        else if (where ~ /(^|\/)reader\/|^sim::(Reader|Keypad|install)/) layer = "simulated reader"
        else if (where ~ /(^|\/)bench\//) layer = "bench"
        else if (where ~ /(^|\/)(driver|usb|protocol|card|pinpad)\//) layer = "driver"
        sum[layer] += n; total += n
    }
    END {
        printf "%-50s %14s %7s %12s\n", "layer", "instructions", "share", "per APDU"
        n = split("driver|library layer (SMCLIB)|simulated kernel: scheduler|simulated kernel: the rest|simulated USB bus and host|simulated reader|bench|other (malloc, snprintf, libstdc++)", order, "|")
        for (i = 1; i <= n; ++i) {
            l = order[i]
            printf "%-50s %14d %6.1f%% %12.0f\n", l, sum[l], 100 * sum[l] / total, sum[l] / apdus
        }
        printf "%-50s %14d %7s %12.0f\n", "total (set-up included)", total, "", total / apdus
    }'
echo "(callgrind output: $out; $apdus APDUs; set-up of the readers is included, so per-APDU figures are slightly high)"
