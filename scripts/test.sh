#!/usr/bin/env bash
# Builds and runs every test: the style checks, the normal build, the same tests under the address
# and undefined-behaviour sanitizers, the tests with threads under the thread sanitizer, and a short
# run of each fuzz target. Each stage prints how long it took, so a slow machine shows where.
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc)
started=$SECONDS

# stage NAME FUNCTION: runs FUNCTION under NAME and prints its duration. A failing command inside
# still stops the whole run (errexit holds inside the function, which is not called as a condition).
stage() {
    local name=$1 begin=$SECONDS
    echo "=== $name"
    "$2"
    echo "=== $name: $((SECONDS - begin)) s"
}

dependencies() { scripts/install-deps.sh --test; }

release() {
    cmake --preset release
    cmake --build build/test -j "$jobs"
    ctest --test-dir build/test --output-on-failure -j "$jobs"
}

package() { scripts/check-package.sh build/test; }

style() { scripts/check-style.sh build/test; }

sanitize() {
    cmake --preset sanitize
    cmake --build build/sanitize -j "$jobs"
    ASAN_OPTIONS=detect_leaks=1 ctest --test-dir build/sanitize --output-on-failure -j "$jobs" -LE no-sanitize
}

# tests/tsan.supp says what inside Qt and glib is passed over, and why.
thread_sanitizer() {
    cmake --preset tsan
    cmake --build build/tsan -j "$jobs" --target threaded_tests
    TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$PWD/tests/tsan.supp" \
        ctest --test-dir build/tsan --output-on-failure -j "$jobs" -L 'threads|network'
}

fuzz() { bash fuzz/run-fuzzers.sh 30; }

stage "dependencies" dependencies
stage "release build and tests" release
stage "Debian package: build, inspect, install, run headless, remove" package
stage "style: format and static checks" style
stage "sanitizer build (address, undefined) and tests" sanitize
stage "thread sanitizer build and the tests that run the listener thread and the window channel" thread_sanitizer
stage "fuzz targets, briefly" fuzz
echo "=== all tests passed: $((SECONDS - started)) s"
