#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test suite: the full suite on the package's release
# build, the sanitizer builds' suites, last the Debian package's checks, installation and removal. The
# full suite mostly waits on the emulated units' realistic timing, so it runs while the sanitizer builds
# compile, which yield the processor to it (nice).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
# shellcheck source=scripts/release_build.sh
. scripts/release_build.sh

jobs=$(nproc)
started=$SECONDS

build() { # build <dir> <target> [cmake options...]
    local dir=$1 target=$2
    shift 2
    cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Debug -DUPDATER_WERROR=ON "$@" >/dev/null
    nice cmake --build "$dir" --target "$target" -j "$jobs"
}

stage() {
    echo "== $* ($((SECONDS - started)) s) =="
}

# The full suite runs on the release build that the package is made from: one build less, and the code
# tested is the code packaged.
release=build-package
stage "Full suite: release build"
configure_release "$release"
nice cmake --build "$release" -j "$jobs"
full_log=$release/full-suite.log
ctest --test-dir "$release" --output-on-failure -j "$jobs" >"$full_log" 2>&1 &
full_suite=$!
# A stage that fails ends the script: the suite running beside it ends too.
trap 'kill "$full_suite" 2>/dev/null || true' EXIT

stage "AddressSanitizer and UBSan"
build build-asan asan_tests -DUPDATER_SANITIZE=address,undefined
ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    ctest --test-dir build-asan -L asan --output-on-failure -j "$jobs"

stage "ThreadSanitizer"
build build-tsan tsan_tests -DUPDATER_SANITIZE=thread
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
    ctest --test-dir build-tsan -L tsan --output-on-failure -j "$jobs"

stage "Full suite: tests"
status=0
wait "$full_suite" || status=$?
cat "$full_log"
[ "$status" = 0 ] || exit "$status"

bash scripts/package_test.sh "$release"
echo "All tests passed ($((SECONDS - started)) s)"
