#!/bin/bash
# Builds the fuzzers with clang, AddressSanitizer and UndefinedBehaviorSanitizer
# and runs each for a bounded time (first argument, seconds per fuzzer,
# default 60): the request fuzzer (what a browser sends) and the stream
# fuzzers (what a camera sends, as recording and the player receive it) and
# the ONVIF fuzzer (what a camera answers to the questions about its stream).
# Fails on any crash, leak or sanitizer report.
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$(pwd)
seconds=${1:-60}
build=${KESTREL_FUZZ_BUILD:-$root/build-fuzz}

CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DKESTREL_FUZZ=ON -DKESTREL_SANITIZE=ON -DKESTREL_TESTS=OFF >/dev/null
cmake --build "$build" --target request_fuzz record_fuzz player_fuzz onvif_fuzz -j "${KESTREL_JOBS:-2}"

# Leak suppressions belong to LeakSanitizer; AddressSanitizer rejects "leak:" lines.
export ASAN_OPTIONS=abort_on_error=1:detect_leaks=1
export LSAN_OPTIONS=suppressions=$root/tests/lsan.supp:print_suppressions=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

# The seed corpora stay untouched; new inputs go to scratch folders.
run_fuzzer() {  # name, seed folder, most bytes of an input
    local corpus
    corpus=$(mktemp -d)
    "$build/tests/fuzz/$1" -max_total_time="$seconds" -max_len="$3" -timeout=10 \
        -print_final_stats=1 -artifact_prefix="$build/$1-" "$corpus" "$root/tests/fuzz/$2"
    rm -rf "$corpus"
}

run_fuzzer request_fuzz corpus 4096
run_fuzzer record_fuzz stream_corpus 65536
run_fuzzer player_fuzz stream_corpus 65536
run_fuzzer onvif_fuzz onvif_corpus 16384
