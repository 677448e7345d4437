#!/usr/bin/env bash
# Installs the Debian packages the build needs, when missing; with --test also what the test suite
# needs (and generates the locales the flow-line tests run under), with --bench what the load
# benchmark needs (nfdump brings the nfcapd it compares with), with --package what building and
# checking the Debian package needs (scripts/check-package.sh), with --screenshots what
# docs/make-screenshots.sh needs. The tests and the benchmark start ClickHouse, DNS and SNMP servers of
# their own (tests/testsupport/*_server.py, snmp_agent.py): the packages' system services are not started.
set -euo pipefail

# fonts-liberation: the fonts the window asks for resolve to these.
packages=(g++ cmake ninja-build pkg-config qt6-base-dev qt6-charts-dev libqt6opengl6-dev libpugixml-dev libasound2-dev
          libgtest-dev fonts-liberation libpcap-dev libsqlite3-dev libcurl4-openssl-dev
          libloc-dev libloc-database libsnmp-dev)
# dpkg-shlibdeps (dpkg-dev) and file find the package's library dependencies; the others inspect,
# validate and run what was installed. The package's own dependencies come with it (apt-get -f).
package_tools=(dpkg-dev file lintian desktop-file-utils appstream man-db iproute2)
case "${1:-}" in
    --test) packages+=(clang libclang-rt-14-dev libbenchmark-dev softflowd tshark python3 python3-pandas locales sqlite3
                       clickhouse-server dnsmasq-base snmpd snmp "${package_tools[@]}") ;;
    --bench) packages+=(libbenchmark-dev nfdump python3 clickhouse-server dnsmasq-base snmpd) ;;
    --package) packages+=("${package_tools[@]}") ;;
    --screenshots) packages+=(xvfb x11-apps imagemagick xdotool) ;;
esac

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
    echo "Installing: ${missing[*]}"
    sudo_cmd=()
    [[ $(id -u) -ne 0 ]] && sudo_cmd=(sudo)
    # clickhouse-server's and snmpd's postinsts start their system services; the first fails the
    # install when it cannot start (no init system in a container, a port taken). Nothing here needs
    # either service, so while apt runs a policy-rc.d of our own forbids their start (101); other
    # services go on as if there were none (0). A policy the machine already has is left alone.
    policy=/usr/sbin/policy-rc.d
    if [[ " ${missing[*]} " =~ \ (clickhouse-server|snmpd)\  && ! -e $policy ]]; then
        trap '"${sudo_cmd[@]}" rm -f "$policy"' EXIT
        printf '%s\n' '#!/bin/sh' '# Written by install-deps.sh while it installs servers for the tests; removed after.' \
            'for a in "$@"; do case "$a" in clickhouse-server|snmpd) exit 101 ;; esac; done' 'exit 0' |
            "${sudo_cmd[@]}" tee "$policy" > /dev/null
        "${sudo_cmd[@]}" chmod 755 "$policy"
    fi
    "${sudo_cmd[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# The flow lines are tested under a comma, a full stop and a multi-byte thousands separator.
if [[ ${1:-} == --test ]]; then
    test_locales=(en_US.UTF-8 de_DE.UTF-8 fr_FR.UTF-8)
    sudo_cmd=()
    [[ $(id -u) -ne 0 ]] && sudo_cmd=(sudo)
    generate=0
    for l in "${test_locales[@]}"; do
        # locale -a spells the codeset "utf8".
        locale -a | grep -qx "${l%.UTF-8}.utf8" && continue
        generate=1
        if grep -qE "^# *$l UTF-8\$" /etc/locale.gen; then
            "${sudo_cmd[@]}" sed -i -E "s/^# *($l UTF-8)\$/\1/" /etc/locale.gen
        elif ! grep -qE "^$l UTF-8\$" /etc/locale.gen; then
            echo "$l UTF-8" | "${sudo_cmd[@]}" tee -a /etc/locale.gen > /dev/null
        fi
    done
    if ((generate)); then
        echo "Generating locales: ${test_locales[*]}"
        "${sudo_cmd[@]}" locale-gen > /dev/null
    fi
fi
