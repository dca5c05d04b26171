#!/usr/bin/env bash
# Builds the Windows programs and runs the engine under Wine on the sample configuration for a
# while (CV_RUN_SECONDS, 25 by default: long enough to show a restraint begin and end), then
# stops it with its own /exit.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh windows
bin="$PWD/build/win"
run="$PWD/build/run"
mkdir -p "$run/config" "$run/logs"
cp samples/corvex.ini "$run/config/corvex.ini"
rm -f "$run/logs/corvane.log"
export CV_WINEPREFIX="$bin/wineprefix"
wine_path() { echo "Z:${1//\//\\}"; }
seconds="${CV_RUN_SECONDS:-25}"
echo "Starting vigilor.exe under Wine for $seconds s (configuration folder $run/config)"
cmake/wine-run.sh "$bin/vigilor.exe" "/configfolder=$(wine_path "$run/config")" \
    "/logfolder=$(wine_path "$run/logs")" &
engine=$!
trap 'kill $engine 2>/dev/null || true' EXIT
# A few short-lived programs for the engine to notice, and one that burns a processor for 8 s
# and then idles: Levelon restrains it while it burns and restores it when it calms down.
sleep 4
for i in 1 2 3; do
    cmake/wine-run.sh "$bin/cv_e2e_sleeper.exe" 800 || true
done
cmake/wine-run.sh "$bin/cv_e2e_burner.exe" 8000 12000 &
burner=$!
sleep $((seconds > 8 ? seconds - 8 : 2))
echo "Stopping it with vigilor.exe /exit"
cmake/wine-run.sh "$bin/vigilor.exe" /exit
wait "$burner" 2>/dev/null || true
if wait "$engine"; then echo "The engine ended with exit code 0."; else echo "The engine ended with exit code $?."; fi
trap - EXIT
if [ -f "$run/logs/corvane.log" ]; then
    echo "== $run/logs/corvane.log"
    cat "$run/logs/corvane.log"
fi
