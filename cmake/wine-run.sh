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
# Drive Q: is a scratch drive of the prefix, for tests that install at a drive root.
if [ ! -e "$prefix/dosdevices/q:" ]; then
    mkdir -p "$prefix/drive_q" && ln -sfn ../drive_q "$prefix/dosdevices/q:"
fi
if [ "${CV_WINE_WIND_DOWN:-0}" != 1 ]; then
    exec wine "$@"
fi
# Under the test runner: Wine's helper processes (the server, services, the console host) inherit
# the runner's output pipes, and the runner waits until every holder closes them. Now and then a
# console host outlives the program, and with it the whole server. So once the program is done,
# give the server a few seconds to wind down by itself, then end it. The tests that use this
# prefix hold one resource lock, so nothing else is running in it.
wine "$@"
status=$?
if ! timeout 20 wineserver -w; then
    wineserver -k
fi
exit "$status"
