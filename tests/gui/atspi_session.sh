#!/bin/sh
# Runs a program as assistive technology meets the desktop: a virtual X display of its own (its number
# chosen by the server), a session bus, the accessibility bus that Qt finds on the display's root window,
# its registry, and a window manager, so that a window becomes active and holds the focus. Everything
# started here ends with the program; its exit code is the script's.
#
#   atspi_session.sh PROGRAM [ARGUMENTS ...]
# TMPDIR and XDG_RUNTIME_DIR are the caller's private directories.
set -eu

if [ "${1:-}" != --inside ]; then
    fifo="$TMPDIR/display-number"
    rm -f "$fifo"
    mkfifo "$fifo"
    # -noreset: the launcher's root window property outlives its X connection.
    Xvfb -displayfd 3 -noreset -nolisten tcp -screen 0 1024x768x24 3>"$fifo" 2>"$TMPDIR/xvfb.log" &
    xvfb=$!
    trap 'kill $xvfb 2>/dev/null || true' EXIT
    read -r number <"$fifo"
    unset WAYLAND_DISPLAY
    export DISPLAY=":$number" QT_QPA_PLATFORM=xcb
    status=0
    dbus-run-session -- sh "$0" --inside "$@" || status=$?
    exit "$status"
fi
shift

/usr/libexec/at-spi-bus-launcher --launch-immediately --a11y=1 --screen-reader=1 2>"$TMPDIR/launcher.log" &
launcher=$!
trap 'kill $launcher ${registry:-} ${manager:-} 2>/dev/null || true' EXIT
waited=0
until xprop -root AT_SPI_BUS 2>/dev/null | grep -q "unix:"; do
    waited=$((waited + 1))
    [ "$waited" -lt 200 ] || { echo "The accessibility bus did not start" >&2; exit 1; }
    sleep 0.05
done
/usr/libexec/at-spi2-registryd >"$TMPDIR/registryd.log" 2>&1 &
registry=$!
openbox --sm-disable >"$TMPDIR/openbox.log" 2>&1 &
manager=$!
"$@"
