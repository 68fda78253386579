#!/usr/bin/env bash
# Screenshots of the window through whole upgrades in simulator mode, on a virtual X display, at scale 1.0
# and 1.25 (QT_FONT_DPI=120): no device, upgrade offered, upgrading, restarting after the write, verifying,
# done; another product, a blank product record, a firmware that differs after the upgrade; the log dialog
# beside the window; no USB permission, two units, a unit that does not answer, a read-back that did not
# complete, a failed write, a unit that does not come back, and quitting during a write.
#
#   scripts/screenshots.sh [output directory] [build directory]
#
# Needs xvfb, xauth, imagemagick and xdotool (apt-get install xvfb xauth imagemagick xdotool) and a built
# tree (default: build/). The pictures are written as <scale>-<step>.png; they are not kept in the repo.
# Exits with 1 when a step's state does not come in time (the picture would show another).
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
out="$(realpath -m "${1:-$root/screenshots}")"
build="$(realpath "${2:-$root/build}")"
updater="$build/updater"
simctl="$build/simulator/simctl"
for tool in Xvfb import xdotool; do
    command -v "$tool" >/dev/null || { echo "missing $tool: apt-get install xvfb imagemagick xdotool" >&2; exit 1; }
done
[ -x "$updater" ] && [ -x "$simctl" ] || { echo "build first: $updater, $simctl" >&2; exit 1; }
mkdir -p "$out"

display=":$((90 + RANDOM % 9))"
Xvfb "$display" -screen 0 1920x1200x24 -nolisten tcp >/dev/null 2>&1 &
xvfb_pid=$!
export DISPLAY="$display"
export DFU_SIM_DIR XDG_STATE_HOME
DFU_SIM_DIR="$(mktemp -d)"
# The demonstration's upgrades stay out of the user's history.
XDG_STATE_HOME="$(mktemp -d)"
updater_pid=""

cleanup() {
    [ -n "$updater_pid" ] && kill "$updater_pid" 2>/dev/null && wait "$updater_pid" 2>/dev/null || true
    kill "$xvfb_pid" 2>/dev/null || true
    rm -rf "$DFU_SIM_DIR" "$XDG_STATE_HOME"
}
trap cleanup EXIT
for _ in $(seq 50); do xdpyinfo >/dev/null 2>&1 && break || sleep 0.1; done 2>/dev/null || sleep 2

title="Zentova Firmware Upgrade Tool"
scale_name=""
scale=""
log=""
mark_line=0

main_window() { xdotool search --name "$title" | head -1; }

# shot NAME [DELAY]: the main window alone; shot_screen NAME: the screen, for the log dialog beside it.
shot() {
    sleep "${2:-0}"
    import -window "$(main_window)" "$out/$scale_name-$1.png"
    echo "$out/$scale_name-$1.png"
}

shot_screen() {
    import -window root "$out/$scale_name-$1.png"
    echo "$out/$scale_name-$1.png"
}

# The read-back is over in well under a second; holding the tool's dfu-util child for a moment keeps the
# verifying step on the screen long enough to take its picture.
hold_dfu_util() { pgrep -P "$updater_pid" | xargs -r kill -"$1"; }

# Remembers how far the tool's log has come; wait_for looks only at what follows.
mark() { mark_line="$(wc -l <"$log")"; }

# A step whose state never came would take a picture of the wrong one: the script fails instead.
timed_out() {
    echo "timed out waiting for: $1" >&2
    exit 1
}

# Waits until the tool's log holds the text after the mark (the flow logs every state it enters).
wait_for() {
    local text="$1" seconds="${2:-60}"
    for _ in $(seq $((seconds * 10))); do
        tail -n +"$((mark_line + 1))" "$log" | grep -qF -- "$text" && return 0
        sleep 0.1
    done
    timed_out "$text"
}

