#!/usr/bin/env bash
# Runs the test programs of the Qt-free core (and the fuzz corpus replays)
# under valgrind memcheck: any invalid access, use of uninitialised memory or
# definite leak fails the run. Builds into ${BUILD_DIR:-build} first.
#
# Three tests are left out, each for what valgrind itself does to it (ASan
# and UBSan run them at full speed in CI): the network fault matrix bounds
# the time of every row, and valgrind runs 20 to 50 times slower; the
# delayed-completion test wants the message pump to run while a layer
# thread works, and valgrind runs one thread at a time; the permission test
# drops root in a forked child, where valgrind's own exit code replaces the
# child's.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR=${BUILD_DIR:-build}
cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$BUILD_DIR" -j"$(nproc)" >/dev/null
BIN=$BUILD_DIR/bin
VG=(valgrind --tool=memcheck --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=definite,indirect
    --track-origins=no --suppressions=scripts/valgrind.supp --child-silent-after-fork=yes -q)
SKIP='FaultMatrix.*:SimDrivesTest.DelayedCompletionThroughEventAndPoll:SgLayerTest.NodeWithoutPermission*'
status=0
run() {
  local name=$1; shift
  local log=$BUILD_DIR/valgrind-$name.log
  if "${VG[@]}" "$@" >"$log" 2>&1; then
    printf '%-24s clean (%s)\n' "$name" "$(grep -E '^\[  PASSED  \]|inputs replayed' "$log" | tail -n1)"
  else
    printf '%-24s FAILED, see %s\n' "$name" "$log"
    grep -E '^==[0-9]+== (Invalid|Conditional|Use of|Mismatched|[0-9,]+ bytes in)' "$log" | head -5 || true
    grep -E '^\[  FAILED  \]' "$log" | head -5 || true
    status=1
  fi
}
for t in platform shell disc net settings localdb cddb mainform cli; do
  [ -x "$BIN/test_$t" ] || continue
  run "test_$t" "$BIN/test_$t" --gtest_filter="-$SKIP"
done
for f in fuzz/targets/*.cpp; do
  n=${f##*/}; n=${n%.cpp}
  run "fuzz_$n" "$BIN/fuzz_$n" "fuzz/corpus/$n"
done
exit $status
