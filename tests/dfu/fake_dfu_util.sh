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
flood)
    head -c "$2" /dev/zero | tr '\000' x
    ;;
descriptors)
    # The descriptors this script holds: those it was started with, and the shell's own (10 and above).
    ls /proc/$$/fd
    ;;
esac