# Waits until the tool has listed the emulated bus twice without a unit since the last configuration was
# loaded. The flow logs no state when it is in B1 already (no access, two units, a failed read), so the
# emulator's request log tells instead; the worker lists again only after it has handled the first.
wait_for_empty_bus() {
    local seconds="${1:-10}"
    for _ in $(seq $((seconds * 10))); do
        [ "$(awk '/ CONFIG / { n = 0 } / LIST devices=0$/ { n++ } END { print n + 0 }' \
            "$DFU_SIM_DIR/requests.log")" -ge 2 ] && return 0
        sleep 0.1
    done
    timed_out "two listings without a unit"
}

# Clicks the middle of the install button, given in design pixels (207, 417, 250 x 40) times the scale.
click_install() {
    local window x y
    window="$(main_window)"
    x="$(awk -v s="$scale" 'BEGIN { printf "%d", (207 + 125) * s }')"
    y="$(awk -v s="$scale" 'BEGIN { printf "%d", (417 + 20) * s }')"
    xdotool mousemove --window "$window" "$x" "$y" click 1
}

unplug() {
    "$simctl" load no-device
    wait_for_empty_bus
}

run_at() {
    local dpi="$1"
    scale_name="$2"
    scale="$(awk -v d="$dpi" 'BEGIN { print d / 96 }')"
    log="$out/$scale_name-updater.log"
    "$simctl" load no-device
    "$simctl" fast off
    QT_FONT_DPI="$dpi" "$updater" -s -l >"$log" 2>&1 &
    updater_pid=$!
    mark_line=0
    wait_for "Starting sm_A" 30
    sleep 2
    shot 1-no-device

    mark
    "$simctl" load old-firmware
    wait_for "Download  enabled" 30
    shot 2-upgrade-offered 0.5

    mark
    click_install
    shot 3-upgrading 3
    wait_for "SM_A: /sig_FwDownloaded" 180
    shot 3b-restarting 0.3
    wait_for "SM_A: /sig_FwUploading" 180
    hold_dfu_util STOP
    shot 4-verifying 0.6
    hold_dfu_util CONT
    wait_for "SM_B: entered B6" 180
    shot 5-done 0.5

    unplug
    mark
    "$simctl" load other-product
    wait_for "SM_B: entered B8" 30
    shot 6-other-product 0.5

    unplug
    mark
    "$simctl" load blank-otp
    wait_for "SM_B: /sig_DifferingRevision" 30
    shot 7-blank-record 0.5

    unplug
    mark
    "$simctl" load bad-cell
    "$simctl" fast on
    wait_for "Download  enabled" 30
    mark
    click_install
    wait_for "SM_B: entered B7" 120
    shot 8-firmware-differs 0.5

    xdotool key --window "$(main_window)" ctrl+l
    sleep 1
    shot_screen 9-log-window
    xdotool key --window "$(main_window)" ctrl+l

    situation no-access "listing situation" 10-no-access
    situation two-devices "listing situation" 11-two-units
    situation otp-read-error "Exit with" 12-no-answer
    situation short-upload "could not be read back whole" 13-could-not-verify
    upgrade_in write-fault "Exit with" 14-write-failed 2
    upgrade_in no-reenter "SM_A: /sig_FwDownloaded" 15-not-verified 32

    # Quitting during a write: the window says it finishes the write first.
    unplug
    "$simctl" fast off
    mark
    "$simctl" load old-firmware
    wait_for "Download  enabled" 30
    click_install
    sleep 2
    xdotool key --window "$(main_window)" q
    shot 16-finishing-write 0.5
    wait "$updater_pid" || true
    updater_pid=""
}

# situation CONFIGURATION LOG_TEXT NAME: what the window tells once the tool has logged the text.
situation() {
    unplug
    mark
    "$simctl" load "$1"
    wait_for "$2" 30
    shot "$3" 1
}

# upgrade_in CONFIGURATION LOG_TEXT NAME SECONDS: clicks install, waits for the text, then SECONDS more.
upgrade_in() {
    unplug
    mark
    "$simctl" load "$1"
    wait_for "Download  enabled" 30
    mark
    click_install
    wait_for "$2" 60
    shot "$3" "$4"
}

run_at 96 scale-1.00
run_at 120 scale-1.25
