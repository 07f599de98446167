#!/usr/bin/env bash
# Installs what is missing, then configures (once) and builds the mingw-x86 preset.
# Extra arguments go to the build (for example --target talvo_bench).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
"$root/scripts/install-deps.sh"
cd "$root"
[ -f "$root/build/mingw-x86/build.ninja" ] || cmake --preset mingw-x86 >/dev/null
cmake --build --preset mingw-x86 "$@"
