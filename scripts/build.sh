#!/usr/bin/env bash
# Configures (once) and builds the native build, the Windows build, or both.
set -euo pipefail
cd "$(dirname "$0")/.."
what="${1:-all}"
jobs="${CV_JOBS:-$(nproc)}"
if [ "$what" = native ] || [ "$what" = all ]; then
    [ -f build/native/build.ninja ] ||
        cmake -S . -B build/native -G Ninja -DCMAKE_BUILD_TYPE=Debug >/dev/null
    cmake --build build/native -j "$jobs"
fi
if [ "$what" = windows ] || [ "$what" = all ]; then
    [ -f build/win/build.ninja ] ||
        cmake -S . -B build/win -G Ninja -DCMAKE_BUILD_TYPE=Release \
            -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake >/dev/null
    cmake --build build/win -j "$jobs"
fi
