#!/usr/bin/env bash
# Configures (once) and builds both editions:
#   build/      the 32-bit edition, binaries in build/bin (PE32)
#   build/x64   the 64-bit edition, binaries in build/bin64 (PE32+; another
#               name of build/x64/bin)
#   scripts/build.sh [--edition 32|64] [extra cmake --build arguments]
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
editions=(32 64)
if [ "${1:-}" = --edition ]; then
    editions=("$2")
    shift 2
fi
build32=$root/build
build64=$root/build/x64
configure() { # tree toolchain [cmake arguments]
    local tree=$1 toolchain=$2
    shift 2
    [ -f "$tree/CMakeCache.txt" ] && return 0
    cmake -S "$root" -B "$tree" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/$toolchain" "$@" >/dev/null
}
for edition in "${editions[@]}"; do
    case "$edition" in
    32)
        configure "$build32" mingw-i686.cmake
        echo "== building the 32-bit edition (build/bin)"
        cmake --build "$build32" --parallel "$(nproc)" "$@"
        ;;
    64)
        configure "$build64" mingw-x86_64.cmake -DORVEX_BIN_LINK="$root/build/bin64"
        echo "== building the 64-bit edition (build/bin64)"
        cmake --build "$build64" --parallel "$(nproc)" "$@"
        ;;
    *)
        echo "build.sh: no edition '$edition' (32 or 64)" >&2
        exit 2
        ;;
    esac
done
