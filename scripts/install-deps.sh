#!/usr/bin/env bash
# Installs the Debian packages the build needs, when missing; with --test also what the test suite
# needs, with --bench what the load benchmark needs (nfdump brings the nfcapd it compares with).
set -euo pipefail

packages=(g++ cmake ninja-build pkg-config qt6-base-dev qt6-charts-dev libqt6opengl6-dev libpugixml-dev libasound2-dev libgtest-dev)
case "${1:-}" in
    --test) packages+=(clang libclang-rt-14-dev libbenchmark-dev softflowd tshark python3) ;;
    --bench) packages+=(libbenchmark-dev nfdump python3) ;;
esac

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
    echo "Installing: ${missing[*]}"
    sudo_cmd=()
    [[ $(id -u) -ne 0 ]] && sudo_cmd=(sudo)
    "${sudo_cmd[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
