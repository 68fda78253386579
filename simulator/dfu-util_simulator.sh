#!/usr/bin/env bash
# Stands in for dfu-util in the updater's simulator mode. It runs the real dfu-util with the emulated
# bootloader (libusb-1.0.so.0 beside this script) loaded in place of libusb, so listings, files, exit codes
# and messages all come from dfu-util itself.
#
#   dfu-util_simulator.sh --dfu-util-command NAME [--fast-progress] [dfu-util arguments ...]
#
# NAME "version" runs the dfu-util's own "-V"; "setup_prepared_config" loads the configuration named by the
# one remaining argument (exit 2 when unknown); every other name runs dfu-util with the arguments.
# The emulated world lives under DFU_SIM_DIR (see simctl).
set -u

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
dfu_util="${DFU_SIM_DFU_UTIL:-/usr/bin/dfu-util}"

usage() {
    echo "usage: $0 --dfu-util-command NAME [--fast-progress] [dfu-util arguments ...]" >&2
    exit 64
}

[ $# -ge 2 ] && [ "$1" = "--dfu-util-command" ] || usage
name="$2"
shift 2
if [ "${1:-}" = "--fast-progress" ]; then
    export DFU_SIM_FAST=1
    shift
fi

case "$name" in
version)
    exec "$dfu_util" -V
    ;;
setup_prepared_config)
    [ $# -eq 1 ] || usage
    exec "$here/simctl" load "$1"
    ;;
*)
    export LD_LIBRARY_PATH="$here${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"
    exec "$dfu_util" "$@"
    ;;
esac
