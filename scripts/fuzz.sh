#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a bounded time from the seed corpus;
# a finding fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${CV_FUZZ_SECONDS:-30}"
[ -f build/fuzz/build.ninja ] ||
    CC=clang CXX=clang++ cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCV_FUZZ=ON -DCV_BENCHMARKS=OFF -DCV_UNIT_TESTS=OFF >/dev/null
cmake --build build/fuzz -j "${CV_JOBS:-$(nproc)}"
for target in build/fuzz/*_fuzz; do
    corpus=$(mktemp -d)
    cp fuzz/corpus/* "$corpus/"
    echo "fuzzing $(basename "$target")"
    "$target" -max_total_time="$seconds" -rss_limit_mb=2048 -print_final_stats=0 "$corpus" \
        >"$corpus.log" 2>&1 || { tail -40 "$corpus.log"; rm -rf "$corpus" "$corpus.log"; exit 1; }
    tail -1 "$corpus.log"
    rm -rf "$corpus" "$corpus.log"
done
