#!/usr/bin/env bash
# Brings the build's Wine prefix up: creates it on first use, starts an Xvfb when there is no
# display, keeps one wineserver running and registers the stand-in control when it was rebuilt.
# Cheap when everything is already up. It never stops a server: programs of the prefix may be
# running on it (a test started by another test's set-up lost its server that way).
# Usage: wine-up.sh BUILD_DIR
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
build=${1:?build folder}
mkdir -p "$build"
# shellcheck source=wine-env.sh
source "$here/wine-env.sh" "$build"

# One caller at a time does the set-up; parallel test runs wait here.
exec 9>"$build/.wine-up.lock"
flock 9

# Daemons started from here must not inherit the lock (fd 9) or any pipe of our caller.
quiet() { "$@" </dev/null >/dev/null 2>&1 9>&-; }

fresh=0
if [ ! -f "$WINEPREFIX/.talvo-ready" ]; then
    rm -rf "$WINEPREFIX"
    echo "wine-up: creating the Wine prefix $WINEPREFIX" >&2
    quiet wineboot -i
    quiet wineserver -w
    fresh=1
fi

if [ -z "${DISPLAY:-}" ]; then
    mkdir -p "$talvo_xvfb_dir"
    n=90
    while [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ]; do n=$((n + 1)); done
    setsid Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp -dpi 96 </dev/null >/dev/null 2>&1 9>&- &
    echo $! >"$talvo_xvfb_dir/pid"
    echo ":$n" >"$talvo_xvfb_dir/display"
    for _ in $(seq 100); do [ -e "/tmp/.X11-unix/X$n" ] && break; sleep 0.05; done
    export DISPLAY=":$n"
fi

# A persistent server before any registry write: a write made in a short-lived server can
# be lost when the next one takes over; the persistent one saves what it holds when it stops.
# Every later wine start then costs a fraction of a second. Started with output to /dev/null,
# or it keeps our caller's pipe open for good.
if ! talvo_server_pid >/dev/null; then
    quiet wineserver -p || true
    quiet wine cmd /c exit
    if ! talvo_server_pid >/dev/null; then
        echo "wine-up: no Wine server stays up for the prefix $WINEPREFIX" >&2
        exit 1
    fi
fi

changed=0
if [ "$fresh" = 1 ]; then
    # No crash dialog waiting for a click in unattended runs.
    quiet wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f
    # No debugger attached to a crashing test either: winedbg --auto would keep our caller's
    # output pipe open; the process just ends with its exception code.
    for view in 32 64; do
        quiet wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Debugger /d '' /f "/reg:$view"
    done
    changed=1
fi

# With no window manager Wine waits about 2 s whenever a window hides: leave windows
# unmanaged on our own Xvfb only, so a real desktop keeps its frames.
want_managed=Y
[ -f "$talvo_xvfb_dir/display" ] && [ "$DISPLAY" = "$(cat "$talvo_xvfb_dir/display")" ] && want_managed=N
managed_state="$WINEPREFIX/.talvo-managed"
if [ "$(cat "$managed_state" 2>/dev/null)" != "$want_managed" ]; then
    quiet wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d "$want_managed" /f
    changed=1
fi

dll="$build/bin/VbFunzioniStandIn.dll"
stamp="$WINEPREFIX/.talvo-standin-registered"
registered=0
if [ -f "$dll" ] && { [ ! -f "$stamp" ] || [ "$dll" -nt "$stamp" ]; }; then
    if ! quiet wine regsvr32 /s "$(winepath -w "$dll" 2>/dev/null 9>&-)"; then
        echo "wine-up: registering $dll failed" >&2
        exit 1
    fi
    registered=1
    changed=1
fi

# Settings live in the running server, which every program of the prefix asks.
if [ "$changed" = 1 ]; then
    touch "$WINEPREFIX/.talvo-ready"
    echo "$want_managed" >"$managed_state"
    if [ "$registered" = 1 ]; then touch "$stamp"; fi
fi
exit 0
