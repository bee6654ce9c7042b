#!/usr/bin/env bash
# Cheap static checks of project code: formatting and cppcheck.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
mapfile -t files < <(git ls-files -- '*.cpp' '*.h' '*.c' | grep -v '^build/')
[ ${#files[@]} -eq 0 ] && exit 0
clang-format --dry-run --Werror "${files[@]}"
mapfile -t sources < <(printf '%s\n' "${files[@]}" | grep -E '\.(cpp|c)$' | grep -v '^tests/')
# Once per edition: 32-bit and 64-bit Windows.
for platform in "win32W -D_WIN32" "win64 -D_WIN32 -D_WIN64"; do
    # shellcheck disable=SC2086 # the platform and its macros are separate words
    cppcheck --quiet --error-exitcode=1 --enable=warning,portability --inline-suppr \
        --std=c++20 --platform=$platform -DUNICODE -D_UNICODE -I . \
        --suppress=missingIncludeSystem "${sources[@]}"
done
