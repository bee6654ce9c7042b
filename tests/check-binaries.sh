#!/usr/bin/env bash
# Every produced binary is a 32-bit PE file that needs no MinGW runtime DLL.
set -euo pipefail
bin=$1
status=0
count=0
for f in "$bin"/*.exe "$bin"/*.dll; do
    [ -e "$f" ] || continue
    count=$((count + 1))
    format=$(i686-w64-mingw32-objdump -f "$f" | sed -n 's/.*file format //p')
    if [ "$format" != "pei-i386" ]; then
        echo "$f: file format '$format', expected pei-i386"
        status=1
    fi
    if i686-w64-mingw32-objdump -p "$f" | grep -iE 'DLL Name: (libgcc|libstdc|libwinpthread|zlib1)'; then
        echo "$f: depends on a MinGW runtime DLL"
        status=1
    fi
done
echo "$count binaries checked"
[ "$count" -gt 0 ] || status=1
exit $status
