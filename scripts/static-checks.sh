#!/usr/bin/env bash
# clang-tidy (Debian's clang, target i686-w64-mingw32) and cppcheck over the program's own
# sources, after clang-format's check of every C++ file. Any finding fails.
# Usage: static-checks.sh [BUILD_DIR]
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-$root/build/mingw-x86}
cd "$root"

sources=$(git ls-files 'app/*.cpp' 'common/*.cpp' 'registry/*.cpp' 'client/*.cpp' 'process/*.cpp' 'standin/*.cpp')

# Formatting first: it is cheap, and every C++ file the project owns follows .clang-format.
echo "static-checks: clang-format" >&2
misformatted=$(git ls-files -co --exclude-standard '*.cpp' '*.h' | while read -r f; do
    [ -f "$f" ] && ! clang-format --style=file --dry-run -Werror "$f" >/dev/null 2>&1 && echo "$f"
done || true)
if [ -n "$misformatted" ]; then
    echo "static-checks: these files differ from .clang-format (fix with clang-format -i):" >&2
    echo "$misformatted" >&2
    exit 1
fi

# Nothing to redo when neither the sources, their headers nor the checks changed since the
# last clean run.
stamp="$build/static-checks.stamp"
digest=$(cat .clang-tidy scripts/static-checks.sh $(git ls-files 'app/*' 'common/*' 'registry/*' 'client/*' \
         'process/*' 'standin/*') 2>/dev/null | sha256sum | cut -d' ' -f1)
if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$digest" ]; then
    echo "static-checks: unchanged since the last clean run" >&2
    exit 0
fi

# clang sees the same headers the cross compiler does.
extra=(--extra-arg=--target=i686-w64-mingw32 --extra-arg=-Wno-unknown-warning-option)
while read -r dir; do
    extra+=("--extra-arg=-isystem$dir")
done < <(echo | i686-w64-mingw32-g++-posix -xc++ -E -v - 2>&1 |
         sed -n '/#include <...> search starts here/,/End of search list/p' | grep '^ /' | sed 's/^ //')

echo "static-checks: clang-tidy" >&2
# shellcheck disable=SC2086
printf '%s\n' $sources | xargs -P "$(nproc)" -n 4 clang-tidy -p "$build" --quiet "${extra[@]}" 2>/dev/null ||
    { echo "static-checks: clang-tidy has findings" >&2; exit 1; }

echo "static-checks: cppcheck" >&2
# shellcheck disable=SC2086
cppcheck --quiet --error-exitcode=1 --std=c++20 --language=c++ --platform=win32W --library=windows \
    --enable=warning,style,performance,portability --inline-suppr \
    --suppress=missingIncludeSystem --suppress=unusedFunction \
    -I common -I app -I app/host -I app/diagnosis -I app/commands -I app/report -I app/check -I registry -I client -I process -I standin \
    -D_WIN32 -D__i386__ -DUNICODE -D_UNICODE $sources
echo "$digest" >"$stamp"
echo "static-checks: no findings" >&2
