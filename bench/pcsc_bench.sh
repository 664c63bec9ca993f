#!/usr/bin/env bash
# The pcscd rows of the benchmark (make bench runs it after qward-bench): builds our reader driver library, the bare
# one and the PC/SC client, installs what they need, and runs bench/pcsc_bench.py against a private pcscd in a mount
# namespace of its own. Needs root. Usage: pcsc_bench.sh [BUILD_DIR] [pcsc_bench.py options]
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/.." && pwd)"
build="${1:-$root/build/default}"
shift || true
if [ "$(id -u)" -ne 0 ]; then
  echo "5 pcscd | (not run) | needs root for a private pcscd | run make bench as root"
  exit 0
fi
packages=(pcscd libpcsclite-dev python3-pyscard vsmartcard-vpicc python3-virtualsmartcard python3-pycryptodome)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}" >&2
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
# pcsc-lite's headers may have come just now: configure again so that the bench's parts are built.
cmake -S "$root" -B "$build" >/dev/null
cmake --build "$build" --target tavelo_ifd bare_ifd qward-pcsc-client >&2
find_one() { find "$build" -name "$1" -print -quit; }
exec unshare -m -- /usr/bin/python3 "$here/pcsc_bench.py" --library "$(find_one libtavelo_ifd.so)" \
  --bare "$(find_one libbare_ifd.so)" --client "$(find_one qward-pcsc-client)" "$@"
