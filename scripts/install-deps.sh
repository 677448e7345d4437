#!/usr/bin/env bash
# Installs the Debian packages the build needs, when missing; with --test also what the test suite
# needs, with --bench what the load benchmark needs (nfdump brings the nfcapd it compares with),
# with --package what building and checking the Debian package needs (scripts/check-package.sh).
set -euo pipefail

packages=(g++ cmake ninja-build pkg-config qt6-base-dev qt6-charts-dev libqt6opengl6-dev libpugixml-dev libasound2-dev
          libgtest-dev libpcap-dev)
# dpkg-shlibdeps (dpkg-dev) and file find the package's library dependencies; the others inspect,
# validate and run what was installed. The package's own dependencies come with it (apt-get -f).
package_tools=(dpkg-dev file lintian desktop-file-utils appstream man-db iproute2)
case "${1:-}" in
    --test) packages+=(clang libclang-rt-14-dev libbenchmark-dev softflowd tshark python3 "${package_tools[@]}") ;;
    --bench) packages+=(libbenchmark-dev nfdump python3) ;;
    --package) packages+=("${package_tools[@]}") ;;
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
