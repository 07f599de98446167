#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite under Wine.
# Extra arguments go to ctest (for example -R Registry).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build="$root/build/mingw-x86"

"$root/scripts/install-deps.sh"
cd "$root"
[ -f "$build/build.ninja" ] || cmake --preset mingw-x86 >/dev/null
cmake --build --preset mingw-x86

trap '"$root/scripts/wine-down.sh" "$build"' EXIT
"$root/scripts/wine-up.sh" "$build"
ctest --preset mingw-x86 -j2 "$@"
