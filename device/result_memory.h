// Arrays the library hands to its callers (GetInstalledApps,
// GetFilesInDirectory) come from this allocator and go back through the
// export ReleaseMemory.
#pragma once

#include <cstddef>

// Zero-filled room for `count` records of `size` bytes; null when count is 0,
// when the size overflows or when memory is short.
void* AllocateResult(size_t count, size_t size);
void FreeResult(void* memory);

template <typename Record> Record* AllocateRecords(size_t count) {
    return static_cast<Record*>(AllocateResult(count, sizeof(Record)));
}
