#!/bin/sh
# Stands in for dfu-util where the real one cannot produce the case: the first argument picks it.
case "$1" in
exit)
    echo "out"
    echo "err" >&2
    exit "$2"
    ;;
crash)
    echo "before crash"
    kill -KILL $$
    ;;
nul)
    printf 'head\000tail'
    ;;
sleep)
    printf 'early\n'
    sleep "$2"
    printf 'late\n'
    ;;
flood)
    head -c "$2" /dev/zero | tr '\000' x
    ;;
listing)
    cat "$2"
    exit "${3:-0}"
    ;;
*)
    # Echo the arguments, one per line, so tests see exactly what was passed.
    printf '%s\n' "$@"
    ;;
esac
