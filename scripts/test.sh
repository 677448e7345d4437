#!/usr/bin/env bash
# Builds and runs every test: the style checks, the normal build, the same tests under the address
# and undefined-behaviour sanitizers, the tests with threads under the thread sanitizer, and a short
# run of each fuzz target.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh --test

jobs=$(nproc)

echo "=== release build and tests"
cmake --preset release
cmake --build build/test -j "$jobs"
ctest --test-dir build/test --output-on-failure -j "$jobs"

echo "=== Debian package: build, inspect, install, run headless, remove"
scripts/check-package.sh build/test

echo "=== style: format and static checks"
scripts/check-style.sh build/test

echo "=== sanitizer build (address, undefined) and tests"
cmake --preset sanitize
cmake --build build/sanitize -j "$jobs"
ASAN_OPTIONS=detect_leaks=1 ctest --test-dir build/sanitize --output-on-failure -j "$jobs" -LE no-sanitize

echo "=== thread sanitizer build and the tests that run the listener thread and the window channel"
cmake --preset tsan
cmake --build build/tsan -j "$jobs"
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$PWD/tests/tsan.supp" \
    ctest --test-dir build/tsan --output-on-failure -j "$jobs" -L 'threads|network'

echo "=== fuzz targets, briefly"
bash fuzz/run-fuzzers.sh 30
echo "=== all tests passed"
