#!/usr/bin/env bash
# Installs what is missing, builds, and runs the benchmarks under Wine: one table of the
# program's costs against the bare platform calls, measured side by side in one run.
# Extra arguments go to talvo_bench (for example --processes 300 --get-rounds 5000).
# The build folder is build/mingw-x86 unless TALVO_BUILD_DIR names another.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${TALVO_BUILD_DIR:-$root/build/mingw-x86}
case "$build" in /*) ;; *) build="$root/$build" ;; esac

TALVO_BUILD_DIR="$build" "$root/scripts/build.sh" --target talvo_bench

trap '"$root/scripts/wine-down.sh" "$build"' EXIT
"$root/scripts/wine-up.sh" "$build"
# Times are only as quiet as the machine: say how busy it was.
echo "bench: $(wine --version 2>/dev/null || echo wine), $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg)"
"$root/scripts/winerun" --build-dir "$build" "$build/bin/talvo_bench.exe" "$@"
