// A caller of the SDK as a Visual Studio project builds it: compiled from the
// kit's header for Microsoft's ABI and linked against the kit's
// OrvexDevice.lib (release_test.py builds it with clang and lld-link). It
// has no C runtime: its entry point is its own and it links nothing but the
// import library and a kernel32 import library of two names.
//
// It takes the address of every declaration (every_function.inc, written by
// the test, lists them), so each becomes an import. Wine binds a name the
// DLL lacks to a stub instead of refusing to start, so the program checks
// the binding itself: each entry of its import address table for the
// library must be the address GetProcAddress finds under the imported name.
// The exit code is the number of imports bound that way, with 0x80 added
// when one is not and 0x40 when GetDllVersion did not write
// ORVEX_KIT_VERSION (within the 8 bits Wine passes on as its own exit
// status).
#include "OrvexDevice.h"

extern "C" {
__declspec(dllimport) void* __stdcall GetModuleHandleW(const wchar_t* name);
__declspec(dllimport) void* __stdcall GetProcAddress(void* module, const char* name);
extern const unsigned char __ImageBase[]; // the linker's name for this image
}

static const void* const volatile everyFunction[] = {
#include "every_function.inc"
};

namespace {

const wchar_t libraryName[] = L"OrvexDevice.dll";
const void* volatile lastFunctionRead;

uint32_t Read32(const unsigned char* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

bool SameName(const char* narrow, const wchar_t* wide) {
    for (; *narrow && *wide; ++narrow, ++wide)
        if (wchar_t(*narrow) != *wide)
            return false;
    return *narrow == 0 && *wide == 0;
}

// This image's import descriptor of the library (20 bytes), or null.
const unsigned char* LibraryImports() {
    const unsigned char* nt = __ImageBase + Read32(__ImageBase + 0x3c);
    const unsigned char* optional = nt + 24;
    bool pe32plus = optional[0] == 0x0b && optional[1] == 0x02;
    const unsigned char* importDirectory = optional + (pe32plus ? 112 : 96) + 8;
    uint32_t rva = Read32(importDirectory);
    if (rva == 0)
        return nullptr;
    for (const unsigned char* d = __ImageBase + rva; Read32(d + 12) != 0; d += 20)
        if (SameName(reinterpret_cast<const char*>(__ImageBase + Read32(d + 12)), libraryName))
            return d;
    return nullptr;
}

// The number of imports of the library whose address is the one its export
// table gives under the imported name, with 0x80 added when another import
// of it is not.
int BoundImports() {
    const unsigned char* descriptor = LibraryImports();
    void* library = GetModuleHandleW(libraryName);
    if (!descriptor || !library)
        return 0;
    const uintptr_t* names = reinterpret_cast<const uintptr_t*>(__ImageBase + Read32(descriptor));
    const uintptr_t* addresses = reinterpret_cast<const uintptr_t*>(__ImageBase + Read32(descriptor + 16));
    const uintptr_t byOrdinal = uintptr_t(1) << (sizeof(uintptr_t) * 8 - 1);
    int bound = 0, unbound = 0;
    for (; *names != 0; ++names, ++addresses) {
        void* exported = nullptr;
        if (!(*names & byOrdinal)) // the name follows a two-byte hint
            exported = GetProcAddress(library, reinterpret_cast<const char*>(__ImageBase + *names + 2));
        if (exported != nullptr && reinterpret_cast<uintptr_t>(exported) == *addresses)
            ++bound;
        else
            ++unbound;
    }
    return bound | (unbound ? 0x80 : 0);
}

bool VersionIsTheKits() {
    wchar_t version[32] = {L'?'};
    GetDllVersion(version, 32);
    const wchar_t expected[] = ORVEX_KIT_VERSION;
    for (unsigned i = 0; i < sizeof(expected) / sizeof(expected[0]); ++i)
        if (version[i] != expected[i])
            return false;
    return true;
}

} // namespace

extern "C" int __cdecl CallerStart() {
    // Every address is read, so that no reference is dropped.
    for (const void* function : everyFunction)
        lastFunctionRead = function;
    return BoundImports() | (VersionIsTheKits() ? 0 : 0x40);
}
