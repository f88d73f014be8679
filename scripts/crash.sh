#!/usr/bin/env bash
# Plays the crash-safety tests in full: a process saving a disc to
# cdplayer.ini, and one saving the settings file, each killed with SIGKILL at
# random moments ROUNDS times (default 1000), and two processes saving
# different discs ROUNDS times each at once. CI plays 100 of each as part of
# the test suite. Builds into ${BUILD_DIR:-build} first.
set -euo pipefail
cd "$(dirname "$0")/.."
export SONOLABEL_CRASH_ROUNDS=${1:-1000}
BUILD_DIR=${BUILD_DIR:-build}
cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$BUILD_DIR" -j"$(nproc)" --target test_localdb test_settings >/dev/null
status=0
"$BUILD_DIR/bin/test_localdb" --gtest_filter='LocalDbProcesses.*' || status=1
"$BUILD_DIR/bin/test_settings" --gtest_filter='SettingsProcesses.*' || status=1
exit $status
