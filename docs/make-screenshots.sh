#!/usr/bin/env bash
# Renews the user guide's screenshots in docs/screenshots/: the collector runs under a virtual X
# server from a scratch directory of its own, nf-loadgen sends it version 5 and version 9 traffic
# over loopback, the windows are opened the way an operator opens them and each is shot.
#   docs/make-screenshots.sh [BUILD_DIR]        (default build/dev, built with its collector)
# Needs UDP 9996 free. Installs xvfb, x11-apps, imagemagick and xdotool when missing.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/dev}
out=docs/screenshots
collector_exe=$build/collector/app/netflow-collector
loadgen=$build/tools/nf-loadgen
[[ -x $collector_exe && -x $loadgen ]] || { echo "build $collector_exe and $loadgen first" >&2; exit 1; }
scripts/install-deps.sh --screenshots

display=:$((90 + RANDOM % 9))
work=$(mktemp -d /tmp/nfc-screenshots.XXXXXX)
xvfb_pid=
collector_pid=
cleanup() {
    [[ -n $collector_pid ]] && kill -TERM "$collector_pid" 2>/dev/null && wait "$collector_pid" 2>/dev/null
    [[ -n $xvfb_pid ]] && kill "$xvfb_pid" 2>/dev/null && wait "$xvfb_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

Xvfb "$display" -screen 0 1600x1100x24 -nolisten tcp > "$work/xvfb.log" 2>&1 &
xvfb_pid=$!
export DISPLAY=$display
for _ in $(seq 50); do xdpyinfo > /dev/null 2>&1 && break; sleep 0.1; done
xdpyinfo > /dev/null 2>&1 || { cat "$work/xvfb.log"; echo "Xvfb did not start" >&2; exit 1; }

port_busy() { [[ -n $(ss -Hlun 'sport = :9996') ]]; }
# A copy in the scratch directory writes its files there, not into the build tree.
cp "$collector_exe" "$work/netflow-collector"

# Starts the collector under the locale $1 and waits for its window "Form1".
start_collector() {
    for _ in $(seq 60); do port_busy || break; sleep 1; done
    (cd "$work" && exec env LANG="$1" LC_ALL="$1" ./netflow-collector > "$work/collector.log" 2>&1) &
    collector_pid=$!
    for _ in $(seq 100); do port_busy && break; sleep 0.1; done
    port_busy || { cat "$work/collector.log"; echo "the collector did not listen" >&2; exit 1; }
    main_window=$(xdotool search --sync --name '^Form1$' | head -n 1)
}

stop_collector() {
    kill -TERM "$collector_pid"
    wait "$collector_pid" || true
    collector_pid=
}

# Version 5 and version 9 traffic for Seconds ($1) in the background; traffic_end waits for it.
traffic_start() {
    "$loadgen" --quiet --netflow-version 5 --rate 40 --duration "$1" --records 30 > "$work/v5.txt" 2>&1 &
    v5_pid=$!
    "$loadgen" --quiet --netflow-version 9 --rate 20 --duration "$1" --records 20 --source-id 7 > "$work/v9.txt" 2>&1 &
    v9_pid=$!
    sleep 3  # lines in the memo, rates in the status bar
}
traffic_end() {
    wait "$v5_pid" || { cat "$work/v5.txt"; exit 1; }
    wait "$v9_pid" || { cat "$work/v9.txt"; exit 1; }
}

shoot() {  # window id, file name
    sleep 1  # one more refresh of the status bar and the views
    import -window "$1" "$out/$2"
    echo "wrote $out/$2"
}

# Every top-level window the collector has mapped, one id a line.
windows() { xdotool search --onlyvisible --pid "$collector_pid" '' 2>/dev/null | sort; }

# Chooses the n-th entry of the View menu by the keyboard, after a click on its title.
view_menu_entry() {
    local n=$1
    xdotool mousemove --window "$main_window" 52 10 click 1
    sleep 0.5
    for _ in $(seq "$n"); do xdotool key Down; done
    xdotool key Return
    sleep 1
}

mkdir -p "$out"
echo "=== main window and Exporters window (C locale)"
start_collector C.UTF-8
traffic_start 12
shoot "$main_window" main-window.png
before=$(windows)
view_menu_entry 1
exporters=$(comm -13 <(echo "$before") <(windows) | head -n 1)
[[ -n $exporters ]] || { echo "View > Exporters opened no window" >&2; exit 1; }
shoot "$exporters" exporters-window.png

echo "=== Traffic window, when View holds it"
# Ctrl+T on the main window, as an operator opens it; the Exporters window stays where it is.
before=$(windows)
xdotool windowfocus --sync "$main_window" 2>/dev/null || true
xdotool mousemove --window "$main_window" 600 200 click 1
xdotool key ctrl+t
sleep 3  # a tick or two of the chart and the tables
traffic_window=$(comm -13 <(echo "$before") <(windows) | head -n 1)
if [[ -n $traffic_window ]]; then
    shoot "$traffic_window" traffic-window.png
else
    echo "skipped: this build has no View > Traffic"
fi
traffic_end
stop_collector

echo "=== Traffic window on a history span"
# A day of made-up traffic written by the collector's own store, shown as "Last 24 hours".
demo=$(cd "$build" && pwd)/tests/collector/ui/traffic_window_demo
if [[ -x $demo ]]; then
    png=$PWD/$out/history-window.png
    (cd "$work" && QT_QPA_PLATFORM=xcb "$demo" "$png" --history)
else
    echo "skipped: $demo is not built"
fi

echo "=== Traffic window naming countries, AS numbers and hosts"
# Public addresses, the location database and a DNS server of the tests' own whose hosts file names
# the site's two servers.
if [[ -x $demo ]]; then
    png=$PWD/$out/places-window.png
    harness=$PWD/tests/testsupport/dns_server.py
    (cd "$work" && QT_QPA_PLATFORM=xcb python3 "$harness" run -- "$demo" "$png" --places)
else
    echo "skipped: $demo is not built"
fi

echo "=== main window under fr_FR.UTF-8, widened so that whole lines show"
start_collector fr_FR.UTF-8
traffic_start 5
xdotool windowsize "$main_window" 1100 560
shoot "$main_window" main-window-fr_FR.png
traffic_end
stop_collector
