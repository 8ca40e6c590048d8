#!/usr/bin/env bash
# Installs the Debian 12 packages that building and testing PalmoGPS needs,
# skipping the ones already present. Usage: scripts/deps.sh [run|test]
set -euo pipefail

run_pkgs=(cmake g++ make googletest libbenchmark-dev nlohmann-json3-dev libasio-dev libasound2-dev qt6-base-dev fonts-liberation)
test_pkgs=(clang libclang-rt-14-dev g++-mingw-w64-x86-64-posix wine wine64 socat xvfb xauth xdotool imagemagick x11-utils
           scdoc lintian nsis desktop-file-utils appstream bash-completion chrony
           curl xz-utils python3 gpsbabel libxml2-utils gpsd-clients python3-gps)

want=("${run_pkgs[@]}")
[ "${1:-run}" = test ] && want+=("${test_pkgs[@]}")

missing=()
for p in "${want[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
echo "Installing: ${missing[*]}"
"${sudo[@]}" apt-get update -qq
# chrony is only for the tests, which start their own chronyd: its package
# must not start (or enable) the system's time service during the install.
# invoke-rc.d asks policy-rc.d, and 101 forbids every start; one that is
# already in place is left as it is.
policy=/usr/sbin/policy-rc.d
made_policy=
if [ ! -e "$policy" ]; then
    printf '#!/bin/sh\n# Put by PalmoGPS scripts/deps.sh for the install only.\nexit 101\n' |
        "${sudo[@]}" tee "$policy" >/dev/null
    "${sudo[@]}" chmod 755 "$policy"
    made_policy=1
fi
trap 'if [ -n "$made_policy" ]; then "${sudo[@]}" rm -f "$policy"; fi' EXIT
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
