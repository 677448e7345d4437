#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for SECONDS (default 30) on a copy of its
# seed corpus, after replaying every input that ever crashed it. Any finding (crash, sanitizer
# report, leak, time-out) fails the script; the input is left under build/fuzz/artifacts/.
# NFC_FUZZ_BUILD names another build folder than build/fuzz.
#   bash fuzz/run-fuzzers.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-30}
build=${NFC_FUZZ_BUILD:-build/fuzz}
jobs=${NFC_JOBS:-2}

CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DNFC_BUILD_FUZZ=ON -DNFC_BUILD_COLLECTOR=OFF -DNFC_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target decode_fuzz dns_fuzz -j "$jobs"

run_target() {
    local name=$1 corpus=$2 regressions=$3
    local work="$build/corpus-work/$name" artifacts="$build/artifacts/$name/"
    rm -rf "$work"
    mkdir -p "$work" "$artifacts"
    cp "$corpus"/* "$work"/

    echo "=== $name: replaying $regressions"
    local inputs=()
    for f in "$regressions"/*; do
        [[ -f $f ]] && inputs+=("$f")
    done
    if ((${#inputs[@]})); then
        "$build/fuzz/$name" -artifact_prefix="$artifacts" "${inputs[@]}"
    fi

    echo "=== $name: fuzzing for $seconds s"
    "$build/fuzz/$name" -max_total_time="$seconds" -max_len=8192 -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
        -artifact_prefix="$artifacts" "$work"
}

run_target decode_fuzz fuzz/corpus fuzz/regressions
# Answers to reverse lookups; its corpus and findings are kept apart from the datagrams'.
run_target dns_fuzz fuzz/corpus-dns fuzz/regressions-dns
echo "=== fuzzing found nothing"
