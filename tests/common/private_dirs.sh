#!/bin/sh
# Runs one test in directories of its own, emptied first: TMPDIR, XDG_RUNTIME_DIR, XDG_STATE_HOME (where
# runs keep their history, never the user's) and the emulated world (DFU_SIM_DIR). Tests run the tool in simulator mode, whose instance lock belongs to the emulated world, so
# they meet neither a user's runs on the real bus nor each other's locks, private directories or emulated
# units, nor what an earlier run left behind. The few runs in real-device mode end before they look at the
# bus (no dfu-util, a wrong command line) or wait for a serial of their own.
#
#   private_dirs.sh DIRECTORY TEST [ARGUMENTS ...]
set -eu
dir=$1
shift
rm -rf "$dir"
mkdir -p "$dir"
mkdir -m 700 "$dir/tmp" "$dir/runtime" "$dir/world" "$dir/state"
export TMPDIR="$dir/tmp" XDG_RUNTIME_DIR="$dir/runtime" XDG_STATE_HOME="$dir/state" DFU_SIM_DIR="$dir/world"
exec "$@"
