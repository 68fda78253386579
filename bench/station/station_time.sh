#!/usr/bin/env bash
# Wall time of a production station upgrading 1, 2 and 4 emulated units at once with realistic timing:
# scripts/station.sh lists the units and starts one headless run per serial. The unit counts alternate
# within each round, so a slow moment of the machine spreads over all of them. Each figure is compared with
# one unit alone; the goal is 4 units in at most 1.3 times the time of one.
#
#   bench/station/station_time.sh [build directory, default build] [rounds, default 5]
set -euo pipefail
cd "$(dirname "$0")/../.."
source "bench/stats.sh"
build=${1:-build}
rounds=${2:-5}
sim=$build/simulator
updater=$build/updater
for needed in "$updater" "$sim/simctl"; do
    [ -e "$needed" ] || { echo "missing $needed: build first (cmake --build $build)" >&2; exit 1; }
done

work=$(mktemp -d)
export DFU_SIM_DIR=$work/world XDG_STATE_HOME=$work/state
trap 'rm -rf "$work"' EXIT

declare -A configuration=([1]=old-firmware [2]=two-devices [4]=four-devices)
declare -A times=()

station() { # units: one station run on a fresh world with that many units, its wall time in seconds
    local start
    rm -rf "$DFU_SIM_DIR"
    "$sim/simctl" load "${configuration[$1]}" >/dev/null
    "$sim/simctl" fast off >/dev/null
    start=$(now)
    scripts/station.sh -s -u "$updater" >"$work/station.out" 2>&1 ||
        { echo "the station failed with units: $1" >&2; cat "$work/station.out" >&2; exit 1; }
    [ "$(grep -c ' firmware-matches$' "$work/station.out")" = "$1" ] ||
        { echo "not every unit was verified:" >&2; cat "$work/station.out" >&2; exit 1; }
    calc "$(now) - $start"
}

for ((round = 1; round <= rounds; round++)); do
    for units in 1 2 4; do
        seconds=$(station "$units")
        times[$units]="${times[$units]:-} $seconds"
        printf 'round %d, units %d: %6.2f s\n' "$round" "$units" "$seconds"
    done
done

# shellcheck disable=SC2086
one=$(median ${times[1]})
printf '\n| units | wall time min / median / max (s) | median / one unit |\n|---|---|---|\n'
for units in 1 2 4; do
    # shellcheck disable=SC2086
    read -r low middle high < <(spread ${times[$units]})
    printf '| %d | %s / %s / %s | %.2f |\n' "$units" "$low" "$middle" "$high" "$(calc "$middle / $one")"
done
