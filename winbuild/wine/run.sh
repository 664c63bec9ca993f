#!/usr/bin/env bash
# The Wine run: the driver image (build/windows/tavelo.sys) loaded by Wine's Windows kernel from its INF through
# Plug and Play, driven by a Win32 program, with the simulated reader behind a test bus; the same card session then
# runs on our simulated machine and the two transcripts must agree request by request.
#
#   bash winbuild/wine/run.sh [BUILD_DIR]      (BUILD_DIR: the simulation build, default build/default)
#
# Environment: WINE_RUN_OUT (default build/wine) for the prefix, the images and the logs; WINEDEBUG (default
# -all,+debugstr: the drivers' DbgPrint output) for Wine's debug channels, written to $WINE_RUN_OUT/wine.log;
# WINE_RUN_KEEP=1 keeps the prefix afterwards (wineserver stopped) for a look with WINEPREFIX=$WINE_RUN_OUT/prefix.
set -euo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/../toolchain.sh"
wine_dir=$winbuild_dir/wine
build_dir=$(cd "${1:-$repo_root/build/default}" 2>/dev/null && pwd || echo "${1:-$repo_root/build/default}")
out=${WINE_RUN_OUT:-$repo_root/build/wine}
WINE=/usr/lib/wine/wine64
WINESERVER=/usr/lib/wine/wineserver
session=$wine_dir/session.qws

step() { printf 'wine-run: %s\n' "$*"; }
elapsed() { echo $(( $(date +%s%N) / 1000000 - $1 )); }

# ---- Tools -----------------------------------------------------------------------------------------------------
if [ ! -x "$WINE" ]; then
    if [ "$(id -u)" != 0 ]; then
        echo "wine-run: $WINE is missing; install the Debian package wine64 (needs root)" >&2
        exit 1
    fi
    step "installing wine64"
    export DEBIAN_FRONTEND=noninteractive
    if ! apt-get install -y -qq --no-install-recommends wine64 >/dev/null 2>&1; then
        apt-get update -qq >/dev/null
        apt-get install -y -qq --no-install-recommends wine64 >/dev/null
    fi
fi
ensure_toolchain

# ---- Images and programs -----------------------------------------------------------------------------------------
mkdir -p "$out"
if [ ! -f "$repo_root/build/windows/tavelo.sys" ] || [ ! -f "$repo_root/build/windows/tavelo.cat" ]; then
    step "building the driver image"
    bash "$winbuild_dir/build.sh" >"$out/winbuild.log" 2>&1 || { cat "$out/winbuild.log"; exit 1; }
fi
step "building SMCLIB.SYS, the test bus and the Win32 program"
bash "$winbuild_dir/smclib.sh" "$out/bin" >/dev/null
mkdir -p "$out/bin" "$out/obj"
win_compile "$wine_dir/qwardbus.cpp" "$out/obj/qwardbus.o" -I "$repo_root"
mapfile -t bus_flags < <(win_link_flags DriverEntry)
"$WIN_CXX" -o "$out/bin/qwardbus.sys" "$out/obj/qwardbus.o" "${bus_flags[@]}" -lntoskrnl -lhal -lws2_32 -lgcc
"$WIN_CXX" -std=c++20 -O2 -Wall -Wextra -Werror -o "$out/bin/qward-app.exe" "$wine_dir/qward_app.cpp" -static \
    -lsetupapi -lnewdev -lws2_32 -lntdll
# The driver package as it ships: the INF, the image and the catalog the INF names.
rm -rf "$out/package" "$out/bus"
mkdir -p "$out/package" "$out/bus"
cp "$repo_root/build/windows/tavelo.inf" "$repo_root/build/windows/tavelo.sys" "$repo_root/build/windows/tavelo.cat" "$out/package/"
cp "$wine_dir/qwardbus.inf" "$out/bin/qwardbus.sys" "$out/bus/"
python3 "$winbuild_dir/make_catalog.py" --output "$out/bus/qwardbus.cat" "$out/bus/qwardbus.inf" "$out/bus/qwardbus.sys"

