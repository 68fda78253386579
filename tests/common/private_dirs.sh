#!/bin/sh
# Runs one test in directories of its own, emptied first: TMPDIR, XDG_RUNTIME_DIR and the emulated world
# (DFU_SIM_DIR). No test meets the user's runs of the tool, another test's instance locks, private
# directories or emulated units, or what an earlier run left behind.
#
#   private_dirs.sh DIRECTORY TEST [ARGUMENTS ...]
set -eu
dir=$1
shift
rm -rf "$dir"
mkdir -p "$dir"
mkdir -m 700 "$dir/tmp" "$dir/runtime" "$dir/world"
export TMPDIR="$dir/tmp" XDG_RUNTIME_DIR="$dir/runtime" DFU_SIM_DIR="$dir/world"
exec "$@"
