// The file functions the zip layer opens archives with: minizip's UTF-16
// Win32 functions (iowin32), with a read cache in front. minizip reads an
// entry's headers a few bytes at a time; without the cache every one of
// those reads is a system call, which dominates a walk over thousands of
// entries.
#pragma once

// clang-format off
#include <unzip.h>
// clang-format on

// Fills `functions` for unzOpen2_64 with a UTF-16 path (const wchar_t*).
void FillCachedWin32FileFunctions(zlib_filefunc64_def* functions);
