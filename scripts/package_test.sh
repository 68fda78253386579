#!/usr/bin/env bash
# Builds the Debian package from a release build with Debian's hardening flags, checks the launcher and
# metainfo with the distribution's validators, the package with lintian and its contents, then installs
# it, runs the installed program without a display (and with -s, which it refuses: no emulated device is
# installed), checks that udev reads the installed rule without complaint, and purges it. Needs root (or sudo) for the installation.
set -euo pipefail
cd "$(dirname "$0")/.."

dir=${1:-build-package}
package=zentova-firmware-upgrade
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"

fail() {
    echo "package test: $*" >&2
    exit 1
}

purge() {
    if dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
        DEBIAN_FRONTEND=noninteractive $sudo apt-get purge -y -qq "$package" >/dev/null
    fi
}

echo "== Debian package =="
# shellcheck source=scripts/release_build.sh
. scripts/release_build.sh
configure_release "$dir"
cmake --build "$dir" --target "$package" packaging_files -j "$(nproc)"
rm -f "$dir"/*.deb
(cd "$dir" && cpack -G DEB >/dev/null)
deb=$(ls "$dir"/"$package"_*.deb)
version=$(dpkg-deb -f "$deb" Version)

echo "-- lintian"
lint=$(lintian --fail-on error,warning "$deb" 2>&1) || fail "lintian: $lint"
grep -v "running with root privileges" <<<"$lint" || echo "no tags"

echo "-- contents"
contents=$(dpkg-deb -c "$deb" | awk '{ print $NF }')
# The rule directory is relative to the prefix (/usr) unless set to an absolute one.
rules_dir=$(sed -n 's/^UPDATER_UDEV_RULES_DIR:[A-Z]*=//p' "$dir/CMakeCache.txt")
case $rules_dir in
/*) ;;
*) rules_dir=/usr/$rules_dir ;;
esac
for file in usr/bin/$package usr/libexec/$package/$package-window \
    usr/share/applications/com.zentova.FirmwareUpgrade.desktop \
    usr/share/icons/hicolor/scalable/apps/com.zentova.FirmwareUpgrade.svg \
    usr/share/metainfo/com.zentova.FirmwareUpgrade.metainfo.xml "${rules_dir#/}/60-$package.rules" \
    usr/share/man/man1/$package.1.gz usr/share/doc/$package/copyright; do
    grep -qxF "./$file" <<<"$contents" || fail "$file missing from the package"
done
! grep -qi "simulator\|simctl\|usb-1.0" <<<"$contents" || fail "the package contains the simulator"

echo "-- validators"
unpacked=$(mktemp -d)
trap 'rm -rf "$unpacked"; purge' EXIT
dpkg-deb -x "$deb" "$unpacked"
desktop-file-validate "$unpacked"/usr/share/applications/*.desktop
appstreamcli validate --no-net "$unpacked"/usr/share/metainfo/*.metainfo.xml

echo "-- install"
purge
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "./$deb" >/dev/null

# No display: --help and --version must not need one.
run() { env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$package" "$@"; }
out=$(run --version) || fail "--version failed"
echo "$out"
grep -qxF "$package $version" <<<"$out" || fail "--version does not name $package $version"
grep -qE "^Firmware carried: .+ revision [0-9]+\.[0-9]+" <<<"$out" || fail "--version names no firmware revision"
out=$(run --help) || fail "--help failed"
for option in --headless --use-simulator --version; do
    grep -qe "$option" <<<"$out" || fail "--help does not list $option"
done
status=0
out=$(run -s --headless 2>&1) || status=$?
[ "$status" = 1 ] && grep -q "no emulated device" <<<"$out" ||
    fail "the installed program with -s does not say that it has no emulated device (exit $status): $out"
# The window is a program of its own, which tells that there is no display.
status=0
out=$(run 2>&1) || status=$?
[ "$status" = 1 ] && grep -q "display" <<<"$out" ||
    fail "the installed program did not start its window program (exit $status): $out"

# udevadm verify arrives only with systemd 253: "udevadm test" reads every rules file and names each
# line it rejects (unknown key, bad operator, unknown group) as "<file>:<line> <reason>", though it
# still exits 0. Any existing device serves; lo exists in every network namespace.
rule=60-$package.rules
udev_log=$(udevadm test /sys/class/net/lo 2>&1) || fail "udevadm test failed"
grep -q "^Reading rules file: .*/$rule$" <<<"$udev_log" || fail "udev does not read the installed $rule"
! grep "/$rule:[0-9]" <<<"$udev_log" || fail "udev rejects lines of $rule"
echo "udev reads $rule without complaint"

echo "-- purge"
purge
! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || fail "$package still installed"
[ ! -e "$rules_dir/$rule" ] || fail "$rule left behind"
echo "package test passed"
