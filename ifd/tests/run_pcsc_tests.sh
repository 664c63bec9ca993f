#!/usr/bin/env bash
# Runs the PC/SC tests: installs the Debian packages they use, builds the reader driver library, and runs the
# clients against a private pcscd in a mount namespace of its own. Needs root. Usage: run_pcsc_tests.sh [BUILD_DIR]
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/../.." && pwd)"
build="${1:-$root/build/default}"

# The build's own dependencies, then the middleware the tests drive.
bash "$root/tools/install-deps.sh"
packages=(pcscd libpcsclite-dev pcsc-tools opensc python3-pyscard vsmartcard-vpicc python3-virtualsmartcard
          python3-pycryptodome)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
if [ ! -f "$build/build.ninja" ]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
if ! ninja -C "$build" -t targets all 2>/dev/null | grep -q '^tavelo_ifd:'; then
  # A build whose top-level CMakeLists.txt does not list ifd/ yet: a build directory of our own that adds it.
  build="$root/build/pcsc"
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_PROJECT_INCLUDE="$here/add_ifd.cmake" >/dev/null
fi
cmake --build "$build" --target tavelo_ifd
library="$(find "$build" -name libtavelo_ifd.so -print -quit)"
exec unshare -m -- /usr/bin/python3 "$here/pcsc_tests.py" --library "$library"
