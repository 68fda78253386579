#!/usr/bin/env bash
# Installs what is missing, builds, and starts the tool. Extra arguments go to the tool.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build build -j "$(nproc)" >/dev/null
# Without a display the tool runs without its window.
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [[ " $* " != *" --headless "* ]]; then
    set -- "$@" --headless
fi
exec ./build/updater "$@"
