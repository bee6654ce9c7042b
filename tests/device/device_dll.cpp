#include "tests/device/device_dll.h"

namespace testutil {
namespace {

template <typename F> void Bind(HMODULE module, const char* name, F* slot) {
    *slot = reinterpret_cast<F>(reinterpret_cast<void (*)()>(::GetProcAddress(module, name)));
}

} // namespace

DeviceDll::DeviceDll() {
    HMODULE m = ::LoadLibraryW(L"OrvexDevice.dll");
    if (!m)
        return;
#define TESTUTIL_BIND(name, x86, x64) Bind(m, ORVEX_DECORATED(x86, x64), &name);
    ORVEX_DEVICE_EXPORTS(TESTUTIL_BIND)
#undef TESTUTIL_BIND
    module = m;
}

DeviceDll::~DeviceDll() {
    if (module)
        ::FreeLibrary(module);
}

} // namespace testutil
