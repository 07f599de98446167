#!/usr/bin/env bash
# Stops what wine-up.sh started for this build: its wineserver (this prefix only) and its Xvfb.
# Usage: wine-down.sh BUILD_DIR
set -uo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
build=${1:?build folder}
[ -d "$build" ] || exit 0
# shellcheck source=wine-env.sh
source "$here/wine-env.sh" "$build"
if [ -d "$WINEPREFIX" ]; then
    wineserver -k </dev/null >/dev/null 2>&1
    # Wine processes that lost their server wait for it for good (services, a loader): ours
    # are Wine's own programs started with this prefix in their environment.
    for pid in $(pgrep -d ' ' . 2>/dev/null); do
        case "$(readlink "/proc/$pid/exe" 2>/dev/null)" in
            */wine/*|*/bin/wine|*/bin/wine64|*wine*-preloader) ;;
            *) continue ;;
        esac
        if tr '\0' '\n' <"/proc/$pid/environ" 2>/dev/null | grep -qxF "WINEPREFIX=$WINEPREFIX"; then
            kill -9 "$pid" 2>/dev/null
        fi
    done
fi
if [ -f "$talvo_xvfb_dir/pid" ]; then
    kill "$(cat "$talvo_xvfb_dir/pid")" 2>/dev/null
    rm -f "$talvo_xvfb_dir/pid" "$talvo_xvfb_dir/display"
fi
exit 0
