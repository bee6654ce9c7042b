// The library's allocator for the arrays it hands out, and ReleaseMemory.
#include "device/OrvexDevice.h"
#include "device/export_guard.h"
#include "device/result_memory.h"

#include <windows.h>

#include <limits>

void* AllocateResult(size_t count, size_t size) {
    if (count == 0 || size == 0 || count > std::numeric_limits<size_t>::max() / size)
        return nullptr;
    return ::HeapAlloc(::GetProcessHeap(), HEAP_ZERO_MEMORY, count * size);
}

void FreeResult(void* memory) {
    if (memory)
        ::HeapFree(::GetProcessHeap(), 0, memory);
}

void ReleaseMemory(void* memory) {
    GuardedVoidExport(L"ReleaseMemory", [memory] { FreeResult(memory); });
}
