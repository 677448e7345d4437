#!/usr/bin/env bash
# Makes docs/screenshots/traffic-window.png: the Traffic window on made-up traffic, under a virtual
# X server. Needs xvfb (apt-get install xvfb) and the built traffic_window_demo.
# Usage: traffic-screenshot.sh BUILD_DIR [OUTPUT.png]
set -euo pipefail
build=${1:?build directory}
here=$(cd "$(dirname "$0")/../../.." && pwd)
out=${2:-$here/docs/screenshots/traffic-window.png}
mkdir -p "$(dirname "$out")"
QT_QPA_PLATFORM=xcb xvfb-run -a -s "-screen 0 1400x1000x24" "$build/tests/collector/ui/traffic_window_demo" "$out"
