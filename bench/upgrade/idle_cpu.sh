#!/usr/bin/env bash
# CPU time of one minute of idle polling without a device: the tool without a window against a shell loop
# that runs dfu-util -d 0483 -l at the same rate (one listing, then 0.5 s). Both run the system's dfu-util
# with the emulated bootloader loaded (the tool in its real-device mode, with the emulator on
# LD_LIBRARY_PATH), so the difference is the tool's own cost. CPU times include every child process.
#
#   bench/upgrade/idle_cpu.sh [build directory, default build] [seconds, default 60]
set -euo pipefail
cd "$(dirname "$0")/../.."
build=${1:-build}
seconds=${2:-60}
sim=$build/simulator
updater=$build/updater
for needed in "$updater" "$sim/simctl" "$sim/libusb-1.0.so.0"; do
    [ -e "$needed" ] || { echo "missing $needed: build first (cmake --build $build)" >&2; exit 1; }
done

work=$(mktemp -d)
export DFU_SIM_DIR=$work/world
trap 'rm -rf "$work"' EXIT
"$sim/simctl" load no-device >/dev/null
"$sim/simctl" fast off >/dev/null
emulator_dir=$(cd "$sim" && pwd)

calc() { awk "BEGIN { printf \"%.3f\", $1 }"; }
listings() { grep -c ' LIST ' "$DFU_SIM_DIR/requests.log" || true; }
# CPU seconds (user + system) of this shell's waited-for children so far; `times` runs in this shell, since
# in a subshell it would report the subshell's own children.
children_cpu() {
    times >"$work/times"
    tail -n 1 "$work/times" |
        awk '{ for (i = 1; i <= 2; i++) { split($i, p, "m"); sub("s", "", p[2]); t += p[1] * 60 + p[2] } print t }'
}

children_cpu >"$work/before"
before=$(<"$work/before")
LD_LIBRARY_PATH=$emulator_dir "$updater" --headless >/dev/null 2>&1 &
tool=$!
sleep "$seconds"
kill -INT "$tool"
wait "$tool" || true
children_cpu >"$work/after"
tool_cpu=$(calc "$(<"$work/after") - $before")
tool_listings=$(listings)

"$sim/simctl" load no-device >/dev/null
children_cpu >"$work/before"
before=$(<"$work/before")
end=$((SECONDS + seconds))
while [ "$SECONDS" -lt "$end" ]; do
    LD_LIBRARY_PATH=$emulator_dir dfu-util -d 0483 -l >/dev/null 2>&1
    sleep 0.5
done
children_cpu >"$work/after"
shell_cpu=$(calc "$(<"$work/after") - $before")
shell_listings=$(($(listings) - tool_listings))

printf 'tool, %d s idle:        %6.3f s CPU  (%d listings)\n' "$seconds" "$tool_cpu" "$tool_listings"
printf 'shell loop, %d s idle:  %6.3f s CPU  (%d listings)\n' "$seconds" "$shell_cpu" "$shell_listings"
printf 'ratio tool / shell:     %6.2f\n' "$(calc "$tool_cpu / $shell_cpu")"
