// The exports that bind and unbind the vendor libraries, and the version
// entry points.
#include "device/OrvexDevice.h"
#include "device/device_access.h"
#include "device/export_guard.h"
#include "platform/vendor_loader.h"

#include "orvex_version.h"

int LoadDllFunctions() {
    return GuardedExport(L"LoadDllFunctions", [] { return LoadVendorLibraries(); });
}

void UnloadDllFunctions() {
    GuardedVoidExport(L"UnloadDllFunctions", [] {
        // The subscription and the listed handles belong to the device
        // library: give them back while it is still loaded.
        if (VendorLibrariesBound())
            ForgetDevices();
        UnloadVendorLibraries();
    });
}

// One and the same function under the two export names: the library's
// version ("1.0.0"), cut to the capacity and always terminated; no buffer
// or no room leaves nothing written.
void GetDllVersion(wchar_t* buffer, int capacity) {
    if (!buffer || capacity <= 0)
        return;
    const wchar_t* version = ORVEX_VERSION_TEXT;
    int n = 0;
    for (; n + 1 < capacity && version[n]; ++n)
        buffer[n] = version[n];
    buffer[n] = L'\0';
}

void GetCopyRight(wchar_t* buffer, int capacity) { GetDllVersion(buffer, capacity); }