step "building the reader host and the workbench"
nice -n 10 cmake --build "$build_dir" --target qward-wine-host qward-workbench -j2 >/dev/null

# ---- The simulated machine -----------------------------------------------------------------------------------------
step "the session on the simulated machine"
"$build_dir/tools/qward-workbench" --json "$session" >"$out/simulation.jsonl" 2>/dev/null || true
if ! "$build_dir/tools/qward-workbench" --color never "$session" >"$out/simulation.txt" 2>&1; then
    tail -30 "$out/simulation.txt"
    echo "wine-run: the session fails on the simulated machine (transcript: $out/simulation.txt)" >&2
    exit 1
fi

# ---- Wine --------------------------------------------------------------------------------------------------------
export WINEPREFIX=$out/prefix
export WINEDEBUG=${WINEDEBUG:--all,+debugstr}
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
export DISPLAY=
host_pid=""
cleanup() {
    [ -n "$host_pid" ] && kill "$host_pid" 2>/dev/null || true
    "$WINESERVER" -k 2>/dev/null || true
    if [ "${WINE_RUN_KEEP:-0}" != 1 ]; then rm -rf "$WINEPREFIX"; fi
}
trap cleanup EXIT
"$WINESERVER" -k 2>/dev/null || true
rm -rf "$WINEPREFIX"
: >"$out/wine.log"

start=$(date +%s%N); start=$((start / 1000000))
step "a fresh Wine prefix"
timeout 120 "$WINE" wineboot --init >>"$out/wine.log" 2>&1
# The first boot goes on in the background (services, the drivers of the prefix); a driver service started
# meanwhile can miss its start time-out. Wait until the prefix is idle and its wineserver has ended.
timeout 120 "$WINESERVER" -w
prefix_ms=$(elapsed "$start")

rm -f "$out/port"
"$build_dir/tools/qward-wine-host" "$session" --port-file "$out/port" --json "$out/wine.jsonl" >"$out/wine.txt" 2>&1 &
host_pid=$!
for _ in $(seq 100); do [ -s "$out/port" ] && break; sleep 0.1; done
port=$(cat "$out/port")

# SMCLIB.SYS is not part of the driver package: the system provides it.
cp "$out/bin/smclib.sys" "$WINEPREFIX/drive_c/windows/system32/drivers/smclib.sys"
# The application starts first and waits for the session's commands: as a Wine process it also keeps the
# wineserver, and with it the driver host process (winedevice.exe), running for the whole run.
session_start=$(date +%s%N); session_start=$((session_start / 1000000))
timeout 300 "$WINE" "$out/bin/qward-app.exe" session "$port" >>"$out/wine.log" 2>&1 &
app_pid=$!
step "installing the driver package (tavelo.inf into the driver store) and the test bus (reader host on port $port)"
(cd "$out/package" && timeout 60 "$WINE" "$out/bin/qward-app.exe" add-driver tavelo.inf) >>"$out/wine.log" 2>&1
(cd "$out/bus" && timeout 60 "$WINE" "$out/bin/qward-app.exe" install-bus qwardbus.inf "$port") >>"$out/wine.log" 2>&1

step "the session under Wine"
app_rc=0
wait "$app_pid" || app_rc=$?
host_rc=0
wait "$host_pid" || host_rc=$?
host_pid=""
session_ms=$(elapsed "$session_start")
total_ms=$(elapsed "$start")
"$WINESERVER" -k 2>/dev/null || true

if [ "$host_rc" != 0 ] || [ "$app_rc" != 0 ]; then
    tail -40 "$out/wine.txt"
    echo "--- Wine's output (last 40 lines of $out/wine.log) ---"
    tail -40 "$out/wine.log"
    echo "wine-run: the session failed under Wine (host exit $host_rc, program exit $app_rc; transcript $out/wine.txt)" >&2
    exit 1
fi

step "comparing the replies"
python3 "$wine_dir/compare.py" "$out/simulation.jsonl" "$out/wine.jsonl"
printf 'wine-run: fresh prefix %d ms, installation and session %d ms (session alone %d ms)\n' \
    "$prefix_ms" "$((total_ms - prefix_ms))" "$session_ms"
