#!/usr/bin/env bash
# Exits 0 when this machine runs 32-bit Linux programs (and so wine32), 1
# when it does not. It finds out by starting one: a 32-bit ELF program of
# 92 bytes, written here, whose only instruction is exit(0). The kernel's
# version or configuration is never consulted: a kernel built with 32-bit
# support can still have it switched off at boot.
set -uo pipefail
probe=$(mktemp "${TMPDIR:-/tmp}/orvex-ia32-probe.XXXXXX") || exit 1
trap 'rm -f "$probe"' EXIT
# ELF header (52 bytes), one program header (32 bytes), then the code at
# byte 84 of the file, loaded at 0x08048000: xor ebx,ebx; xor eax,eax; inc eax; int 0x80.
printf '%b' \
    '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00' \
    '\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00' \
    '\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00' \
    '\x00\x00\x00\x00' \
    '\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08' \
    '\x5c\x00\x00\x00\x5c\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00' \
    '\x31\xdb\x31\xc0\x40\xcd\x80\x00' >"$probe"
chmod +x "$probe"
"$probe" 2>/dev/null || exit 1
