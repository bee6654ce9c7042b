#!/usr/bin/env bash
# Installs what the build and the tests need on Debian 12, from Debian's
# packages. Idempotent and quiet when nothing is missing.
#
# Both editions are built everywhere (both MinGW-w64 toolchains); the 64-bit
# edition's programs run under wine64. wine32 (an i386 package) is installed
# only where this machine runs 32-bit Linux programs; elsewhere it could not
# start anyway.
#
# Robust against what a fresh machine meets, without touching the system's
# apt configuration:
#  - an index that fails to download (a mirror caught mid-sync) is a warning:
#    the packages are installed from the indexes that did download;
#  - wine32 is installed after everything else, so that a problem of the
#    i386 side never keeps the rest out (see below); should it stay
#    impossible, the test command runs the 64-bit suite and the 32-bit
#    static checks;
#  - when something cannot be installed, one line says what and why.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

packages=(
    cmake make ninja-build git ca-certificates python3 python3-pil
    g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix binutils-mingw-w64-i686 mingw-w64-i686-dev
    g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 mingw-w64-x86-64-dev
    libz-mingw-w64-dev googletest
    wine wine64 xvfb xauth x11-utils
    fonts-wqy-microhei fonts-dejavu-core
    dpkg-dev libplist-utils pngcheck
    clang-format cppcheck
    zip osslsigncode openssl
)
want32=
if "$here/can-run-32bit.sh"; then
    want32=1
fi

sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
export DEBIAN_FRONTEND=noninteractive

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }

missing=()
for p in "${packages[@]}"; do
    installed "$p" || missing+=("$p")
done
[ -n "$want32" ] && ! installed wine32:i386 && missing+=(wine32:i386)
[ ${#missing[@]} -eq 0 ] && exit 0

echo "installing: ${missing[*]}"
if [ -n "$want32" ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    "${sudo_cmd[@]}" dpkg --add-architecture i386
fi
if ! "${sudo_cmd[@]}" apt-get update -qq; then
    echo "install-deps: some package indexes failed to download; installing from those that did" >&2
fi

apt_install() { "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "$@"; }

# Everything but wine32 first, so that a problem of the i386 side never
# keeps the rest out.
rest=()
for p in "${missing[@]}"; do
    [ "$p" = wine32:i386 ] || rest+=("$p")
done
if [ ${#rest[@]} -gt 0 ] && ! apt_install "${rest[@]}" >/dev/null; then
    echo "install-deps: could not install ${rest[*]} (see apt-get's messages above)" >&2
    exit 1
fi
[ -z "$want32" ] || installed wine32:i386 && exit 0

# wine32's i386 libraries must be at the very versions of their installed
# amd64 twins. When an i386 index failed to download (a mirror caught
# mid-sync) the versions it would offer are missing and apt finds no
# solution; the index is fetched again, a few times over a minute, before
# giving up. Packages are never fetched around apt's signed indexes, nor
# are amd64 libraries downgraded to match.
log=$(mktemp)
trap 'rm -f "$log"' EXIT
for wait in 0 20 40; do
    if [ "$wait" -gt 0 ]; then
        echo "install-deps: wine32:i386 not installable yet; fetching the package indexes again in $wait s" >&2
        sleep "$wait"
        "${sudo_cmd[@]}" apt-get update -qq >/dev/null 2>&1 || true
    fi
    apt_install wine32:i386 >"$log" 2>&1 && exit 0
done

reason=$(grep -m1 -E '^(E:| [^ ].* : Depends)' "$log" | sed 's/^ *//' || true)
echo "install-deps: wine32:i386 cannot be installed (${reason:-apt-get failed}); the 32-bit edition is checked without running it" >&2
exit 0
