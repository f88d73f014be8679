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

total=0 caught=0 survived=0 unbuilt=0 stale=0
survivors=()
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
  elif ctest --test-dir "$BUILD_DIR" -j"$(nproc)" --timeout 120 --stop-on-failure >"$BUILD_DIR/mutate-test.log" 2>&1; then
    printf '%-34s SURVIVED  %s -> %s\n' "$label" "$original" "$replacement"
    survived=$((survived + 1))
    survivors+=("$label")
  else
    # The first test whose result line is neither a pass nor a skip (the
    # lists ctest prints at the end also name skipped tests).
    by=$(grep -E 'Test +#[0-9]+: ' "$BUILD_DIR/mutate-test.log" | grep -vE '(Passed|Skipped|Not Run)' |
      head -n1 | sed -E 's/.*Test +#[0-9]+: ([^ ]+).*/\1/')
    printf '%-34s caught by %s\n' "$label" "${by:-the suite}"
    caught=$((caught + 1))
  fi
  restore
done <"$LIST"
# Rebuild the untouched sources so the build folder matches the tree.
cmake --build "$BUILD_DIR" -j"$(nproc)" >/dev/null 2>&1 || true

share=0
[ "$total" -gt 0 ] && share=$((100 * caught / total))
echo "caught $caught of $total slips ($share%); survived $survived; did not build $unbuilt; stale $stale"
[ "$survived" -eq 0 ] || printf 'survivors: %s\n' "${survivors[*]}"
