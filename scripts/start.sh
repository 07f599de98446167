#!/usr/bin/env bash
# Installs what is missing, builds, and starts Test OCX TALVO under Wine with the stand-in
# control registered. On $DISPLAY when there is one; otherwise under Xvfb, where it presses
# "Get", saves a screenshot of the window and prints where.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build="$root/build/mingw-x86"

TALVO_BUILD_DIR="$build" "$root/scripts/build.sh"
cd "$root"

had_display=${DISPLAY:-}
"$root/scripts/wine-up.sh" "$build"
# shellcheck source=wine-env.sh
source "$root/scripts/wine-env.sh" "$build"
exe="$build/bin/Test OCX TALVO.exe"

if [ -n "$had_display" ]; then
    exec wine "$exe"
fi

trap '"$root/scripts/wine-down.sh" "$build"' EXIT
shot="$build/screenshot.png"
wine "$exe" </dev/null >/dev/null 2>&1 &
app=$!
read -r x y w h < <(wine "$build/bin/talvo-drive.exe" get | tr -d '\r')
import -display "$DISPLAY" -window root -crop "${w}x${h}+${x}+${y}" +repage "$shot"
wine "$build/bin/talvo-drive.exe" close >/dev/null
wait "$app" || true
echo "start: no display; the window after one press of \"Get\" is in $shot"
