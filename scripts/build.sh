#!/usr/bin/env bash
# Configures and builds into ${BUILD_DIR:-build}. SANITIZE=1 builds with
# AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR=${BUILD_DIR:-build}
flags=()
if [ "${SANITIZE:-0}" = 1 ]; then flags+=(-DSONOLABEL_SANITIZE=ON -DSONOLABEL_BUILD_BENCH=OFF); fi
cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo "${flags[@]}" >/dev/null
cmake --build "$BUILD_DIR" -j"$(nproc)"
