#!/usr/bin/env bash
# Stops what wine-up.sh started for this build: its wineserver (this prefix only) and its Xvfb.
# Usage: wine-down.sh BUILD_DIR
set -uo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
build=${1:?build folder}
[ -d "$build" ] || exit 0
# shellcheck source=wine-env.sh
source "$here/wine-env.sh" "$build"
[ -d "$WINEPREFIX" ] && wineserver -k </dev/null >/dev/null 2>&1
if [ -f "$talvo_xvfb_dir/pid" ]; then
    kill "$(cat "$talvo_xvfb_dir/pid")" 2>/dev/null
    rm -f "$talvo_xvfb_dir/pid" "$talvo_xvfb_dir/display"
fi
exit 0
