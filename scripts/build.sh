#!/usr/bin/env bash
# Configures (once) and builds everything into build/ (binaries in build/bin).
#   scripts/build.sh [extra cmake --build arguments]
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${ORVEX_BUILD:-$root/build}
if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S "$root" -B "$build" -G Ninja \
        -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-i686.cmake" >/dev/null
fi
cmake --build "$build" --parallel "$(nproc)" "$@"
