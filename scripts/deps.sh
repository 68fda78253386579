#!/usr/bin/env bash
# Installs the Debian packages that building, running and testing need; does nothing when all are there.
set -euo pipefail

packages=(
    cmake g++ make ccache pkg-config
    qtbase5-dev qtbase5-dev-tools
    dfu-util libusb-1.0-0-dev autoconf automake python3
    fonts-freefont-otf
    libbenchmark-dev
    help2man dpkg-dev file lintian desktop-file-utils appstream udev
)

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
echo "Installing: ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
