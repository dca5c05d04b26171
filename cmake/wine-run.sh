#!/usr/bin/env bash
# Runs a Windows program under Wine in a prefix private to the build folder, so tests never touch
# the user's own Wine set-up. The prefix is created once (it costs 10-20 s) under a lock.
set -u
prefix="${CV_WINEPREFIX:-$PWD/wineprefix}"
export WINEPREFIX="$prefix" WINEDEBUG="${WINEDEBUG:--all}" WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
if [ ! -f "$prefix/.cv-ready" ]; then
    mkdir -p "$prefix"
    exec 9>"$prefix.lock"
    flock 9
    if [ ! -f "$prefix/.cv-ready" ]; then
        wineboot -i >/dev/null 2>&1
        # No display here: the null graphics driver still lets programs create and close windows.
        wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
        wineserver -w
        touch "$prefix/.cv-ready"
    fi
    flock -u 9
fi
exec wine "$@"
