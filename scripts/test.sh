#!/usr/bin/env bash
# Builds and runs every test twice: a normal build, then one with AddressSanitizer and
# UndefinedBehaviorSanitizer. The tests run in a network namespace where only loopback is up, and
# in an IPC namespace of their own.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

run_in_loopback_namespace() {
    # A private IPC namespace too: shared-memory segments that killed test processes leave behind
    # stay out of later runs.
    if unshare -n -i true 2>/dev/null; then
        unshare -n -i -- bash -c 'ip link set lo up && exec "$@"' bash "$@"
    else
        echo "warning: cannot create a network namespace; running with the host's network" >&2
        "$@"
    fi
}

export CTEST_OUTPUT_ON_FAILURE=1
jobs=$(nproc)

scripts/build.sh build/release -DCMAKE_BUILD_TYPE=Release -DTOLVANE_BUILD_FUZZ=OFF
run_in_loopback_namespace ctest --test-dir build/release -j "$jobs" --timeout 300

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1
export LSAN_OPTIONS=suppressions=$PWD/scripts/lsan.supp:print_suppressions=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
scripts/build.sh build/sanitize -DCMAKE_BUILD_TYPE=Debug -DTOLVANE_SANITIZE=ON \
    -DTOLVANE_BUILD_BENCH=OFF -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g"
run_in_loopback_namespace ctest --test-dir build/sanitize -j "$jobs" --timeout 600
