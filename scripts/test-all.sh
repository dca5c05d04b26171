#!/usr/bin/env bash
# Builds both builds and runs every test: the native unit and scenario tests, then the
# Windows-side and end-to-end tests under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
echo "== layers"
python3 scripts/check-layers.py
scripts/build.sh all
echo "== native tests"
(cd build/native && ctest --output-on-failure -j "$(nproc)")
echo "== rule sets and process information shared between threads, under ThreadSanitizer"
scripts/tsan.sh
echo "== fuzzing the configuration readers and the matcher (${CV_FUZZ_TOTAL_SECONDS:-180} s in all)"
scripts/fuzz.sh
echo "== Windows tests under Wine"
(cd build/win && ctest --output-on-failure)
echo "== release package"
scripts/package.sh
scripts/package.sh --verify
