#!/usr/bin/env bash
# Builds the Debian package from a configured build tree and checks it the way a user meets it:
# contents and control fields, lintian, the desktop entry and metadata validators, then installs it,
# reads its manual pages, runs the installed collector headless as an ordinary user (nobody, with a
# home of its own) with one datagram from the installed nf-loadgen, checks that its CSV file landed
# in that user's data folder and nothing in /usr/bin, stops it with SIGTERM and removes the package.
#   scripts/check-package.sh [BUILD_DIR]        (default build/test)
# Needs root (dpkg -i) and UDP 9996 free while it runs. Every step is bounded in time; the first
# failure ends the run with a non-zero status, and the package is removed whatever happened.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/test}
package=netflow-collector
app_id=io.github.nfcdesk.NetflowCollector

fail() {
    echo "check-package.sh: FAILED: $*" >&2
    exit 1
}
ok() { echo "ok: $*"; }

[[ -f $build/CMakeCache.txt ]] || fail "$build is not a configured build tree"
[[ $(id -u) -eq 0 ]] || fail "needs root to install the package"
scripts/install-deps.sh --package

work=$(mktemp -d /tmp/check-package.XXXXXX)
collector_pid=
installed=0

cleanup() {
    local status=$?
    if [[ -n $collector_pid ]] && kill -0 "$collector_pid" 2>/dev/null; then
        kill -KILL "$collector_pid" 2>/dev/null || true
        wait "$collector_pid" 2>/dev/null || true
    fi
    if ((installed)); then
        timeout 120 dpkg -r "$package" > "$work/remove.log" 2>&1 || echo "check-package.sh: dpkg -r failed" >&2
    fi
    rm -rf "$work"
    exit "$status"
}
trap cleanup EXIT

