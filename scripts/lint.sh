#!/usr/bin/env bash
# Static checks of the core (src/ without the Qt window in src/app, the ASPI
# layers in aspi/, the command line in cli/): clang-tidy with the checks of
# .clang-tidy (every finding an error) and cppcheck's warning, performance
# and portability checks. Exit status 1 on any finding.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR=${LINT_BUILD_DIR:-build-lint}
cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=Debug -DCMAKE_EXPORT_COMPILE_COMMANDS=ON \
  -DSONOLABEL_BUILD_APP=OFF -DSONOLABEL_BUILD_TESTS=OFF -DSONOLABEL_BUILD_BENCH=OFF >/dev/null
mapfile -t files < <(ls src/*/*.cpp aspi/*/*.cpp cli/*.cpp | grep -v '^src/app/')
status=0

echo "== clang-tidy (${#files[@]} files)"
if ! run-clang-tidy -p "$BUILD_DIR" -quiet -j "$(nproc)" "${files[@]}" >"$BUILD_DIR/clang-tidy.log" 2>&1; then
  grep -E "(warning|error):" "$BUILD_DIR/clang-tidy.log" | sort -u
  status=1
fi
findings=$(grep -cE "(warning|error): .*\[[a-z]" "$BUILD_DIR/clang-tidy.log" || true)
echo "clang-tidy: $findings findings"

echo "== cppcheck"
if ! cppcheck --quiet --enable=warning,performance,portability --std=c++20 --inline-suppr \
    --error-exitcode=1 -I src -I aspi/include -I aspi/sg --suppress=missingIncludeSystem \
    --template='{file}:{line}: {severity} [{id}] {message}' "${files[@]}"; then
  status=1
fi
[ "$status" = 0 ] && echo "cppcheck: 0 findings"
exit $status
