#!/bin/sh
# Builds dfu-util 0.9 from its unchanged source into a directory of the build, never into the source (which
# may be read-only).
#
#   build_dfu_util_0.9.sh SOURCE DIRECTORY
set -eu
source=$1
dir=$2
rm -rf "$dir"
mkdir -p "$dir"
cp -r "$source/." "$dir"
# A copy does not keep the files' times, so the build files are made anew.
log="$dir.log"
if ! (cd "$dir" && autoreconf -fi && ./configure --quiet && make -j"$(nproc)") >"$log" 2>&1; then
    tail -n 20 "$log" >&2
    echo "building dfu-util 0.9 failed; the whole output is in $log" >&2
    exit 1
fi
"$dir/src/dfu-util" -V | grep -q "dfu-util 0.9"
