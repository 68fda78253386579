#!/bin/sh
# Installs the build tree into a staging root (DESTDIR) under a prefix of its own and checks that every file
# lands below <stage>/<prefix>: an absolute destination would show up elsewhere in the stage instead of
# touching the system. Then runs the installed program: with -s it must say that it has no emulated device
# and end with exit code 1 without touching any unit; for the window it must start the installed window
# program, which says that there is no display; waiting without a window it must not have loaded the
# graphics toolkit.
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
for file in bin/zentova-firmware-upgrade \
    libexec/zentova-firmware-upgrade/zentova-firmware-upgrade-window \
    lib/udev/rules.d/60-zentova-firmware-upgrade.rules \
    share/applications/com.zentova.FirmwareUpgrade.desktop share/man/man1/zentova-firmware-upgrade.1.gz; do
    [ -f "$stage$prefix/$file" ] || fail "$file not installed under the prefix"
done
echo "all $(cd "$stage" && find . ! -type d | wc -l) installed files lie under $prefix"

# refuses_simulator RUN COMMAND...: the installed program given -s ends with 1, says why, touches nothing.
refuses_simulator() {
    run=$1
    shift
    status=0
    "$@" >"$work/run.out" 2>&1 || status=$?
    [ "$status" = 1 ] || fail "the installed program $run ended with $status, not 1"
    grep -q "no emulated device" "$work/run.out" ||
        fail "the installed program $run does not say it has no emulated device: $(cat "$work/run.out")"
    [ ! -e "$work/world/requests.log" ] || fail "the installed program $run reached the emulator"
}
program=$stage$prefix/bin/zentova-firmware-upgrade
refuses_simulator "-s --headless" env QT_QPA_PLATFORM=offscreen DFU_SIM_DIR="$work/world" "$program" -s --headless
refuses_simulator "-s, window" env QT_QPA_PLATFORM=offscreen DFU_SIM_DIR="$work/world" "$program" -s
refuses_simulator "-s, no display" env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM \
    DFU_SIM_DIR="$work/world" "$program" -s
echo "the installed program says that it has no emulated device, with and without a window or display"

status=0
env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$stage$prefix/bin/zentova-firmware-upgrade" \
    >"$work/window.out" 2>&1 || status=$?
[ "$status" = 1 ] && grep -q "display" "$work/window.out" ||
    fail "the installed program did not start its window program (exit $status): $(cat "$work/window.out")"
echo "the installed program starts the installed window program"

# Moved away from its window program, it names what is missing.
mkdir -p "$work/moved"
cp "$stage$prefix/bin/zentova-firmware-upgrade" "$work/moved/"
status=0
env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$work/moved/zentova-firmware-upgrade" \
    >"$work/moved.out" 2>&1 || status=$?
[ "$status" = 1 ] && grep -q "cannot start the window program .*zentova-firmware-upgrade-window" "$work/moved.out" ||
    fail "a program without its window program does not say so (exit $status): $(cat "$work/moved.out")"

mkdir -p "$work/tmp"
# A serial of its own, so that no run of the user's keeps it out.
TMPDIR=$work/tmp XDG_RUNTIME_DIR=$work/tmp XDG_STATE_HOME=$work/state "$stage$prefix/bin/zentova-firmware-upgrade" --headless \
    --serial "INSTALL-CHECK-$$" \
    >"$work/idle.out" 2>&1 &
idle=$!
# Waiting for a unit once it has said so; no longer than that.
tries=0
while ! grep -q "Waiting for a product" "$work/idle.out" 2>/dev/null && [ $tries -lt 200 ]; do
    sleep 0.05
    tries=$((tries + 1))
done
cat "/proc/$idle/maps" >"$work/idle.maps" 2>/dev/null || true
kill -INT "$idle" 2>/dev/null || true
wait "$idle" || true
grep -q "libQt5Core" "$work/idle.maps" ||
    fail "the program without a window did not stay to be looked at: $(cat "$work/idle.out")"
! grep -qE "libQt5(Gui|Widgets)" "$work/idle.maps" || fail "the program without a window loaded the graphics toolkit"
echo "the program without a window runs without the graphics toolkit"
