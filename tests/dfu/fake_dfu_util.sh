#!/bin/sh
# Stands in for dfu-util where the real one cannot produce the case: the first argument picks it.
case "$1" in
exit)
    echo "out"
    echo "err" >&2
    exit "$2"
    ;;
says)
    printf '%b' "$2"
    printf '%b' "$3" >&2
    exit "$4"
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
progress)
    # dfu-util's bar: redrawn after carriage returns, the first report well before the end.
    printf 'Downloading element\n\rErase   \t[====      ]  40%%        4096 bytes'
    sleep 1
    printf '\rErase   \t[==========] 100%%       10240 bytes\nErase    done.\n'
    printf '\rDownload\t[=====     ]  50%%        5120 bytes\rgarbage [==] 9%% x bytes'
    printf '\rDownload\t[==========] 100%%       10240 bytes\nDownload done.\n'
    ;;
descriptors)
    # The descriptors this script holds: those it was started with, and the shell's own (10 and above).
    ls /proc/$$/fd
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
