#!/usr/bin/env bash
# Read from the files, without running them: OrvexDevice.dll and
# InstallOrvex.exe of an edition export exactly the 23 decorated names of
# that edition's column of device/OrvexDeviceExports.h, and nothing else.
#   check-exports.sh BIN_FOLDER 32|64
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
bin=$1
edition=$2
case "$edition" in
32) objdump=i686-w64-mingw32-objdump column=1 ;;
64) objdump=x86_64-w64-mingw32-objdump column=2 ;;
*) echo "no edition '$edition'" && exit 2 ;;
esac
# The header's names: X(name, "x86", "x64") entries, one name per quoted string.
expected=$(grep -o '"?[^"]*"' "$here/../device/OrvexDeviceExports.h" | tr -d '"' |
    awk -v column="$column" '(NR - 1) % 2 == column - 1' | sort)
if [ "$(printf '%s\n' "$expected" | wc -l)" -ne 23 ]; then
    echo "OrvexDeviceExports.h: expected 23 names per edition"
    exit 1
fi
status=0
for f in "$bin/OrvexDevice.dll" "$bin/InstallOrvex.exe"; do
    if [ ! -f "$f" ]; then
        echo "$f: missing"
        status=1
        continue
    fi
    actual=$("$objdump" -p "$f" | sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' |
        sed -n 's/^\s*\[ *[0-9]*\] //p' | sort)
    if [ "$actual" != "$expected" ]; then
        echo "$f: exports differ from the $edition-bit names (< expected, > exported):"
        diff <(printf '%s\n' "$expected") <(printf '%s\n' "$actual") | grep '^[<>]' || true
        status=1
    else
        echo "$f: the 23 $edition-bit names"
    fi
done
exit $status
