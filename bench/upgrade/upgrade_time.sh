#!/usr/bin/env bash
# Times one upgrade of the emulated product with realistic timing, twice in one run:
#   1. the tool without a window (updater -s --headless), from start to its verdict;
#   2. a shell script running the same dfu-util command lines back to back, with no pauses: list until
#      the device is there, read OTP and info block, download, list until it is back, read again, read
#      the whole image back and compare it with cmp.
# Both go through the simulator script, so each dfu-util run costs the same. The worker's pauses (one second
# before it takes up a command, half a second idle before a listing) are counted, not subtracted: from the
# emulator's request log, each dfu-util run of the tool is classified (listing with or without the device,
# OTP read, info block read, download, read-back), and the worker's loop says which pause came before each
# run: 1 s after a completed device read or a listing that found the same device again (A4), 0.5 s after a
# listing without a device or after the download (A1), none between the two reads of a device, before a
# device's first read, or after the read-back.
#
#   bench/upgrade/upgrade_time.sh [build directory, default build]
set -euo pipefail
cd "$(dirname "$0")/../.."
build=${1:-build}
sim=$build/simulator
updater=$build/updater
image=$sim/images/current-firmware.bin
for needed in "$updater" "$sim/simctl" "$image"; do
    [ -e "$needed" ] || { echo "missing $needed: build first (cmake --build $build)" >&2; exit 1; }
done

work=$(mktemp -d)
export DFU_SIM_DIR=$work/world
trap 'rm -rf "$work"' EXIT

fresh_world() {
    rm -rf "$DFU_SIM_DIR"
    "$sim/simctl" load old-firmware >/dev/null
    "$sim/simctl" fast off >/dev/null
}
now() { date +%s.%N; }
calc() { awk "BEGIN { printf \"%.3f\", $1 }"; }
listings() { grep -c ' LIST ' "$DFU_SIM_DIR/requests.log" || true; }
# Seconds of the 1 s pauses (A4) and of the 0.5 s idle pauses (A1) before the tool's dfu-util runs, and
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
                if (prev == "info" || (prev == "list1" && next_run != "otp")) before_command += 1.0
                else if (prev == "list0" || prev == "download") idle += 0.5
                sequence = sequence " " seen[i - 1]
            }
            printf "%.1f %.1f %s %s\n", before_command, idle, sequence, seen[runs]
        }' "$DFU_SIM_DIR/requests.log"
}
dfu() { "$sim/dfu-util_simulator.sh" --dfu-util-command "$@"; }
wait_for_device() {
    until [ "$(dfu list -d 0483 -l | grep -c '^Found DFU: \[0483:df11\] ver=2200')" = 4 ]; do :; done
}

fresh_world
start=$(now)
set +e
"$updater" -s --headless >"$work/headless.out" 2>"$work/headless.err"
verdict=$?
set -e
tool_s=$(calc "$(now) - $start")
tool_listings=$(listings)
read -r a4_pauses_s idle_pauses_s tool_runs < <(worker_pauses)
[ "$verdict" = 0 ] || { echo "the tool ended with $verdict:" >&2; cat "$work/headless.out" >&2; exit 1; }

fresh_world
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
shell_listings=$(listings)

difference_s=$(calc "$tool_s - $shell_s")
printf 'headless upgrade, start to verdict:  %6.2f s  (%d listings)\n' "$tool_s" "$tool_listings"
printf '  its dfu-util runs:%s\n' "$tool_runs"
printf 'bare dfu-util sequence in a shell:   %6.2f s  (%d listings)\n' "$shell_s" "$shell_listings"
printf 'ratio tool / shell:                  %6.2f\n' "$(calc "$tool_s / $shell_s")"
printf 'difference:                          %6.2f s\n' "$difference_s"
printf 'pauses of the worker:\n'
printf '  1 s before a command or a re-listing: %5.2f s\n' "$a4_pauses_s"
printf '  0.5 s idle before a listing:          %5.2f s  (overlapping the device'"'"'s re-enumeration,\n' \
    "$idle_pauses_s"
printf '                                                  which the shell spends listing in a loop)\n'
printf 'difference less the 1 s pauses:         %5.2f s\n' "$(calc "$difference_s - $a4_pauses_s")"
printf 'difference less all pauses:             %5.2f s\n' \
    "$(calc "$difference_s - $a4_pauses_s - $idle_pauses_s")"
