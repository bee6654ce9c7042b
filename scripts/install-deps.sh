#!/usr/bin/env bash
# Installs what the build and the tests need on Debian 12, from Debian's
# packages. Idempotent and quiet when nothing is missing.
set -euo pipefail

packages=(
    cmake make ninja-build git ca-certificates python3 python3-pil
    g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix binutils-mingw-w64-i686
    mingw-w64-i686-dev libz-mingw-w64-dev googletest
    wine wine32:i386 xvfb xauth x11-utils
    fonts-wqy-microhei fonts-dejavu-core
    dpkg-dev libplist-utils pngcheck
    clang-format cppcheck
)

sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "installing: ${missing[*]}"
if ! dpkg --print-foreign-architectures | grep -qx i386; then
    "${sudo_cmd[@]}" dpkg --add-architecture i386
fi
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
