#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test suite: the sanitizer builds first, then the full
# suite, last the Debian package's build, checks, installation and removal.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh

jobs=$(nproc)

build() { # build <dir> <target> [cmake options...]
    local dir=$1 target=$2
    shift 2
    cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Debug -DUPDATER_WERROR=ON "$@" >/dev/null
    cmake --build "$dir" --target "$target" -j "$jobs"
}

echo "== AddressSanitizer and UBSan =="
build build-asan asan_tests -DUPDATER_SANITIZE=address,undefined
ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    ctest --test-dir build-asan -L asan --output-on-failure -j "$jobs"

echo "== ThreadSanitizer =="
build build-tsan tsan_tests -DUPDATER_SANITIZE=thread
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
    ctest --test-dir build-tsan -L tsan --output-on-failure -j "$jobs"

echo "== Full suite =="
build build all
ctest --test-dir build --output-on-failure -j "$jobs"

bash scripts/package_test.sh build-package
