#!/usr/bin/env bash
# What the history costs a run, and how fast it is read, on the emulated product with realistic timing:
#   1. a headless upgrade from start to verdict, alternating runs that record (into a history that already
#      holds the records of step 2) with runs that cannot (the state directory is /proc, where nothing can be
#      made: the run tries once, says so and records nothing), each in a fresh emulated world;
#   2. `--history --serial S` over a history of 100,000 records (made by build/bench/history_fill: 25,000
#      units of four records each), from start to exit;
#   3. `--history --json` of all of them, its time and its peak memory beside `--history --serial S`'s,
#      which shows that it streams: the memory does not grow with the records printed.
#
#   bench/history/history_time.sh [build directory, default build] [runs of each, default 5]
#                                 [records, default 100000]
set -euo pipefail
cd "$(dirname "$0")/../.."
source "bench/stats.sh"
build=${1:-build}
runs=${2:-5}
records=${3:-100000}
sim=$build/simulator
updater=$build/updater
fill=$build/bench/history_fill
for needed in "$updater" "$sim/simctl" "$fill" /usr/bin/time; do
    [ -e "$needed" ] || { echo "missing $needed: build first (cmake --build $build)" >&2; exit 1; }
done

work=$(mktemp -d)
export DFU_SIM_DIR=$work/world XDG_STATE_HOME=$work/state
trap 'rm -rf "$work"' EXIT
mkdir -p "$XDG_STATE_HOME/zentova-firmware-upgrade"
"$fill" "$XDG_STATE_HOME/zentova-firmware-upgrade/history.sqlite" "$records"

fresh_world() {
    rm -rf "$DFU_SIM_DIR"
    "$sim/simctl" load old-firmware >/dev/null
    "$sim/simctl" fast off >/dev/null
}

# Seconds from start to verdict of one upgrade, with the state directory given.
upgrade_s() {
    fresh_world
    local start verdict
    start=$(now)
    set +e
    XDG_STATE_HOME=$1 "$updater" -s --headless >"$work/headless.out" 2>"$work/headless.err"
    verdict=$?
    set -e
    [ "$verdict" = 0 ] || { echo "the tool ended with $verdict:" >&2; cat "$work/headless.out" >&2; exit 1; }
    calc "$(now) - $start"
}

with=() without=()
for ((run = 1; run <= runs; run++)); do
    with+=("$(upgrade_s "$XDG_STATE_HOME")")
    without+=("$(upgrade_s /proc)")
    printf 'run %d: recording %6.2f s, not recording %6.2f s\n' "$run" "${with[-1]}" "${without[-1]}"
done
recorded=$("$updater" --history --json | wc -l)
[ "$recorded" = $((records + runs)) ] || { echo "the history holds $recorded records, not $((records + runs))" >&2; exit 1; }

# A unit in the middle of the history.
serial=$(printf '%012X' $((records / 8)))
queries=()
for ((run = 1; run <= 11; run++)); do
    start=$(now)
    "$updater" --history --serial "$serial" >"$work/serial.out"
    queries+=("$(calc "($(now) - $start) * 1000")")
done
[ "$(wc -l <"$work/serial.out")" = 4 ] || { echo "--serial $serial printed:" >&2; cat "$work/serial.out" >&2; exit 1; }
read -r serial_s serial_kb < <(/usr/bin/time -f '%e %M' "$updater" --history --serial "$serial" 2>&1 >/dev/null)
read -r all_s all_kb < <(/usr/bin/time -f '%e %M' "$updater" --history --json 2>&1 >/dev/null)

printf '\n%d alternating runs each                  min    median    max\n' "$runs"
printf 'headless upgrade, recording:          %s s\n' "$(spread "${with[@]}")"
printf 'headless upgrade, not recording:      %s s\n' "$(spread "${without[@]}")"
printf 'ratio of medians:                     %6.3f  (goal: at most 1.02)\n' \
    "$(calc "$(median "${with[@]}") / $(median "${without[@]}")")"
spread_format='%6.1f %6.1f %6.1f\n'
printf '\n%s records, 11 runs                     min    median    max\n' "$records"
printf -- '--history --serial S, start to exit:  %s ms  (goal: at most 100 ms)\n' "$(spread "${queries[@]}")"
printf -- '--history --serial S:                 %6.2f s, peak memory %d KB\n' "$serial_s" "$serial_kb"
printf -- '--history --json, all records:        %6.2f s, peak memory %d KB\n' "$all_s" "$all_kb"
