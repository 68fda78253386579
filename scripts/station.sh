#!/usr/bin/env bash
# Upgrades every unit attached in update mode at the same time: lists them once (--list --json), starts one
# headless run per serial, prints a line per unit as its events arrive, and ends with a table with one row
# per unit. Exits with 0 only when every unit holds the embedded firmware, verified on that unit; a unit
# that cannot be opened, whose serial cannot be read, or that shares its serial with another counts as
# failed and gets no run.
#
#   scripts/station.sh [-s] [-t seconds] [-u program] [-k log directory] [-h]
#
#   -s  run against the emulated bootloader (the tool's --use-simulator)
#   -t  each run's --timeout (default 120)
#   -u  the program (default build/updater beside this script, else zentova-firmware-upgrade on the PATH)
#   -k  keep each run's JSON events (<serial>.jsonl) and log (<serial>.log) in this directory
#   -h  print this help and exit
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
program=$here/../build/updater
[ -x "$program" ] || program=zentova-firmware-upgrade
simulator=()
timeout=120
logs=

usage() { sed -n '2,14s/^# \{0,1\}//p' "$0"; }

while getopts "hst:u:k:" option; do
    case $option in
    h) usage; exit 0 ;;
    s) simulator=(-s) ;;
    t) timeout=$OPTARG ;;
    u) program=$OPTARG ;;
    k) logs=$OPTARG ;;
    *) usage >&2; exit 64 ;;
    esac
done
if [ -z "$logs" ]; then
    logs=$(mktemp -d)
    trap 'rm -rf "$logs"' EXIT
fi
mkdir -p "$logs"

# A field of one compact JSON object as the tool writes it: a string's text, or null.
field() { sed -n "s/.*\"$2\":\(\"\([^\"]*\)\"\|\([^,}]*\)\).*/\2\3/p" <<<"$1"; }
# The same for the table: "-" where nothing is known.
shown() {
    local value
    value=$(field "$1" "$2")
    [ -n "$value" ] && [ "$value" != null ] && echo "$value" || echo -
}

"$program" "${simulator[@]}" --list --json >"$logs/list.jsonl" 2>"$logs/list.log"
listed=$?
if [ "$listed" = 13 ]; then
    echo "No unit in update mode is attached (the listing ended with $listed)." >&2
    exit "$listed"
elif [ "$listed" != 0 ]; then
    # The tool's own words say why it could not list: a wrong option, no dfu-util, ...
    cat "$logs/list.log" >&2
    echo "The units could not be listed (exit code $listed)." >&2
    exit "$listed"
fi

# One run per serial. A serial listed for two units or more names no single unit: a run by it would wait
# for one of them to leave, and the runs would share one log, so those units get no run and are told. The
# tool compares serials without regard to case. Units whose serial the listing does not show get no run.
serials=()
declare -A paths=() count=()
refused=() # rows of units no run can address: "label|path|outcome"
while IFS= read -r event; do
    [ "$(field "$event" event)" = judgement ] || continue
    serial=$(field "$event" serial)
    path=$(shown "$event" path)
    if [ "$serial" = null ]; then
        if [ "$(field "$event" judgement)" = no-access ]; then
            refused+=("address $(field "$event" address)|$path|no access (USB permission)")
        else
            refused+=("address $(field "$event" address)|$path|serial unreadable: no run can name this unit")
        fi
        continue
    fi
    key=${serial^^}
    count[$key]=$((${count[$key]:-0} + 1))
    paths[$key]="${paths[$key]:+${paths[$key]} }$path"
    [ "${count[$key]}" = 1 ] && serials+=("$serial")
done <"$logs/list.jsonl"
for serial in "${serials[@]}"; do
    key=${serial^^}
    [ "${count[$key]}" = 1 ] && continue
    echo "Serial $serial is listed for ${count[$key]} units (USB paths ${paths[$key]}): no run can tell" \
        "them apart, so none of them is upgraded. Attach them one at a time." >&2
    for path in ${paths[$key]}; do
        refused+=("$serial|$path|refused: serial shared by ${count[$key]} units")
    done
done
runnable=()
for serial in "${serials[@]}"; do
    [ "${count[${serial^^}]}" = 1 ] && runnable+=("$serial")
done

# A line per event of a unit's run as it comes; of a phase's progress, the first event of each quarter.
tell_events() { # serial
    local serial=$1 event phase progress told=-1
    while IFS= read -r event; do
        case $(field "$event" event) in
        unit) echo "$serial  read: $(shown "$event" product), firmware $(shown "$event" firmware)" ;;
        judgement) echo "$serial  judged: $(field "$event" judgement)" ;;
        phase)
            phase=$(field "$event" phase)
            progress=$(field "$event" progress)
            # A phase starts with progress 0 and no step yet.
            [ "$progress" = 0 ] && [ "$(field "$event" step)" = null ] && told=-1
            if [ $((progress / 25)) -gt "$told" ]; then
                told=$((progress / 25))
                echo "$serial  $phase $progress%"
            fi
            ;;
        result) echo "$serial  result: $(field "$event" outcome) (exit code $(field "$event" exit_code))" ;;
        esac
    done
}

run_unit() { # serial: one headless run, told as it goes, then its end time and exit code
    local serial=$1 code
    "$program" "${simulator[@]}" --headless --json --serial "$serial" --timeout "$timeout" \
        2>"$logs/$serial.log" </dev/null | tee "$logs/$serial.jsonl" | tell_events "$serial"
    code=${PIPESTATUS[0]}
    # A run that cannot start says why only on its standard error.
    if [ "$code" = 1 ]; then
        while IFS= read -r line; do
            echo "$serial  $line"
        done <"$logs/$serial.log"
    fi
    echo "$code $(date +%s.%N)" >"$logs/$serial.end"
}

start=$(date +%s.%N)
for serial in "${runnable[@]}"; do
    run_unit "$serial" &
done
wait

upgraded=0
current=0
failed=0
format='%-14s %-7s %-9s %-9s %7s %4s  %s\n'
echo
# shellcheck disable=SC2059
printf "$format" SERIAL PATH BEFORE AFTER SECONDS EXIT OUTCOME
for serial in "${runnable[@]}"; do
    read -r code end <"$logs/$serial.end"
    result=$(grep '"event":"result"' "$logs/$serial.jsonl" | tail -n 1)
    unit=$(grep '"event":"unit"' "$logs/$serial.jsonl" | head -n 1)
    seconds=$(awk "BEGIN { printf \"%.1f\", $end - $start }")
    # shellcheck disable=SC2059
    printf "$format" "$serial" "$(shown "$unit" path)" "$(shown "$result" firmware_before)" \
        "$(shown "$result" firmware_after)" "$seconds" "$code" "$(shown "$result" outcome)"
    if [ "$code" != 0 ]; then
        failed=$((failed + 1))
    elif [ "$(field "$result" firmware_before)" = "$(field "$result" firmware_after)" ]; then
        current=$((current + 1))
    else
        upgraded=$((upgraded + 1))
    fi
done
for row in "${refused[@]}"; do
    IFS='|' read -r label path outcome <<<"$row"
    # shellcheck disable=SC2059
    printf "$format" "$label" "$path" - - - - "$outcome"
    failed=$((failed + 1))
done
units=$((upgraded + current + failed))
[ "$units" = 1 ] && noun=unit || noun=units
echo "$units $noun: $upgraded upgraded and verified, $current already current, $failed failed."
[ "$failed" = 0 ]
