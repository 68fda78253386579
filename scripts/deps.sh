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
    xvfb
)

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"

# Another apt, dpkg or the daily unattended upgrade may hold the package lock for a few minutes: wait for
# it rather than fail, and say so once.
lock_wait_s=300
apt_get() {
    local waited=0 errors status
    errors=$(mktemp)
    while true; do
        status=0
        DEBIAN_FRONTEND=noninteractive $sudo apt-get "$@" 2>"$errors" || status=$?
        if [ "$status" = 0 ] || ! grep -q "Could not get lock\|Unable to lock\|Unable to acquire" "$errors"; then
            cat "$errors" >&2
            rm -f "$errors"
            return "$status"
        fi
        if [ "$waited" -ge "$lock_wait_s" ]; then
            cat "$errors" >&2
            rm -f "$errors"
            echo "Gave up after $lock_wait_s s: another package manager still holds the package lock" \
                "(see above). Let it finish, then run this again." >&2
            return "$status"
        fi
        [ "$waited" = 0 ] && echo "Another package manager (apt, dpkg or an automatic update) holds the" \
            "package lock; waiting up to $lock_wait_s s for it to finish." >&2
        sleep 5
        waited=$((waited + 5))
    done
}

echo "Installing: ${missing[*]}"
apt_get update -qq
apt_get install -y -qq --no-install-recommends "${missing[@]}"
