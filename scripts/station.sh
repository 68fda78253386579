#!/usr/bin/env bash
# Upgrades every unit attached in update mode at the same time: lists them once (--list --json), starts one
# headless run per serial, and prints a table with one row per unit. Exits with 0 only when every unit holds
# the embedded firmware, verified on that unit; a unit that cannot be opened counts as failed.
#
#   scripts/station.sh [-s] [-t seconds] [-u program] [-k log directory]
#
#   -s  run against the emulated bootloader (the tool's --use-simulator)
#   -t  each run's --timeout (default 120)
#   -u  the program (default build/updater beside this script, else zentova-firmware-upgrade on the PATH)
#   -k  keep each run's JSON events (<serial>.jsonl) and log (<serial>.log) in this directory
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
program=$here/../build/updater
[ -x "$program" ] || program=zentova-firmware-upgrade
simulator=()
timeout=120
logs=

while getopts "st:u:k:" option; do
    case $option in
    s) simulator=(-s) ;;
    t) timeout=$OPTARG ;;
    u) program=$OPTARG ;;
    k) logs=$OPTARG ;;
    *) sed -n '2,12s/^# \{0,1\}//p' "$0" >&2; exit 64 ;;
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
if [ "$listed" != 0 ]; then
    echo "No unit in update mode is attached (the listing ended with $listed)." >&2
    exit "$listed"
fi

serials=()
without_access=()
while IFS= read -r event; do
    [ "$(field "$event" event)" = judgement ] || continue
    serial=$(field "$event" serial)
    if [ "$serial" = null ]; then
        without_access+=("$(field "$event" address)")
    else
        serials+=("$serial")
    fi
done <"$logs/list.jsonl"

run_unit() { # serial: one headless run, then its end time and exit code
    local serial=$1
    "$program" "${simulator[@]}" --headless --json --serial "$serial" --timeout "$timeout" \
        >"$logs/$serial.jsonl" 2>"$logs/$serial.log" </dev/null
    echo "$? $(date +%s.%N)" >"$logs/$serial.end"
}

start=$(date +%s.%N)
for serial in "${serials[@]}"; do
    run_unit "$serial" &
done
wait

failed=0
format='%-14s %-7s %-9s %-9s %7s %4s  %s\n'
# shellcheck disable=SC2059
printf "$format" SERIAL PATH BEFORE AFTER SECONDS EXIT OUTCOME
for serial in "${serials[@]}"; do
    read -r code end <"$logs/$serial.end"
    result=$(grep '"event":"result"' "$logs/$serial.jsonl" | tail -n 1)
    unit=$(grep '"event":"unit"' "$logs/$serial.jsonl" | head -n 1)
    seconds=$(awk "BEGIN { printf \"%.1f\", $end - $start }")
    # shellcheck disable=SC2059
    printf "$format" "$serial" "$(shown "$unit" path)" "$(shown "$result" firmware_before)" \
        "$(shown "$result" firmware_after)" "$seconds" "$code" "$(shown "$result" outcome)"
    [ "$code" = 0 ] || failed=$((failed + 1))
done
for address in "${without_access[@]}"; do
    # shellcheck disable=SC2059
    printf "$format" "address $address" - - - - - "no access (USB permission)"
    failed=$((failed + 1))
done
echo "$(( ${#serials[@]} + ${#without_access[@]} - failed )) of $(( ${#serials[@]} + ${#without_access[@]} )) units upgraded and verified."
[ "$failed" = 0 ]
