#!/usr/bin/env bash
# Times upgrades of the emulated product with realistic timing, alternating two contenders:
#   1. the tool without a window (updater -s --headless), from start to its verdict;
#   2. a shell script running the same dfu-util command lines back to back, with no pauses: list until
#      the device is there, read OTP and info block, download, list until it is back, read again, read
#      the whole image back and compare it with cmp.
# Both go through the simulator script, so each dfu-util run costs the same. The worker's pauses are
# counted, not subtracted: from the emulator's request log each dfu-util run of the tool is classified
# (listing with or without the device, OTP read, info block read, download, read-back), and the worker's
# loop says which pause came before each run. It pauses 1 s (A4) after a completed read of a device and
# after a listing that found the same device again, before whatever comes next (a command or the next
# listing); 0.5 s (A1) after a listing without the device and after a download; nothing between the two
# reads of a device, before a new device's first read, or after the read-back. A command follows its
# pause directly: no listing comes between (the log shows "info download" and "info readback").
#
#   bench/upgrade/upgrade_time.sh [build directory, default build] [runs of each, default 5]
set -euo pipefail
cd "$(dirname "$0")/../.."
source "bench/stats.sh"
build=${1:-build}
runs=${2:-5}
sim=$build/simulator
updater=$build/updater
image=$sim/images/current-firmware.bin
for needed in "$updater" "$sim/simctl" "$image"; do
    [ -e "$needed" ] || { echo "missing $needed: build first (cmake --build $build)" >&2; exit 1; }
done

work=$(mktemp -d)
export DFU_SIM_DIR=$work/world XDG_STATE_HOME=$work/state
trap 'rm -rf "$work"' EXIT

fresh_world() {
    rm -rf "$DFU_SIM_DIR"
    "$sim/simctl" load old-firmware >/dev/null
    "$sim/simctl" fast off >/dev/null
}
# Seconds of the worker's 1 s pauses (A4) and 0.5 s idle pauses (A1) before the tool's dfu-util runs, and
# the runs in order, from the request log.
worker_pauses() {
    awk '
        /^pid=[0-9]+ / && $2 != "CONFIG" {
            pid = $1
            if (!(pid in kind)) { order[++runs] = pid; kind[pid] = "list0" }
            if ($2 == "LIST" && $3 != "devices=0" && kind[pid] == "list0") kind[pid] = "list1"
            if ($3 == "UPLOAD_REQ") { uploads[pid]++; if ($5 == "len=512") kind[pid] = "otp"; else kind[pid] = "info" }
            if ($3 == "DNLOAD" && $4 == "wValue=2") kind[pid] = "download"
        }
        END {
            for (i = 1; i <= runs; i++) {
                k = kind[order[i]]
                if (k == "info" && uploads[order[i]] > 1) k = "readback"
                seen[i] = k
            }
            for (i = 2; i <= runs; i++) {
                prev = seen[i - 1]; next_run = seen[i]
                if (prev == "info" || (prev == "list1" && next_run != "otp")) after_read += 1.0
                else if (prev == "list0" || prev == "download") idle += 0.5
                sequence = sequence " " seen[i - 1]
            }
            printf "%.1f %.1f %s %s\n", after_read, idle, sequence, seen[runs]
        }' "$DFU_SIM_DIR/requests.log"
}
dfu() { "$sim/dfu-util_simulator.sh" --dfu-util-command "$@"; }
wait_for_device() {
    until [ "$(dfu list -d 0483 -l | grep -c '^Found DFU: \[0483:df11\] ver=2200')" = 4 ]; do :; done
}

time_tool() {
    fresh_world
    local start verdict
    start=$(now)
    set +e
    "$updater" -s --headless >"$work/headless.out" 2>"$work/headless.err"
    verdict=$?
    set -e
    tool_s=$(calc "$(now) - $start")
    [ "$verdict" = 0 ] || { echo "the tool ended with $verdict:" >&2; cat "$work/headless.out" >&2; exit 1; }
    read -r pauses_s idle_s tool_runs < <(worker_pauses)
}

time_shell() {
    fresh_world
    # dfu-util does not write an upload over an existing file.
    rm -f "$work"/otp?.bin "$work"/info?.bin "$work/read_back.bin"
    local start
    start=$(now)
    {
        wait_for_device
        dfu upload_OTP -d 0483 -a 2 -s 0x1FFF7800:512 -U "$work/otp1.bin"
        dfu upload_FW -d 0483 -a 0 -s 0x08000000:2048 -U "$work/info1.bin"
        dfu download_FW -d 0483 -a 0 -s 0x08000000:leave -D "$image"
        wait_for_device
        dfu upload_OTP -d 0483 -a 2 -s 0x1FFF7800:512 -U "$work/otp2.bin"
        dfu upload_FW -d 0483 -a 0 -s 0x08000000:2048 -U "$work/info2.bin"
        dfu upload_FW -d 0483 -a 0 -s "0x08000000:$(stat -c %s "$image")" -U "$work/read_back.bin"
    } >/dev/null 2>&1
    cmp -s "$image" "$work/read_back.bin" || { echo "the shell's read-back differs" >&2; exit 1; }
    shell_s=$(calc "$(now) - $start")
}

tools=() shells=() differences=() beyond_pauses=() beyond_all=() all_pauses=() all_idle=()
for ((run = 1; run <= runs; run++)); do
    time_tool
    time_shell
    tools+=("$tool_s") shells+=("$shell_s") all_pauses+=("$pauses_s") all_idle+=("$idle_s")
    differences+=("$(calc "$tool_s - $shell_s")")
    beyond_pauses+=("$(calc "$tool_s - $shell_s - $pauses_s")")
    beyond_all+=("$(calc "$tool_s - $shell_s - $pauses_s - $idle_s")")
    printf 'run %d: tool %6.2f s, shell %6.2f s, worker pauses %.1f + %.1f s\n' \
        "$run" "$tool_s" "$shell_s" "$pauses_s" "$idle_s"
done

printf '\n%d alternating runs each                  min    median    max\n' "$runs"
printf 'headless upgrade, start to verdict:   %s s\n' "$(spread "${tools[@]}")"
printf 'bare dfu-util sequence in a shell:    %s s\n' "$(spread "${shells[@]}")"
printf 'difference tool - shell:              %s s\n' "$(spread "${differences[@]}")"
printf 'worker pauses, 1 s after a read:      %s s\n' "$(spread "${all_pauses[@]}")"
printf 'worker pauses, 0.5 s idle:            %s s  (overlapping the device'"'"'s re-enumeration,\n' \
    "$(spread "${all_idle[@]}")"
printf '                                                        which the shell spends listing in a loop)\n'
printf 'difference less the 1 s pauses:       %s s\n' "$(spread "${beyond_pauses[@]}")"
printf 'difference less all pauses:           %s s\n' "$(spread "${beyond_all[@]}")"
printf 'ratio of medians tool / shell:        %6.2f\n' "$(calc "$(median "${tools[@]}") / $(median "${shells[@]}")")"
printf "the tool's dfu-util runs (last run):%s\n" "$tool_runs"
