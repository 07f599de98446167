#!/usr/bin/env bash
# Installs what the build and the tests need on a Debian 12 machine; does nothing when all is there.
set -euo pipefail

pkgs=(cmake ninja-build mingw-w64 g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix
      binutils-mingw-w64-i686 wine wine32:i386 wine64 xvfb x11-utils imagemagick
      googletest nlohmann-json3-dev clang clang-tidy clang-format cppcheck zip)

missing=()
for p in "${pkgs[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

SUDO=
[ "$(id -u)" -ne 0 ] && SUDO=sudo
echo "install-deps: installing ${missing[*]}" >&2
if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $SUDO dpkg --add-architecture i386
fi
export DEBIAN_FRONTEND=noninteractive
# A mirror in the middle of a sync can serve one index short ("File has unexpected size"): the
# other indexes are still good, so go on with what did download.
if ! $SUDO apt-get update -qq; then
    echo "install-deps: some package indexes did not download (above); going on with the others" >&2
fi
install() { $SUDO apt-get install -y -qq --no-install-recommends "$@" "${missing[@]}" >/dev/null; }
if install; then exit 0; fi
# Without one suite's i386 index, the amd64 candidates may come from the security suite while
# their i386 twins exist only in the release: take everything from the release's own suite.
codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-bookworm}")
echo "install-deps: installing from the $codename suite alone" >&2
if install -t "$codename"; then exit 0; fi
echo "install-deps: could not install ${missing[*]}; run 'apt-get update' again once the mirror has" \
     "finished syncing, then this command again" >&2
exit 1
