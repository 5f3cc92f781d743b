#!/bin/bash
# Builds the request fuzzer with clang, AddressSanitizer and
# UndefinedBehaviorSanitizer, and runs it for a bounded time (first argument,
# seconds, default 60). Fails on any crash, leak or sanitizer report.
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$(pwd)
seconds=${1:-60}
build=${KESTREL_FUZZ_BUILD:-$root/build-fuzz}

CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DKESTREL_FUZZ=ON -DKESTREL_SANITIZE=ON -DKESTREL_TESTS=OFF >/dev/null
cmake --build "$build" --target request_fuzz -j "${KESTREL_JOBS:-2}"

# The seed corpus stays untouched; new inputs go to a scratch folder.
corpus=$(mktemp -d)
trap 'rm -rf "$corpus"' EXIT
# Leak suppressions belong to LeakSanitizer; AddressSanitizer rejects "leak:" lines.
export ASAN_OPTIONS=abort_on_error=1:detect_leaks=1
export LSAN_OPTIONS=suppressions=$root/tests/lsan.supp:print_suppressions=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
"$build/tests/fuzz/request_fuzz" -max_total_time="$seconds" -max_len=4096 -timeout=10 \
    -print_final_stats=1 -artifact_prefix="$build/" "$corpus" "$root/tests/fuzz/corpus"