echo "=== build and package ($build)"
# cpack builds the whole tree before it installs; building it here first keeps that to two jobs.
cmake --build "$build" -j 2
rm -f "$build"/${package}_*.deb
(cd "$build" && timeout 300 cpack -G DEB) > "$work/cpack.log" 2>&1 || { cat "$work/cpack.log"; fail "cpack -G DEB"; }
debs=("$build"/${package}_*.deb)
[[ ${#debs[@]} -eq 1 && -f ${debs[0]} ]] || fail "cpack made no single ${package}_*.deb"
deb=${debs[0]}
ok "built $deb"

echo "=== control fields (dpkg-deb --info)"
dpkg-deb --info "$deb" | tee "$work/info.txt"
field() { dpkg-deb --field "$deb" "$1"; }
[[ $(field Package) == "$package" ]] || fail "Package is not $package"
[[ $(field Section) == net ]] || fail "Section is not net"
[[ -n $(field Maintainer) ]] || fail "no Maintainer"
[[ -n $(field Description) ]] || fail "no Description"
depends=$(field Depends)
for dep in fonts-liberation libqt6widgets6 libqt6gui6 libqt6core6 libpugixml1v5 libasound2 libsqlite3-0 libcurl4 \
    libloc1 libsnmp40 libc6; do
    [[ ", $depends," == *", $dep"[\ ,]* ]] || fail "Depends lacks $dep: $depends"
done
[[ $(field Recommends) == *libloc-database* ]] || fail "Recommends lacks libloc-database"
ok "Package, Section net, Maintainer, Description; Depends: $depends"

echo "=== contents (dpkg-deb --contents)"
dpkg-deb --contents "$deb" | tee "$work/contents.txt"
expected=(
    usr/bin/netflow-collector usr/bin/nf-loadgen usr/bin/nf-query
    usr/share/applications/$app_id.desktop usr/share/metainfo/$app_id.metainfo.xml
    usr/share/icons/hicolor/scalable/apps/$app_id.svg
    usr/share/icons/hicolor/32x32/apps/$app_id.png usr/share/icons/hicolor/48x48/apps/$app_id.png
    usr/share/icons/hicolor/128x128/apps/$app_id.png usr/share/icons/hicolor/256x256/apps/$app_id.png
    usr/share/man/man1/netflow-collector.1.gz usr/share/man/man1/nf-loadgen.1.gz usr/share/man/man1/nf-query.1.gz
    usr/share/doc/$package/README.md usr/share/doc/$package/LICENSE usr/share/doc/$package/CHANGELOG.md
    usr/share/doc/$package/copyright usr/share/doc/$package/changelog.gz
    usr/share/doc/$package/USER-GUIDE.md usr/share/doc/$package/netflow-collector.service
)
for path in "${expected[@]}"; do
    grep -q " \./$path\$" "$work/contents.txt" || fail "the package lacks /$path"
done
ok "all ${#expected[@]} expected files present"

echo "=== lintian"
# lintian exits non-zero on an error tag; warnings and notes are listed but accepted.
set +e
timeout 300 lintian --display-info --pedantic "$deb" > "$work/lintian.txt" 2>&1
lintian_status=$?
set -e
grep -v '^running with root privileges' "$work/lintian.txt" || true
((lintian_status == 0)) || fail "lintian reported an error (status $lintian_status)"
if grep -q '^E:' "$work/lintian.txt"; then fail "lintian reported an error"; fi
ok "lintian: no error, $(grep -c '^[WIP]:' "$work/lintian.txt" || true) warnings and notes"

echo "=== desktop entry and AppStream metadata"
mkdir "$work/root"
dpkg-deb -x "$deb" "$work/root"
desktop-file-validate "$work/root/usr/share/applications/$app_id.desktop" || fail "desktop-file-validate"
ok "desktop-file-validate"
timeout 120 appstreamcli validate --no-net "$work/root/usr/share/metainfo/$app_id.metainfo.xml" ||
    fail "appstreamcli validate"
ok "appstreamcli validate --no-net"

echo "=== install (dpkg -i)"
installed=1
if ! timeout 300 dpkg -i "$deb"; then
    echo "dpkg -i left dependencies open; apt-get -f install fetches them"
    timeout 600 env DEBIAN_FRONTEND=noninteractive apt-get -f install -y -qq || fail "apt-get -f install"
fi
[[ $(dpkg-query -W -f='${Status}' "$package") == "install ok installed" ]] || fail "$package is not installed"
[[ -x /usr/bin/netflow-collector && -x /usr/bin/nf-loadgen && -x /usr/bin/nf-query ]] || fail "programs missing in /usr/bin"
version=$(field Version)
[[ $(/usr/bin/nf-loadgen --version) == "nf-loadgen $version" ]] || fail "nf-loadgen --version is not $version"
ok "installed $package $version"

echo "=== manual pages"
for page in netflow-collector nf-loadgen nf-query; do
    MANWIDTH=80 timeout 60 man -l "/usr/share/man/man1/$page.1.gz" > "$work/$page.local.txt" 2>&1 ||
        fail "man -l $page"
    MANWIDTH=80 timeout 60 man "$page" > "$work/$page.txt" 2> "$work/$page.err" || fail "man $page"
    for section in NAME SYNOPSIS DESCRIPTION OPTIONS "EXIT STATUS"; do
        grep -q "^$section" "$work/$page.txt" || fail "man $page has no $section section"
    done
done
grep -q 'XDG_DATA_HOME/netflow-collector/' "$work/netflow-collector.txt" || fail "man page lacks the data folder"
grep -q 'SIGTERM' "$work/netflow-collector.txt" || fail "man page lacks the signals"
grep -q -- '--netflow-version' "$work/nf-loadgen.txt" || fail "nf-loadgen man page lacks --netflow-version"
grep -q -- '--no-history' "$work/netflow-collector.txt" || fail "man page lacks --no-history"
grep -q -- 'proto:' "$work/nf-query.txt" || fail "nf-query man page lacks the filter language"
ok "man -l and man render every page"

echo "=== installed collector, headless, as nobody with its own home, one datagram"
port_busy() { [[ -n $(ss -Hlun 'sport = :9996') ]]; }
# Other test runs bind the port for a moment; wait a minute for it before giving up.
for _ in $(seq 60); do
    port_busy || break
    sleep 1
done
port_busy && fail "UDP 9996 has been in use for a minute; free it and run again"
# An ordinary user's home inside the scratch directory; the data folder does not exist yet.
chmod 0711 "$work"
mkdir "$work/home"
chown nobody:nogroup "$work/home"
data_folder=$work/home/data/netflow-collector
# What /usr/bin holds before the run: the collector must add nothing to it.
ls -A /usr/bin | sort > "$work/usr-bin-before.txt"
(cd "$work/home" && exec setpriv --reuid=nobody --regid=nogroup --clear-groups \
    env -i PATH=/usr/bin:/bin QT_QPA_PLATFORM=offscreen HOME="$work/home" XDG_DATA_HOME="$work/home/data" \
    /usr/bin/netflow-collector > "$work/collector.log" 2>&1) &
collector_pid=$!
for _ in $(seq 100); do
    port_busy && break
    kill -0 "$collector_pid" 2>/dev/null || { cat "$work/collector.log"; fail "the collector ended at start-up"; }
    sleep 0.1
done
port_busy || fail "the collector did not bind UDP 9996 within 10 s"
[[ $(ps -o user= -p "$collector_pid") == nobody ]] || fail "the collector does not run as nobody"
ok "the installed collector listens on UDP 9996 as nobody"
grep -qF "files go to the data folder $data_folder/" "$work/collector.log" ||
    { cat "$work/collector.log"; fail "the collector did not say where its files go"; }
[[ $(stat -c '%U %a' "$data_folder") == "nobody 700" ]] || fail "the data folder is not nobody's with mode 700"
[[ $(stat -c '%a' "$work/home/data") == 700 ]] || fail "the data folder's parent was not made with mode 700"
ok "it said: $(grep -F "files go to" "$work/collector.log")"

timeout 30 /usr/bin/nf-loadgen --rate 10 --count 1 --records 1 > "$work/loadgen.txt" 2>&1 ||
    { cat "$work/loadgen.txt"; fail "nf-loadgen"; }
grep -q '^datagrams:   1$' "$work/loadgen.txt" && grep -q '^send errors: 0$' "$work/loadgen.txt" ||
    { cat "$work/loadgen.txt"; fail "nf-loadgen did not send its datagram"; }
ok "the installed nf-loadgen sent one version 5 datagram"

csv_lines() { { cat "$data_folder"/NetFlow-*.csv 2>/dev/null || true; } | wc -l; }
for _ in $(seq 100); do
    (($(csv_lines) > 0)) && break
    sleep 0.1
done
(($(csv_lines) == 1)) || fail "not one CSV line in $data_folder within 10 s"
ok "the flow reached $(basename "$data_folder"/NetFlow-*.csv) in the data folder"

# The history keeps the flow once its second's transaction is committed; the installed nf-query
# reads it, as the collector's own user, from the default data folder.
query() {
    setpriv --reuid=nobody --regid=nogroup --clear-groups \
        env -i PATH=/usr/bin:/bin HOME="$work/home" XDG_DATA_HOME="$work/home/data" /usr/bin/nf-query "$@"
}
for _ in $(seq 50); do
    [[ $(query --count 2>/dev/null) == 1 ]] && break
    sleep 0.2
done
[[ $(query --count 2>&1) == 1 ]] || { query --count; fail "nf-query does not count the one flow"; }
ok "the installed nf-query counts the flow in $data_folder/history/"

kill -TERM "$collector_pid"
for _ in $(seq 100); do
    kill -0 "$collector_pid" 2>/dev/null || break
    sleep 0.1
done
kill -0 "$collector_pid" 2>/dev/null && fail "the collector did not stop within 10 s of SIGTERM"
set +e
wait "$collector_pid"
collector_status=$?
set -e
collector_pid=
((collector_status == 0)) || { cat "$work/collector.log"; fail "the collector exited $collector_status on SIGTERM"; }
ok "SIGTERM ended the collector with status 0"
added=$(ls -A /usr/bin | sort | comm -13 "$work/usr-bin-before.txt" -)
[[ -z $added ]] || fail "the collector left files in /usr/bin: $added"
ok "nothing new in /usr/bin"

echo "=== remove (dpkg -r)"
timeout 120 dpkg -r "$package" || fail "dpkg -r"
installed=0
[[ ! -e /usr/bin/netflow-collector ]] || fail "/usr/bin/netflow-collector is still there"
ok "removed"
echo "=== package checks passed"
