// The file functions the zip layer opens archives with: minizip's UTF-16
// Win32 functions (iowin32), with a read cache in front. minizip reads an
// entry's headers a few bytes at a time; without the cache every one of
// those reads is a system call, which dominates a walk over thousands of
// entries.
#pragma once

// clang-format off
#include <unzip.h>
// clang-format on

#include <cstddef>
#include <cstdint>

// Fills `functions` for unzOpen2_64 with a UTF-16 path (const wchar_t*).
// `opened`, when given, receives the file the open makes (null until then),
// for ArchiveSize and ReadArchive while the archive is open.
void FillCachedWin32FileFunctions(zlib_filefunc64_def* functions, void** opened = nullptr);

// The size of an archive file opened through those functions.
uint64_t ArchiveSize(void* opened);
// Reads `size` bytes at `offset`; false unless all of them were read.
// minizip seeks before each of its reads, so this may come between them.
bool ReadArchive(void* opened, uint64_t offset, uint8_t* buffer, size_t size);
