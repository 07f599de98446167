#!/usr/bin/env bash
# Installs what is missing, builds, and runs every check: static analysis (clang-tidy,
# cppcheck), the whole suite under Wine's heap checking, then the whole suite.
# Extra arguments go to the final ctest run (for example -R Registry).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build="$root/build/mingw-x86"

TALVO_BUILD_DIR="$build" "$root/scripts/build.sh"
cd "$root"

"$root/scripts/static-checks.sh" "$build"

trap '"$root/scripts/wine-down.sh" "$build"' EXIT
# Set-up once, before the first test: the tests only run programs on the server it started.
"$root/scripts/wine-up.sh" "$build"
export TALVO_WINE_RUN=1

# Heap pass: Wine validates every heap operation and reports what it finds on stderr.
heap_log="$build/heap-check.log"
: >"$heap_log"
echo "test: the suite under WINEDEBUG=warn+heap" >&2
if ! WINEDEBUG=warn+heap TALVO_WINE_LOG="$heap_log" ctest --preset mingw-x86 -j2 >"$build/heap-check-ctest.log" 2>&1; then
    tail -20 "$build/heap-check-ctest.log" >&2
    echo "test: the heap-checking pass failed" >&2
    exit 1
fi
if grep -E '(err|warn):heap' "$heap_log" >&2; then
    echo "test: Wine's heap checking reported errors (all in $heap_log)" >&2
    exit 1
fi
echo "test: heap checking found nothing" >&2

ctest --preset mingw-x86 -j2 "$@"
