#!/usr/bin/env bash
# Every produced binary of an edition is a PE file of that edition (PE32
# i386 for 32, PE32+ x86-64 for 64) that needs no MinGW runtime DLL.
#   check-binaries.sh BIN_FOLDER [32|64]
set -euo pipefail
bin=$1
edition=${2:-32}
case "$edition" in
32) objdump=i686-w64-mingw32-objdump expected=pei-i386 ;;
64) objdump=x86_64-w64-mingw32-objdump expected=pei-x86-64 ;;
*) echo "no edition '$edition'" && exit 2 ;;
esac
status=0
count=0
for f in "$bin"/*.exe "$bin"/*.dll; do
    [ -e "$f" ] || continue
    count=$((count + 1))
    format=$("$objdump" -f "$f" | sed -n 's/.*file format //p')
    if [ "$format" != "$expected" ]; then
        echo "$f: file format '$format', expected $expected"
        status=1
    fi
    if "$objdump" -p "$f" | grep -iE 'DLL Name: (libgcc|libstdc|libwinpthread|zlib1)'; then
        echo "$f: depends on a MinGW runtime DLL"
        status=1
    fi
done
echo "$count binaries checked ($expected)"
[ "$count" -gt 0 ] || status=1
exit $status
