#!/usr/bin/env bash
# Builds SMCLIB.SYS, our smart card driver library, as an x64 Windows export driver from the same sources as the
# simulated library (platform/smclib, freestanding kernel C++) plus its Windows port (winbuild/smclib/port.cpp).
# It exports the routines of winbuild/smclib.def. Test infrastructure for the Wine run: Windows has its own
# SMCLIB.SYS, and the driver package does not ship one.
#
#   bash winbuild/smclib.sh [OUTPUT_DIR]      (default build/windows/test)
set -euo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/toolchain.sh"
out=${1:-$repo_root/build/windows/test}
ensure_toolchain
mkdir -p "$out/smclib-obj"
objects=()
for src in platform/smclib/library.cpp platform/smclib/device_control.cpp platform/smclib/data_routines.cpp \
    platform/smclib/atr.cpp winbuild/smclib/port.cpp; do
    obj="$out/smclib-obj/$(basename "${src%.*}").o"
    win_compile "$repo_root/$src" "$obj" -I "$repo_root"
    objects+=("$obj")
done
mapfile -t flags < <(win_link_flags SmclibEntry)
# An export driver: a native-subsystem DLL whose exports the importing drivers bind to.
"$WIN_CXX" -o "$out/smclib.sys" "${objects[@]}" "$winbuild_dir/smclib.def" -shared "${flags[@]}" -lntoskrnl -lhal -lgcc
echo "winbuild: built $out/smclib.sys"
