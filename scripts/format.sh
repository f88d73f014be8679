#!/usr/bin/env bash
# Lays out the C++ sources (src/ cli/ tools/ aspi/ tests/ bench/ fuzz/) with
# the style of .clang-format, in place.
#   scripts/format.sh           reformat every tracked .cpp/.h file
#   scripts/format.sh --check   change nothing; list the files whose layout
#                               differs and exit 1 if there is any
#   scripts/format.sh [--check] FILE...   only these files
# The style is tuned for clang-format 14 (Debian 12); CLANG_FORMAT names
# another binary.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ -n "${CLANG_FORMAT:-}" ]; then
  formatter=$CLANG_FORMAT
elif command -v clang-format-14 >/dev/null; then
  formatter=clang-format-14
else
  formatter=clang-format
fi
command -v "$formatter" >/dev/null || { echo "format.sh: $formatter not found (apt-get install clang-format)" >&2; exit 2; }

check=0
if [ "${1:-}" = "--check" ]; then
  check=1
  shift
fi

if [ $# -gt 0 ]; then
  files=("$@")
else
  mapfile -t files < <(git ls-files -- 'src/*.cpp' 'src/*.h' 'cli/*.cpp' 'cli/*.h' 'tools/*.cpp' 'tools/*.h' \
    'aspi/*.cpp' 'aspi/*.h' 'tests/*.cpp' 'tests/*.h' 'bench/*.cpp' 'bench/*.h' 'fuzz/*.cpp' 'fuzz/*.h')
fi
[ ${#files[@]} -gt 0 ] || { echo "format.sh: no files" >&2; exit 2; }

if [ "$check" = 0 ]; then
  printf '%s\0' "${files[@]}" | xargs -0 -n 50 "$formatter" -i --style=file
  exit 0
fi

# One formatter run per batch of files; each finding names its file. A file
# the formatter cannot read fails the check instead of passing it.
if ! report=$(printf '%s\0' "${files[@]}" | xargs -0 -n 50 "$formatter" --style=file --dry-run 2>&1); then
  echo "$report" >&2
  exit 2
fi
mapfile -t unformatted < <(sed -n 's/^\(.*\):[0-9]*:[0-9]*: warning: code should be clang-formatted.*/\1/p' \
  <<<"$report" | sort -u)
if [ ${#unformatted[@]} -gt 0 ]; then
  printf '%s\n' "${unformatted[@]}"
  echo "format.sh: ${#unformatted[@]} of ${#files[@]} files are not laid out as .clang-format says" >&2
  exit 1
fi
echo "format.sh: ${#files[@]} files laid out as .clang-format says"
