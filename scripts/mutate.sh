#!/usr/bin/env bash
# Mutation run: applies each small slip of a list to the core, one at a
# time, rebuilds, runs the whole suite (stopping at the first failing test)
# and puts the file back. A slip that makes a test fail is caught; one that
# passes the suite survived. Prints one line per slip and the share caught.
#
#   scripts/mutate.sh [LIST]   (default scripts/mutations.tsv)
#
# LIST lines: file<TAB>line<TAB>original text<TAB>replacement, with \t, \n
# and \\ escaped; "#" lines are comments. Builds in ${BUILD_DIR:-build-mutate}.
# The working tree is restored after each slip, also when interrupted.
set -euo pipefail
cd "$(dirname "$0")/.."
LIST=${1:-scripts/mutations.tsv}
BUILD_DIR=${BUILD_DIR:-build-mutate}
export QT_QPA_PLATFORM=offscreen
cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSONOLABEL_BUILD_BENCH=OFF >/dev/null
cmake --build "$BUILD_DIR" -j"$(nproc)" >/dev/null
if ! ctest --test-dir "$BUILD_DIR" -j"$(nproc)" --timeout 300 >"$BUILD_DIR/mutate-baseline.log" 2>&1; then
  echo "the suite fails without any slip; see $BUILD_DIR/mutate-baseline.log" >&2
  exit 1
fi

backup=""
target=""
restore() { if [ -n "$backup" ]; then cp -p "$backup" "$target"; touch "$target"; rm -f "$backup"; backup=""; fi; }
trap restore EXIT INT TERM

total=0 caught=0 survived=0 unbuilt=0 stale=0 unsure=0
survivors=()
unsures=()

# Tests that failed in the last suite run, as ctest lists them for
# --rerun-failed (with --stop-on-failure its printed summary leaves the
# failed test out).
failed_tests() {
  sed -E 's/^[0-9]+://' "$BUILD_DIR"/Testing/Temporary/LastTestsFailed*.log 2>/dev/null || true
}
# Runs the suite with the slip in place, stopping at the first failure. A
# failure counts only when the failed tests fail again on their own: a test
# that depends on timing may fail on a loaded machine whatever the slip, and
# must not be taken for a catch. Then the suite is tried once more. Prints
# the name of the catching test, "survived" or "unsure".
run_suite() {
  local attempt
  for attempt in 1 2; do
    if ctest --test-dir "$BUILD_DIR" -j"$(nproc)" --timeout 120 --stop-on-failure >"$BUILD_DIR/mutate-test.log" 2>&1; then
      echo survived
      return
    fi
    local failed
    failed=$(failed_tests | head -n1)
    if ! ctest --test-dir "$BUILD_DIR" --rerun-failed --timeout 120 >"$BUILD_DIR/mutate-rerun.log" 2>&1; then
      echo "${failed:-the suite}"
      return
    fi
  done
  echo unsure
}
while IFS=$'\t' read -r file line original replacement || [ -n "${file:-}" ]; do
  case "$file" in ''|'#'*) continue ;; esac
  label="$file:$line"
  backup=$(mktemp)
  target=$file
  cp -p "$file" "$backup"
  if ! python3 - "$file" "$line" "$original" "$replacement" <<'PY'
import sys
path, line, orig, repl = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4]
def unesc(t):
    out, i = [], 0
    while i < len(t):
        if t[i] == "\\" and i + 1 < len(t):
            out.append({"t": "\t", "n": "\n", "\\": "\\"}.get(t[i + 1], t[i:i + 2]))
            i += 2
        else:
            out.append(t[i])
            i += 1
    return "".join(out)
orig, repl = unesc(orig), unesc(repl)
text = open(path, encoding="utf-8").read()
lines = text.split("\n")
if 0 < line <= len(lines) and orig in lines[line - 1]:
    lines[line - 1] = lines[line - 1].replace(orig, repl, 1)
    text = "\n".join(lines)
elif text.count(orig) == 1:
    text = text.replace(orig, repl, 1)
else:
    sys.exit(2)
open(path, "w", encoding="utf-8").write(text)
PY
  then
    printf '%-34s STALE (original text not found)\n' "$label"
    stale=$((stale + 1))
    restore
    continue
  fi
  total=$((total + 1))
  if ! cmake --build "$BUILD_DIR" -j"$(nproc)" >"$BUILD_DIR/mutate-build.log" 2>&1; then
    printf '%-34s did not build\n' "$label"
    unbuilt=$((unbuilt + 1))
    total=$((total - 1))
  else
    verdict=$(run_suite)
    case $verdict in
      survived)
        printf '%-34s SURVIVED  %s -> %s\n' "$label" "$original" "$replacement"
        survived=$((survived + 1))
        survivors+=("$label")
        ;;
      unsure)
        printf '%-34s UNSURE    only failures that passed when run again: %s\n' "$label" "$(failed_tests | tr '\n' ' ')"
        unsure=$((unsure + 1))
        unsures+=("$label")
        ;;
      *)
        printf '%-34s caught by %s\n' "$label" "${verdict:-the suite}"
        caught=$((caught + 1))
        ;;
    esac
  fi
  restore
done <"$LIST"
# Rebuild the untouched sources so the build folder matches the tree.
cmake --build "$BUILD_DIR" -j"$(nproc)" >/dev/null 2>&1 || true

share=0
[ "$total" -gt 0 ] && share=$((100 * caught / total))
echo "caught $caught of $total slips ($share%); survived $survived; unsure $unsure; did not build $unbuilt; stale $stale"
[ "$survived" -eq 0 ] || printf 'survivors: %s\n' "${survivors[*]}"
[ "$unsure" -eq 0 ] || printf 'unsure (only failures that did not repeat): %s\n' "${unsures[*]}"
