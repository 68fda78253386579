#!/usr/bin/env bash
# CPU time of idle polling without a device, alternating two contenders: the tool without a window, and a
# shell loop that runs dfu-util -d 0483 -l at the same rate (one listing, then 0.5 s). The loop waits with
# the shell's builtin read -t on a pipe that never delivers, so it starts no process but dfu-util and its
# cost is the bare cost of the listings. Both run the system's dfu-util with the emulated bootloader loaded
# (the tool in its real-device mode, with the emulator on LD_LIBRARY_PATH), so the difference is the tool's
# own cost. CPU times are those of the process and every child it reaped, as wait4 reports them.
#
# Each round runs both contenders for a short and a long time; the difference in CPU between the two runs,
# divided by the difference in listings (counted in the emulator's request log), is the marginal CPU per
# listing, in which start-up and shutdown cancel out.
#
#   bench/upgrade/idle_cpu.sh [build directory, default build] [short run s, default 4] [long run s, default 24]
#                             [rounds, default 5]
set -euo pipefail
cd "$(dirname "$0")/../.."
spread_format='%7.3f %7.3f %7.3f\n'
source "bench/stats.sh"
build=${1:-build}
short=${2:-4}
long=${3:-24}
runs=${4:-5}
sim=$build/simulator
updater=$build/updater
for needed in "$updater" "$sim/simctl" "$sim/libusb-1.0.so.0"; do
    [ -e "$needed" ] || { echo "missing $needed: build first (cmake --build $build)" >&2; exit 1; }
done

work=$(mktemp -d)
export DFU_SIM_DIR=$work/world XDG_STATE_HOME=$work/state
trap 'rm -rf "$work"' EXIT
"$sim/simctl" load no-device >/dev/null
"$sim/simctl" fast off >/dev/null
emulator_dir=$(cd "$sim" && pwd)
mkfifo "$work/never"
exec 3<>"$work/never"

listings() { grep -c ' LIST ' "$DFU_SIM_DIR/requests.log" || true; }
# CPU seconds (user + system) of this shell's waited-for children so far; `times` runs in this shell, since
# in a subshell it would report the subshell's own children.
children_cpu() {
    times >"$work/times"
    tail -n 1 "$work/times" |
        awk '{ for (i = 1; i <= 2; i++) { split($i, p, "m"); sub("s", "", p[2]); t += p[1] * 60 + p[2] } print t }'
}
# Waits without a process of its own: nothing ever arrives on fd 3.
pause() { read -r -t "$1" -u 3 _ || true; }

run_tool() {
    local seconds=$1 before tool start_listings
    start_listings=$(listings)
    children_cpu >"$work/before"
    before=$(<"$work/before")
    LD_LIBRARY_PATH=$emulator_dir "$updater" --headless >/dev/null 2>&1 &
    tool=$!
    pause "$seconds"
    kill -INT "$tool"
    wait "$tool" || true
    children_cpu >"$work/after"
    tool_cpu=$(calc "$(<"$work/after") - $before")
    tool_listings=$(($(listings) - start_listings))
}

run_shell() {
    local seconds=$1 before end start_listings
    start_listings=$(listings)
    children_cpu >"$work/before"
    before=$(<"$work/before")
    end=$((SECONDS + seconds))
    while [ "$SECONDS" -lt "$end" ]; do
        LD_LIBRARY_PATH=$emulator_dir dfu-util -d 0483 -l >/dev/null 2>&1 || true
        pause 0.5
    done
    children_cpu >"$work/after"
    shell_cpu=$(calc "$(<"$work/after") - $before")
    shell_listings=$(($(listings) - start_listings))
}

# Marginal CPU per listing in ms: (long CPU - short CPU) / (long listings - short listings).
per_listing() { calc "($3 - $1) * 1000 / ($4 - $2)"; }
# CPU in ms that the short run spent beyond its listings: start-up and shutdown.
fixed_cost() { calc "$1 * 1000 - $2 * $3"; }

tools=() shells=() tool_counts=() shell_counts=() tool_marginals=() shell_marginals=() tool_fixed=()
for ((run = 1; run <= runs; run++)); do
    run_tool "$short"
    tool_short=$tool_cpu tool_short_listings=$tool_listings
    run_shell "$short"
    shell_short=$shell_cpu shell_short_listings=$shell_listings
    run_tool "$long"
    run_shell "$long"
    tools+=("$tool_cpu") shells+=("$shell_cpu") tool_counts+=("$tool_listings") shell_counts+=("$shell_listings")
    tool_marginals+=("$(per_listing "$tool_short" "$tool_short_listings" "$tool_cpu" "$tool_listings")")
    shell_marginals+=("$(per_listing "$shell_short" "$shell_short_listings" "$shell_cpu" "$shell_listings")")
    tool_fixed+=("$(fixed_cost "$tool_short" "$tool_short_listings" "${tool_marginals[-1]}")")
    printf 'round %d: tool %6.3f s CPU (%d listings) in %d s, %6.3f s (%d) in %d s: %6.3f ms per listing\n' \
        "$run" "$tool_short" "$tool_short_listings" "$short" "$tool_cpu" "$tool_listings" "$long" "${tool_marginals[-1]}"
    printf '         shell loop %6.3f s CPU (%d listings) in %d s, %6.3f s (%d) in %d s: %6.3f ms per listing\n' \
        "$shell_short" "$shell_short_listings" "$short" "$shell_cpu" "$shell_listings" "$long" "${shell_marginals[-1]}"
done

printf '\n%d alternating rounds of %d s and %d s idle      min     median     max\n' "$runs" "$short" "$long"
printf 'tool, CPU per listing:                  %s ms\n' "$(spread "${tool_marginals[@]}")"
printf 'shell loop, CPU per listing:            %s ms\n' "$(spread "${shell_marginals[@]}")"
printf 'tool, CPU beyond its listings:          %s ms\n' "$(spread "${tool_fixed[@]}")"
printf 'tool, CPU of the %3d s run:              %s s\n' "$long" "$(spread "${tools[@]}")"
printf 'shell loop, CPU of the %3d s run:        %s s\n' "$long" "$(spread "${shells[@]}")"
counts() { spread "$@" | awk '{ printf "%7d %7d %7d", $1, $2, $3 }'; }
printf 'tool, listings in %3d s:                 %s\n' "$long" "$(counts "${tool_counts[@]}")"
printf 'shell loop, listings in %3d s:           %s\n' "$long" "$(counts "${shell_counts[@]}")"
printf 'ratio of medians per listing tool / shell: %7.2f\n' \
    "$(calc "$(median "${tool_marginals[@]}") / $(median "${shell_marginals[@]}")")"
printf 'ratio of medians of the long run:          %7.2f\n' "$(calc "$(median "${tools[@]}") / $(median "${shells[@]}")")"
