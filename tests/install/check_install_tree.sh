#!/bin/sh
# Installs the build tree into a staging root (DESTDIR) under a prefix of its own and checks that every file
# lands below <stage>/<prefix>: an absolute destination would show up elsewhere in the stage instead of
# touching the system. Then runs the installed program with -s, which must say that it has no emulated
# device and end with exit code 1 without touching any unit.
#
#   check_install_tree.sh CMAKE BUILD_DIRECTORY WORK_DIRECTORY
set -eu
cmake=$1 build=$2 work=$3
prefix=/opt/zentova-install-check
stage=$work/stage

fail() {
    echo "install tree: $*" >&2
    exit 1
}

rm -rf "$work"
mkdir -p "$stage" "$work/world"
DESTDIR=$stage "$cmake" --install "$build" --prefix "$prefix" >"$work/install.log" || fail "install failed"

outside=$(cd "$stage" && find . ! -type d | grep -v "^\.$prefix/" || true)
[ -z "$outside" ] || fail "files outside the prefix: $outside"
for file in bin/zentova-firmware-upgrade lib/udev/rules.d/60-zentova-firmware-upgrade.rules \
    share/applications/com.zentova.FirmwareUpgrade.desktop share/man/man1/zentova-firmware-upgrade.1.gz; do
    [ -f "$stage$prefix/$file" ] || fail "$file not installed under the prefix"
done
echo "all $(cd "$stage" && find . ! -type d | wc -l) installed files lie under $prefix"

status=0
QT_QPA_PLATFORM=offscreen DFU_SIM_DIR=$work/world \
    "$stage$prefix/bin/zentova-firmware-upgrade" -s --headless >"$work/run.out" 2>&1 || status=$?
[ "$status" = 1 ] || fail "the installed program with -s ended with $status, not 1"
grep -q "no emulated device" "$work/run.out" || fail "the installed program with -s does not say it has no emulated device"
[ ! -e "$work/world/requests.log" ] || fail "the installed program with -s reached the emulator"
echo "the installed program says that it has no emulated device"
