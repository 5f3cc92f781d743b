#!/bin/bash
# Builds kestrel twice (a normal build and one with AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs every test on both, then the request
# fuzzer for a bounded time. GUI tests run on Qt's offscreen platform.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

scripts/install-deps.sh

jobs=$(nproc)
export QT_QPA_PLATFORM=offscreen
export CTEST_OUTPUT_ON_FAILURE=1

build_and_test() {
    local dir=$1
    shift
    cmake -S "$root" -B "$dir" -G Ninja -DKESTREL_TESTS=ON "$@"
    cmake --build "$dir" -j "$jobs"
    ctest --test-dir "$dir" -j "$jobs" --timeout 600 --no-tests=error
}

build_and_test "$root/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo

# Leak reports from the system's own libraries (fontconfig, Qt's platform
# plugins) are not ours to fix; everything else fails the run.
export ASAN_OPTIONS=abort_on_error=1:detect_leaks=1
export LSAN_OPTIONS=suppressions=$root/tests/lsan.supp:print_suppressions=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
build_and_test "$root/build-asan" -DCMAKE_BUILD_TYPE=Debug -DKESTREL_SANITIZE=ON

if [ -x tests/fuzz/run.sh ]; then
    tests/fuzz/run.sh
fi
