#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a bounded time from its seed corpus
# (fuzz/corpus/<target without _fuzz>, or fuzz/corpus/config for the configuration file
# targets); a finding fails the run and leaves the input that found it in build/fuzz/findings.
# The targets share CV_FUZZ_TOTAL_SECONDS (180 by default); CV_FUZZ_SECONDS, when set, is the
# time of each target instead.
set -euo pipefail
cd "$(dirname "$0")/.."
[ -f build/fuzz/build.ninja ] ||
    CC=clang CXX=clang++ cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCV_FUZZ=ON -DCV_BENCHMARKS=OFF -DCV_UNIT_TESTS=OFF >/dev/null
cmake --build build/fuzz -j "${CV_JOBS:-$(nproc)}"
targets=(build/fuzz/*_fuzz)
seconds="${CV_FUZZ_SECONDS:-$(( ${CV_FUZZ_TOTAL_SECONDS:-180} / ${#targets[@]} ))}"
mkdir -p build/fuzz/findings
for target in "${targets[@]}"; do
    name=$(basename "$target")
    seeds="fuzz/corpus/${name%_fuzz}"
    [ -d "$seeds" ] || seeds=fuzz/corpus/config
    corpus=$(mktemp -d)
    cp "$seeds"/* "$corpus/"
    echo "fuzzing $name for ${seconds} s"
    # -timeout: one input that takes this long is a hang, and a finding; so is undefined
    # behaviour, also inside the standard library's templates.
    UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 "$target" -max_total_time="$seconds" \
        -timeout=20 -rss_limit_mb=2048 -print_final_stats=0 \
        -artifact_prefix=build/fuzz/findings/"$name"- "$corpus" >"$corpus.log" 2>&1 ||
        { tail -40 "$corpus.log"; rm -rf "$corpus" "$corpus.log"; exit 1; }
    tail -1 "$corpus.log"
    rm -rf "$corpus" "$corpus.log"
done
