#!/usr/bin/env bash
# Builds and runs every test: the normal build, the same tests under the address and
# undefined-behaviour sanitizers, and a short run of each fuzz target.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh --test

jobs=$(nproc)

echo "=== release build and tests"
cmake -S . -B build/test -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build/test -j "$jobs"
ctest --test-dir build/test --output-on-failure -j "$jobs"

echo "=== sanitizer build (address, undefined) and tests"
cmake -S . -B build/sanitize -G Ninja -DCMAKE_BUILD_TYPE=Debug -DNFC_SANITIZE=ON
cmake --build build/sanitize -j "$jobs"
ASAN_OPTIONS=detect_leaks=1 ctest --test-dir build/sanitize --output-on-failure -j "$jobs" -LE no-sanitize

if [[ -f fuzz/run-fuzzers.sh ]]; then
    echo "=== fuzz targets, briefly"
    bash fuzz/run-fuzzers.sh 30
fi
echo "=== all tests passed"
