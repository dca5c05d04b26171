#!/usr/bin/env bash
# Builds the tests in which threads share what the engine publishes with ThreadSanitizer and runs
# them; any data race fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
[ -f build/tsan/build.ninja ] ||
    cmake -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCV_SANITIZE=thread \
        -DCV_BENCHMARKS=OFF -DCV_UNIT_TESTS=OFF "${launcher[@]}" >/dev/null
cmake --build build/tsan -j "${CV_JOBS:-$(nproc)}" --target cv_tsan_tests
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 build/tsan/cv_tsan_tests
