#!/usr/bin/env bash
# Times start-up to the window: from launch to the first map of a top-level window on a virtual X display
# (Xvfb), alternating two contenders:
#   1. the tool in real-device mode with no unit attached (build/updater, no option);
#   2. a Qt widgets program that shows one label in a window of the tool's size (build/bench/one_label).
# Each run gets fresh private directories (TMPDIR, XDG_RUNTIME_DIR, DFU_SIM_DIR), so no run meets another's
# instance lock or leftovers. Needs xvfb (apt-get install xvfb).
#
#   bench/startup/startup_time.sh [build directory, default build] [runs of each, default 15]
set -euo pipefail
cd "$(dirname "$0")/../.."
source "bench/stats.sh"
build=${1:-build}
runs=${2:-15}
updater=$(realpath "$build/updater")
map_wait=$build/bench/map_wait
one_label=$build/bench/one_label
for needed in "$updater" "$map_wait" "$one_label"; do
    [ -x "$needed" ] || { echo "missing $needed: build first (cmake --build $build)" >&2; exit 1; }
done
command -v Xvfb >/dev/null || { echo "missing Xvfb: apt-get install xvfb" >&2; exit 1; }

work=$(mktemp -d)
display=":$((200 + RANDOM % 50))"
Xvfb "$display" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
xvfb_pid=$!
trap 'kill $xvfb_pid 2>/dev/null; rm -rf "$work"' EXIT
export DISPLAY=$display
unset QT_QPA_PLATFORM
# map_wait says 2 until the display answers.
for _ in $(seq 100); do
    status=0
    "$map_wait" -t 0.01 true 2>/dev/null || status=$?
    [ "$status" = 2 ] || break
    sleep 0.05
done

# time_map PROGRAM: seconds to its first map, in fresh private directories.
time_map() {
    local run_dir
    run_dir=$(mktemp -d "$work/run.XXXXXX")
    mkdir -m 700 "$run_dir/tmp" "$run_dir/runtime" "$run_dir/world"
    TMPDIR=$run_dir/tmp XDG_RUNTIME_DIR=$run_dir/runtime XDG_STATE_HOME=$run_dir/state DFU_SIM_DIR=$run_dir/world \
        "$map_wait" "$@" 2>>"$work/errors"
    rm -rf "$run_dir"
}

# One unmeasured run of each fills the page cache.
time_map "$updater" >/dev/null && time_map "$one_label" >/dev/null ||
    { echo "a contender did not map its window:" >&2; cat "$work/errors" >&2; exit 1; }

tools=() labels=()
for ((run = 1; run <= runs; run++)); do
    tools+=("$(time_map "$updater")")
    labels+=("$(time_map "$one_label")")
done
spread_format='%7.1f %7.1f %7.1f\n'
ms=()
for t in "${tools[@]}"; do ms+=("$(calc "$t * 1000")"); done
label_ms=()
for t in "${labels[@]}"; do label_ms+=("$(calc "$t * 1000")"); done

printf '%d alternating runs each, launch to window mapped        min  median     max\n' "$runs"
printf 'tool, real-device mode, no unit (ms):             %s\n' "$(spread "${ms[@]}")"
printf 'one-label Qt program, same size (ms):             %s\n' "$(spread "${label_ms[@]}")"
printf 'ratio of medians tool / one label:                %7.2f\n' \
    "$(calc "$(median "${ms[@]}") / $(median "${label_ms[@]}")")"
