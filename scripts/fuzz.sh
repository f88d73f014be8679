#!/usr/bin/env bash
# Builds the fuzz targets with clang and libFuzzer (AddressSanitizer and
# UndefinedBehaviorSanitizer on) into ${BUILD_DIR:-build-fuzz} and runs each
# for SECONDS (default 60) or 10,000,000 executions, whichever comes first.
# Prints one line per target: executions, coverage (edges), crashes.
#
#   scripts/fuzz.sh [SECONDS] [TARGET...]
#
# JOBS (default 1) targets run side by side. New inputs go to a working
# corpus under the build folder, never into fuzz/corpus/; a crashing input is
# kept as <build>/fuzz-out/<target>/crash-*: add it to fuzz/corpus/<target>/
# once the fault is fixed. Exit status 1 when any target crashed.
set -euo pipefail
cd "$(dirname "$0")/.."
SECONDS_PER_TARGET=${1:-60}
shift || true
BUILD_DIR=${BUILD_DIR:-build-fuzz}
JOBS=${JOBS:-1}
RUNS=${RUNS:-10000000}

CC=clang CXX=clang++ cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSONOLABEL_FUZZ=ON \
  -DSONOLABEL_BUILD_APP=OFF -DSONOLABEL_BUILD_TESTS=OFF -DSONOLABEL_BUILD_BENCH=OFF >/dev/null
cmake --build "$BUILD_DIR" -j"$(nproc)" --target fuzz-targets >/dev/null

targets=("$@")
if [ "${#targets[@]}" -eq 0 ]; then
  for f in fuzz/targets/*.cpp; do n=${f##*/}; targets+=("${n%.cpp}"); done
fi

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

run_one() {
  local t=$1 out=$BUILD_DIR/fuzz-out/$1
  rm -rf "$out" && mkdir -p "$out/corpus"
  set +e
  "$BUILD_DIR/bin/fuzz_$t" "$out/corpus" "fuzz/corpus/$t" -max_total_time="$SECONDS_PER_TARGET" \
    -runs="$RUNS" -print_final_stats=1 -artifact_prefix="$out/" -timeout=10 -rss_limit_mb=2048 \
    >"$out/log" 2>&1
  local rc=$?
  set -e
  local execs cov crashes
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$out/log" | tail -n1)
  cov=$(grep -oE 'cov: [0-9]+' "$out/log" | tail -n1 | grep -oE '[0-9]+')
  crashes=$(find "$out" -maxdepth 1 \( -name 'crash-*' -o -name 'leak-*' -o -name 'timeout-*' -o -name 'oom-*' \) | wc -l)
  if [ "$rc" -ne 0 ] && [ "$crashes" -eq 0 ]; then crashes="1 (exit $rc, see $out/log)"; fi
  printf '%-14s executions %-10s coverage %-6s crashes %s\n' "$t" "${execs:-0}" "${cov:-0}" "$crashes"
  [ "$crashes" = 0 ]
}

failed=0
pids=()
for t in "${targets[@]}"; do
  run_one "$t" &
  pids+=($!)
  if [ "${#pids[@]}" -ge "$JOBS" ]; then
    wait "${pids[0]}" || failed=1
    pids=("${pids[@]:1}")
  fi
done
for p in "${pids[@]}"; do wait "$p" || failed=1; done
exit $failed
