#!/usr/bin/env bash
# Installs what is missing, then configures (once) and builds the mingw-x86 preset, in
# build/mingw-x86 unless TALVO_BUILD_DIR names another folder.
# Extra arguments go to the build (for example --target talvo_bench).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${TALVO_BUILD_DIR:-$root/build/mingw-x86}
case "$build" in /*) ;; *) build="$root/$build" ;; esac
"$root/scripts/install-deps.sh"
cd "$root"
[ -f "$build/build.ninja" ] || cmake --preset mingw-x86 -B "$build" >/dev/null
cmake --build "$build" "$@"
