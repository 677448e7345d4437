#!/usr/bin/env bash
# Builds the collector and starts it. Its files (daily CSV, traces, reports) land beside the
# executable, in build/release/collector/. Set QT_QPA_PLATFORM=offscreen to run it headless.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNFC_BUILD_TESTS=OFF
cmake --build build/release --target netflow-collector
exec build/release/collector/app/netflow-collector "$@"
