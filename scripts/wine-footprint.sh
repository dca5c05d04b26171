#!/usr/bin/env bash
# Measures what the engine itself costs under Wine: its CPU time and memory while about a hundred
# idle programs run, beside those of cv_listquery.exe, a program that only takes the process list
# once a second the way the engine does. The baseline maps the same DLLs as the engine: the engine
# is measured first, the DLLs it maps that the list query does not map by itself are read from
# its mappings, and the list query loads them (the language module by its full path beside
# vigilor.exe, as the engine finds it). Both DLL lists are printed side by side, with any name
# still only in one of them. A third run of the list query also starts as many idle threads as
# the engine has beyond the list query's own, so the memory difference is reported in parts: the
# threads' part (third run minus second) and the rest, the engine's image and its own data
# (engine minus third run). Prints the figures beside the targets (CPU at most 1.1 times the list
# query's, memory at most 4 MB above it) and never fails on them; it exits non-zero only when
# something could not run.
#
#   scripts/wine-footprint.sh [folder of vigilor.exe]
#
# The folder (or CV_BIN_DIR) lets another build's vigilor.exe be measured, for example
# CV_BIN_DIR=/tmp/before-win; the helper programs always come from this checkout's build/win.
# CV_FOOTPRINT_SECONDS (60) is the measured window of each of the three runs, CV_FOOTPRINT_WARMUP
# (5) the seconds before it, CV_FOOTPRINT_HELPERS (100) the number of idle programs.
# CV_FOOTPRINT_BUILD=0 skips the build. Wine runs in a prefix of the script's own under
# build/footprint unless CV_WINEPREFIX names another; only its own prefix's server is ended
# afterwards.
set -euo pipefail
cd "$(dirname "$0")/.."
root="$PWD"

bin="${1:-${CV_BIN_DIR:-$root/build/win}}"
bin="$(cd "$bin" 2>/dev/null && pwd)" || { echo "No folder $bin" >&2; exit 2; }
helpers="$root/build/win"
seconds="${CV_FOOTPRINT_SECONDS:-60}"
warmup="${CV_FOOTPRINT_WARMUP:-5}"
helperCount="${CV_FOOTPRINT_HELPERS:-100}"
work="$root/build/footprint"

if [ "${CV_FOOTPRINT_BUILD:-1}" != 0 ]; then
    scripts/install-deps.sh
    scripts/build.sh windows
fi
for file in "$bin/vigilor.exe" "$helpers/cv_e2e_sleeper.exe" "$helpers/cv_listquery.exe"; do
    [ -f "$file" ] || { echo "Missing $file (build it with scripts/build.sh windows)" >&2; exit 2; }
done

mkdir -p "$work"
exec 8>"$work/.lock"
flock -n 8 || { echo "Another footprint run is using $work" >&2; exit 2; }

ownPrefix=0
if [ -z "${CV_WINEPREFIX:-}" ]; then
    export CV_WINEPREFIX="$work/wineprefix"
    ownPrefix=1
fi
export WINEPREFIX="$CV_WINEPREFIX" WINEDEBUG="${WINEDEBUG:--all}"
# The programs must end through this script, not through wine-run.sh's wind-down.
unset CV_WINE_WIND_DOWN

tab=$'\t'
wine_path() { echo "Z:${1//\//\\}"; }
# Runs a Windows program to its end. The ones started in the background call wine-run.sh directly:
# it execs Wine, so the Linux process started there is the Windows program itself.
run_wine() { cmake/wine-run.sh "$@" </dev/null >/dev/null 2>&1; }
is_alive() { [ -e "/proc/$1" ] && ! grep -q '^State:.*Z' "/proc/$1/status" 2>/dev/null; }

