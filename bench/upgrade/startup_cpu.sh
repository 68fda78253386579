#!/usr/bin/env bash
# CPU the tool without a window spends before its first listing: its own threads up to the moment the first
# `dfu-util -l` starts, plus the `dfu-util -V` self-test. A probe stands in for dfu-util on the PATH
# (build/bench/first_listing_probe) and reads the tool's CPU from the scheduler's counters when the first
# listing starts; every dfu-util run is then the system's. The tool runs in real-device mode with the
# emulated bootloader on LD_LIBRARY_PATH and no unit, as in idle_cpu.sh. Given a second build directory
# (for instance one of an older commit), the two tools alternate and the ratio of their medians is printed.
#
#   bench/upgrade/startup_cpu.sh [build directory, default build] [runs, default 15] [other build directory]
set -euo pipefail
cd "$(dirname "$0")/../.."
spread_format='%7.2f %7.2f %7.2f\n'
source "bench/stats.sh"
build=${1:-build}
runs=${2:-15}
other=${3:-}
probe=$build/bench/first_listing_probe
sim=$(realpath "$build/simulator")
for needed in "$build/updater" "$probe" "$sim/simctl" ${other:+"$other/updater"}; do
    [ -e "$needed" ] || { echo "missing $needed: build first (cmake --build <build directory>)" >&2; exit 1; }
done
real=$(command -v dfu-util) || { echo "missing dfu-util: apt-get install dfu-util" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/bin"
cp "$probe" "$work/bin/dfu-util"
export DFU_SIM_DIR=$work/world PROBE_REAL=$real XDG_STATE_HOME=$work/state
"$sim/simctl" load no-device >/dev/null
mkfifo "$work/never"
exec 3<>"$work/never"

# startup_cpu UPDATER: prints "own self-test" in ms for one run, in fresh private directories.
startup_cpu() {
    local run_dir tool
    run_dir=$(mktemp -d "$work/run.XXXXXX")
    mkdir -m 700 "$run_dir/tmp" "$run_dir/runtime"
    PROBE_DIR=$run_dir TMPDIR=$run_dir/tmp XDG_RUNTIME_DIR=$run_dir/runtime PATH=$work/bin:$PATH \
        LD_LIBRARY_PATH=$sim "$1" --headless >/dev/null 2>&1 &
    tool=$!
    for _ in $(seq 100); do
        [ -s "$run_dir/first_listing" ] && break
        read -r -t 0.05 -u 3 _ || true
    done
    kill -INT "$tool" 2>/dev/null || true
    wait "$tool" || true
    [ -s "$run_dir/first_listing" ] || { echo "$1 did not reach its first listing" >&2; exit 1; }
    cat "$run_dir/first_listing"
    rm -rf "$run_dir"
}

totals=() owns=() tests=() other_totals=()
startup_cpu "$build/updater" >/dev/null
[ -z "$other" ] || startup_cpu "$other/updater" >/dev/null
for ((run = 1; run <= runs; run++)); do
    read -r own test < <(startup_cpu "$build/updater")
    totals+=("$(calc "$own + $test")") owns+=("$own") tests+=("$test")
    [ -z "$other" ] || { read -r own test < <(startup_cpu "$other/updater"); other_totals+=("$(calc "$own + $test")"); }
done

printf '%d runs, CPU before the first listing                 min  median     max\n' "$runs"
printf '%-40s (ms): %s\n' "$build, in all" "$(spread "${totals[@]}")"
printf '%-40s (ms): %s\n' "  of it the tool's own threads" "$(spread "${owns[@]}")"
printf '%-40s (ms): %s\n' "  of it the dfu-util -V self-test" "$(spread "${tests[@]}")"
if [ -n "$other" ]; then
    printf '%-40s (ms): %s\n' "$other, in all" "$(spread "${other_totals[@]}")"
    printf 'ratio of medians %s / %s: %7.2f\n' "$build" "$other" \
        "$(calc "$(median "${totals[@]}") / $(median "${other_totals[@]}")")"
fi
