#!/usr/bin/env bash
# The release kits, for each edition the build produces (win32: build/bin,
# win64: build/bin64), written under dist/:
#   OrvexDevice-sdk-<version>-<edition>.zip  header, DLL, import libraries
#                                            for Microsoft's linker (short
#                                            import format) and for MinGW,
#                                            a sample, a guide
#   InstallOrvex-<version>-<edition>.zip     the installer, orvexctl and the
#                                            device library it loads, a readme
#   SHA256SUMS                               of every archive
# No stand-in library and no test program goes into a kit.
#
# Signing: with ORVEX_SIGN_CERT (certificate file, PEM or DER) and
# ORVEX_SIGN_KEY (its private key; ORVEX_SIGN_PASS its password, if any)
# every binary is signed with Authenticode by osslsigncode. Unsigned
# otherwise.
#   scripts/release.sh [--out DIR] [--no-build]
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
out=$root/dist
build=1
while [ $# -gt 0 ]; do
    case "$1" in
    --out) out=$2 && shift ;;
    --no-build) build= ;;
    *) echo "usage: scripts/release.sh [--out DIR] [--no-build]" >&2 && exit 2 ;;
    esac
    shift
done
if [ -n "$build" ]; then
    "$root/scripts/install-deps.sh"
    "$root/scripts/build.sh" >/dev/null
fi
version=$(sed -n 's/^project(InstallOrvex VERSION \([0-9.]*\) .*/\1/p' "$root/CMakeLists.txt")
[ -n "$version" ] || { echo "release: no version in CMakeLists.txt" >&2 && exit 1; }
mkdir -p "$out"
out=$(cd "$out" && pwd)
rm -f "$out"/OrvexDevice-sdk-*.zip "$out"/InstallOrvex-*.zip "$out/SHA256SUMS"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

sign() { # file
    [ -n "${ORVEX_SIGN_CERT:-}" ] && [ -n "${ORVEX_SIGN_KEY:-}" ] || return 0
    local pass=()
    [ -z "${ORVEX_SIGN_PASS:-}" ] || pass=(-pass "$ORVEX_SIGN_PASS")
    osslsigncode sign -certs "$ORVEX_SIGN_CERT" -key "$ORVEX_SIGN_KEY" "${pass[@]}" -h sha256 \
        -n "InstallOrvex $version" -in "$1" -out "$1.signed" >/dev/null
    mv -f "$1.signed" "$1"
}

zip_folder() { # folder archive
    (cd "$1" && find . -type f | sed 's|^\./||' | LC_ALL=C sort | zip -q -X -D "$2" -@)
}

made=0
for edition in 32 64; do
    if [ "$edition" = 32 ]; then
        bin=$root/build/bin name=win32 triple=i686-w64-mingw32 machine=i386 def=OrvexDevice.def
    else
        bin=$root/build/bin64 name=win64 triple=x86_64-w64-mingw32 machine=i386:x86-64 def=OrvexDevice64.def
    fi
    [ -f "$bin/OrvexDevice.dll" ] && [ -f "$bin/InstallOrvex.exe" ] && [ -f "$bin/orvexctl.exe" ] || continue

    sdk=$work/sdk-$name
    mkdir -p "$sdk/include" "$sdk/bin" "$sdk/lib" "$sdk/samples"
    cp "$root/device/OrvexDevice.h" "$sdk/include/"
    cp "$bin/OrvexDevice.dll" "$sdk/bin/"
    sign "$sdk/bin/OrvexDevice.dll"
    # For Microsoft's linker: the decorated names the library's .def
    # exports, in the short import format lib.exe writes. GNU dlltool's
    # members are whole objects without the SafeSEH mark, which a 32-bit
    # program linked with /SAFESEH refuses; LLVM's dlltool writes the short
    # format.
    llvm-dlltool-14 -d "$root/device/$def" -D OrvexDevice.dll -l "$sdk/lib/OrvexDevice.lib" -m "$machine"
    # For MinGW: GCC's names of the same declarations, each importing the
    # decorated name the DLL exports. The library's .def gives them, but for
    # GetCopyRight, which it exports as GetDllVersion's body: a caller's
    # name for it is its own.
    { echo "LIBRARY OrvexDevice.dll" && echo "EXPORTS" &&
        grep '^ *"' "$root/device/$def" | sed -E 's/^ *"([^"]*)"=(.*)$/    \2 == \1/' |
        sed -E 's/^    _Z13GetDllVersionPwi == (\?GetCopyRight@)/    _Z12GetCopyRightPwi == \1/'; } >"$work/gnu-$name.def"
    "$triple-dlltool" -d "$work/gnu-$name.def" -D OrvexDevice.dll -l "$sdk/lib/libOrvexDevice.dll.a" -m "$machine"
    cp "$root/tools/sdk/samples/list_and_copy.cpp" "$root/tools/sdk/samples/CMakeLists.txt" "$sdk/samples/"
    sed "s/@VERSION@/$version/g; s/@EDITION@/$name/g" "$root/tools/sdk/README.md" >"$sdk/README.md"
    zip_folder "$sdk" "$out/OrvexDevice-sdk-$version-$name.zip"

    kit=$work/kit-$name
    mkdir -p "$kit"
    cp "$bin/InstallOrvex.exe" "$bin/orvexctl.exe" "$bin/OrvexDevice.dll" "$kit/"
    for f in "$kit"/*.exe "$kit"/*.dll; do sign "$f"; done
    sed "s/@VERSION@/$version/g; s/@EDITION@/$name/g" "$root/tools/sdk/README-InstallOrvex.txt" >"$kit/README.txt"
    zip_folder "$kit" "$out/InstallOrvex-$version-$name.zip"
    made=$((made + 1))
done
[ "$made" -gt 0 ] || { echo "release: no edition is built (scripts/build.sh)" >&2 && exit 1; }
(cd "$out" && sha256sum OrvexDevice-sdk-*.zip InstallOrvex-*.zip >SHA256SUMS)
echo "release $version: $made edition(s) in $out"
ls -1 "$out"
