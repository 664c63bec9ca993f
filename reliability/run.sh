#!/usr/bin/env bash
# Reliability runs: the libFuzzer build and fuzz runs, and the report of every figure.
#   bash reliability/run.sh fuzz-build          clang build of the fuzz targets (ASan + UBSan, verifier on), build/fuzz
#   bash reliability/run.sh fuzz SECONDS        each target for SECONDS, corpus kept in build/fuzz/corpus, stats in build/fuzz/stats
#   bash reliability/run.sh short               what CI runs: 20 s of fuzzing per target, then the report with 10 seeds
#                                               per scenario and every 10th scheduling point
#   bash reliability/run.sh long                the long run: 10 min of fuzzing per target, then the report with 200
#                                               seeds per scenario and every scheduling point
# Every scenario run of the report ends with the recovery check; the regression stories run under the same seeds.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
fuzz_dir=build/fuzz
sim_dir=${RELIABILITY_BUILD:-build/default}
targets=(atr reader_answers ioctl pin)

need_clang() {
  local need=()
  command -v clang++ >/dev/null || need+=(clang)
  ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1 || need+=(libclang-rt-14-dev)
  if [ ${#need[@]} -gt 0 ]; then
    SUDO=""; [ "$(id -u)" -eq 0 ] || SUDO=sudo
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${need[@]}" >/dev/null
  fi
}

fuzz_build() {
  need_clang
  cmake -S . -B "$fuzz_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DSIM_SANITIZE=ON -DQWARD_FUZZ=ON \
    -DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link >/dev/null
  cmake --build "$fuzz_dir" --target "${targets[@]/#/fuzz_}"
}

# Runs one target for $2 seconds on a copy of its seed corpus; a crash input goes to build/fuzz/crashes/<target>.
fuzz_one() {
  local target=$1 seconds=$2
  local corpus=$fuzz_dir/corpus/$target crashes=$fuzz_dir/crashes/$target log=$fuzz_dir/logs/$target.log
  # Crash inputs of an earlier run are not this run's findings.
  rm -rf "$crashes"
  mkdir -p "$corpus" "$crashes" "$fuzz_dir/logs" "$fuzz_dir/stats"
  cp -n reliability/fuzz/corpus/$target/* "$corpus/" 2>/dev/null || true
  local status=0
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    "$fuzz_dir/reliability/fuzz/fuzz_$target" "$corpus" -max_total_time="$seconds" -max_len=512 -timeout=20 \
    -artifact_prefix="$crashes/" -print_final_stats=1 >"$log" 2>&1 || status=$?
  local execs; execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  local found; found=$(find "$crashes" -type f | wc -l)
  # Inputs of faults found earlier are kept in the seed corpus as found-<what>, and run clean as tests.
  local regressions; regressions=$(find reliability/fuzz/corpus/$target -type f -name 'found-*' | wc -l)
  {
    echo "execs ${execs:-0}"
    echo "seconds $seconds"
    echo "corpus $(find "$corpus" -type f | wc -l)"
    echo "crashes $found"
    echo "regressions $regressions"
    [ "$status" -eq 0 ] || echo "note  (stopped on a finding: see $log)"
  } >"$fuzz_dir/stats/$target.stats"
  echo "fuzz_$target: ${execs:-0} executions in $seconds s, $found crash input(s) in $crashes"
}

fuzz() {
  local seconds=${1:-20}
  rm -rf "$fuzz_dir/stats"
  for t in "${targets[@]}"; do fuzz_one "$t" "$seconds"; done
}

report() {
  local seeds=$1 stride=$2
  cmake --build "$sim_dir" --target qward-reliability >/dev/null
  "$sim_dir/reliability/qward-reliability" report --folder reliability/scenarios --seeds "$seeds" --stride "$stride" \
    --fuzz-stats "$fuzz_dir/stats"
}

case "${1:-}" in
  fuzz-build) fuzz_build ;;
  fuzz) fuzz "${2:-20}" ;;
  short) fuzz_build; fuzz 20; report 10 10 ;;
  long) fuzz_build; fuzz 600; report 200 1 ;;
  *) sed -n '2,9p' "$0"; exit 2 ;;
esac