sleepers=()
measured=()
cleanup() {
    local pid
    for pid in "${measured[@]}" "${sleepers[@]}"; do
        kill -TERM "$pid" 2>/dev/null || true
    done
    sleep 1
    for pid in "${measured[@]}" "${sleepers[@]}"; do
        kill -KILL "$pid" 2>/dev/null || true
    done
    wait 2>/dev/null || true
    if [ "$ownPrefix" = 1 ]; then
        wineserver -k 2>/dev/null || true
    fi
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# CPU time of a Linux process in nanoseconds: the sum over its threads of the time the scheduler
# ran them, finer than the 10 ms ticks of /proc/PID/stat. Every thread measured here lives for
# the whole window.
cpu_ns() {
    local total=0 task value rest
    [ -d "/proc/$1/task" ] || return 1
    for task in /proc/"$1"/task/*/schedstat; do
        read -r value rest <"$task" 2>/dev/null || continue
        total=$((total + value))
    done
    echo "$total"
}
rss_kb() { awk '/^VmRSS:/ { print $2 }' "/proc/$1/status"; }

# Waits until the process has become the Windows program (Wine names it after the image, cut to
# the kernel's 15 characters) or has ended.
wait_for_image() {
    local pid="$1" name="${2:0:15}" tries=0
    while is_alive "$pid"; do
        [ "$(cat "/proc/$pid/comm" 2>/dev/null)" = "$name" ] && return 0
        tries=$((tries + 1))
        [ "$tries" -lt 300 ] || return 1
        sleep 0.1
    done
    return 1
}

# The Wine server of this prefix (others may run for other prefixes), or nothing.
prefix_server() {
    local pid
    for pid in $(pgrep -x 'wineserver(64)?' || true); do
        if tr '\0' '\n' 2>/dev/null <"/proc/$pid/environ" | grep -qxF "WINEPREFIX=$WINEPREFIX"; then
            echo "$pid"
            return 0
        fi
    done
}

# The DLLs a process maps: "name<tab>path" lines, the name in lower case, sorted by name.
mapped_dlls() {
    awk 'tolower($0) ~ /\.dll$/ { path = substr($0, index($0, "/")); name = path;
        sub(/.*\//, "", name); print tolower(name) "\t" path }' "/proc/$1/maps" |
        LC_ALL=C sort -u -t "$tab" -k1,1
}
thread_count() {
    local tasks=("/proc/$1/task"/*)
    [ -e "${tasks[0]}" ] && echo "${#tasks[@]}"
}

# Measures one running program after the warm-up: sets cpuSeconds, rssEndMb, rssPeakMb,
# serverSeconds (the Wine server's CPU over the same window), threads (its thread count at the
# end) and modules (its DLLs, as mapped_dlls prints them).
measure() {
    local pid="$1" server start end serverStart=0 serverEnd=0 rss peak=0 i
    sleep "$warmup"
    is_alive "$pid" || return 1
    server="$(prefix_server)"
    [ -n "$server" ] && serverStart="$(cpu_ns "$server" || echo 0)"
    start="$(cpu_ns "$pid")" || return 1
    for ((i = 0; i < seconds; i++)); do
        sleep 1
        rss="$(rss_kb "$pid")" && [ -n "$rss" ] || return 1
        [ "$rss" -gt "$peak" ] && peak="$rss"
    done
    end="$(cpu_ns "$pid")" || return 1
    [ -n "$server" ] && serverEnd="$(cpu_ns "$server" || echo 0)"
    modules="$(mapped_dlls "$pid")" || return 1
    threads="$(thread_count "$pid")" || return 1
    cpuSeconds="$(awk -v t=$((end - start)) 'BEGIN { printf "%.3f", t / 1e9 }')"
    serverSeconds="$(awk -v t=$((serverEnd - serverStart)) 'BEGIN { printf "%.3f", t / 1e9 }')"
    rssEndMb="$(awk -v k="$rss" 'BEGIN { printf "%.1f", k / 1024 }')"
    rssPeakMb="$(awk -v k="$peak" 'BEGIN { printf "%.1f", k / 1024 }')"
}

# Waits up to the seconds given for a process to end; kills it when it does not.
end_within() {
    local pid="$1" limit="$2" i
    for ((i = 0; i < limit * 10; i++)); do
        is_alive "$pid" || { wait "$pid" 2>/dev/null || true; return 0; }
        sleep 0.1
    done
    kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    return 1
}

echo "Binaries: $bin/vigilor.exe; helpers from $helpers; Wine prefix $CV_WINEPREFIX"
if [ "$ownPrefix" = 1 ]; then
    # Whatever an interrupted earlier run left in this prefix goes first.
    wineserver -k 2>/dev/null || true
fi
# Creates the prefix when needed and starts Wine's own services before anything is measured.
# With no list query running, the /exit request has nobody to tell and ends with 1.
run_wine "$helpers/cv_listquery.exe" /exit || true

echo "Starting $helperCount idle programs"
helperMs=$(((warmup + seconds) * 3 * 1000 + 600000))
for ((i = 0; i < helperCount; i++)); do
    cmake/wine-run.sh "$helpers/cv_e2e_sleeper.exe" "$helperMs" </dev/null >/dev/null 2>&1 &
    sleepers+=("$!")
    sleep 0.05
done
for pid in "${sleepers[@]}"; do
    wait_for_image "$pid" cv_e2e_sleeper.exe ||
        { echo "An idle program did not start" >&2; exit 1; }
done
sleep 3

# Starts a program with the command after the first three arguments, measures it, and asks it
# to end with "<program> /exit": the image name Wine gives it, the program that asks, and what
# to add when it ends early.
measure_program() {
    local image="$1" exitProgram="$2" hint="$3"
    shift 3
    "$@" </dev/null >/dev/null 2>&1 &
    local pid=$!
    measured+=("$pid")
    if ! wait_for_image "$pid" "$image" || ! measure "$pid"; then
        echo "$image ended early$hint" >&2
        exit 1
    fi
    run_wine "$exitProgram" /exit || true
    end_within "$pid" 30 || echo "$image did not end after /exit; it was killed" >&2
    # Ended and waited for: its id may be reused, so the cleanup must not signal it.
    measured=()
}

echo "Phase A: vigilor.exe for ${seconds} s after ${warmup} s"
rm -rf "$work/config" "$work/logs"
mkdir -p "$work/config" "$work/logs"
cp samples/corvex.ini "$work/config/corvex.ini"
measure_program vigilor.exe "$bin/vigilor.exe" " (is another engine running in this prefix?)" \
    cmake/wine-run.sh "$bin/vigilor.exe" "/configfolder=$(wine_path "$work/config")" \
    "/logfolder=$(wine_path "$work/logs")"
engineCpu="$cpuSeconds" engineRss="$rssEndMb" enginePeak="$rssPeakMb"
engineServer="$serverSeconds" engineModules="$modules" engineThreads="$threads"

# What the list query maps by itself, from a short unmeasured run.
echo "Reading the DLLs cv_listquery.exe maps by itself"
cmake/wine-run.sh "$helpers/cv_listquery.exe" 60 </dev/null >/dev/null 2>&1 &
probe=$!
measured+=("$probe")
if ! wait_for_image "$probe" cv_listquery.exe || ! sleep 2 || ! is_alive "$probe"; then
    echo "cv_listquery.exe did not start" >&2
    exit 1
fi
ownModules="$(mapped_dlls "$probe")"
run_wine "$helpers/cv_listquery.exe" /exit || true
end_within "$probe" 30 || echo "cv_listquery.exe did not end after /exit; it was killed" >&2
measured=()

# The DLLs the engine maps that the list query lacks, to be loaded with /load=: one the engine
# mapped from its own folder (the language module) by its full path, the others by name, from
# the system's folders as for the engine.
binReal="$(cd "$bin" && pwd -P)"
loads=()
while IFS="$tab" read -r name path; do
    [ -n "$name" ] || continue
    if [ "${path%/*}" = "$binReal" ]; then
        loads+=("/load=$(wine_path "$path")")
    else
        loads+=("/load=$name")
    fi
done < <(LC_ALL=C join -t "$tab" -v 1 <(echo "$engineModules") <(echo "$ownModules"))
added="$(LC_ALL=C join -t "$tab" -v 1 <(echo "$engineModules") <(echo "$ownModules") | cut -f1 |
    paste -sd ' ')"

echo "Phase B: cv_listquery.exe for ${seconds} s after ${warmup} s, loading also: ${added:-nothing}"
measure_program cv_listquery.exe "$helpers/cv_listquery.exe" "" \
    cmake/wine-run.sh "$helpers/cv_listquery.exe" $((warmup + seconds + 120)) "${loads[@]}"
queryCpu="$cpuSeconds" queryRss="$rssEndMb" queryPeak="$rssPeakMb"
queryServer="$serverSeconds" queryModules="$modules" queryThreads="$threads"

# The engine's threads beyond the list query's own, started idle in a third run: the difference
# to the second run is what those threads keep resident.
extraThreads=$((engineThreads - queryThreads))
if [ "$extraThreads" -gt 0 ]; then
    echo "Phase C: cv_listquery.exe with $extraThreads idle threads for ${seconds} s after" \
        "${warmup} s"
    measure_program cv_listquery.exe "$helpers/cv_listquery.exe" "" \
        cmake/wine-run.sh "$helpers/cv_listquery.exe" $((warmup + seconds + 120)) "${loads[@]}" \
        "/threads=$extraThreads"
    threadCpu="$cpuSeconds" threadRss="$rssEndMb" threadPeak="$rssPeakMb"
    threadServer="$serverSeconds" threadModules="$modules" threadThreads="$threads"
else
    echo "Phase C skipped: the engine has no more threads than the list query"
    threadCpu="$queryCpu" threadRss="$queryRss" threadPeak="$queryPeak"
    threadServer="$queryServer" threadModules="$queryModules" threadThreads="$queryThreads"
fi

mb() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%+.1f", a - b }'; }
ratio="$(awk -v e="$engineCpu" -v q="$queryCpu" \
    'BEGIN { if (q > 0) printf "%.2fx", e / q; else print "n/a" }')"
perThread="n/a"
if [ "$extraThreads" -gt 0 ]; then
    perThread="$(awk -v c="$threadRss" -v q="$queryRss" -v n="$extraThreads" \
        'BEGIN { printf "%+.2f", (c - q) / n }')"
fi
row() { printf '%-30s %8s %11s %10s %9s %10s\n' "$@" | sed 's/ *$//'; }
echo
echo "Footprint under Wine: ${seconds} s measured after ${warmup} s in each run," \
    "$helperCount idle programs"
echo "A: the engine; B: the list query with the engine's DLLs; C: B with $extraThreads idle threads"
row "" "A" "B" "C" "figure" "target"
row "CPU time (s)" "$engineCpu" "$queryCpu" "$threadCpu" "$ratio" "<= 1.1x"
row "RSS at end (MB)" "$engineRss" "$queryRss" "$threadRss" "$(mb "$engineRss" "$queryRss")" \
    "<= +4"
row "  threads' part (C - B)" "" "" "" "$(mb "$threadRss" "$queryRss")" ""
row "  per extra thread (MB)" "" "" "" "$perThread" ""
row "  image and own data (A - C)" "" "" "" "$(mb "$engineRss" "$threadRss")" ""
row "RSS peak (MB)" "$enginePeak" "$queryPeak" "$threadPeak" "$(mb "$enginePeak" "$queryPeak")" ""
row "  threads' part (C - B)" "" "" "" "$(mb "$threadPeak" "$queryPeak")" ""
row "  image and own data (A - C)" "" "" "" "$(mb "$enginePeak" "$threadPeak")" ""
row "wineserver CPU (s)" "$engineServer" "$queryServer" "$threadServer" "" ""
row "threads at end" "$engineThreads" "$queryThreads" "$threadThreads" "" ""

# The two DLL lists side by side, one line per name either maps.
echo
printf '%-30s %s\n' "DLLs the engine maps (A)" "DLLs the list query maps (B)"
LC_ALL=C join -t "$tab" -a 1 -a 2 -e - -o 0,1.1,2.1 <(echo "$engineModules" | cut -f1) \
    <(echo "$queryModules" | cut -f1) |
    while IFS="$tab" read -r _ inEngine inQuery; do
        printf '%-30s %s\n' "$inEngine" "$inQuery"
    done
onlyEngine="$(LC_ALL=C join -t "$tab" -v 1 <(echo "$engineModules") <(echo "$queryModules") |
    cut -f1 | paste -sd ' ')"
onlyQuery="$(LC_ALL=C join -t "$tab" -v 2 <(echo "$engineModules") <(echo "$queryModules") |
    cut -f1 | paste -sd ' ')"
[ -n "$onlyEngine" ] || [ -n "$onlyQuery" ] ||
    echo "Both map the same $(echo "$engineModules" | grep -c .) DLLs."
[ -z "$onlyEngine" ] || echo "DLLs only the engine mapped: $onlyEngine"
[ -z "$onlyQuery" ] || echo "DLLs only the list query mapped: $onlyQuery"
# A name both map is expected to come from the same file.
LC_ALL=C join -t "$tab" <(echo "$engineModules") <(echo "$queryModules") |
    while IFS="$tab" read -r name enginePath queryPath; do
        [ "$enginePath" = "$queryPath" ] ||
            echo "$name: the engine maps $enginePath, the list query $queryPath"
    done
if [ "$(echo "$threadModules" | cut -f1)" != "$(echo "$queryModules" | cut -f1)" ]; then
    echo "Run C mapped other DLLs than run B:" \
        "$(diff <(echo "$queryModules" | cut -f1) <(echo "$threadModules" | cut -f1) |
            grep '^[<>]' | paste -sd ' ')"
fi
exit 0
