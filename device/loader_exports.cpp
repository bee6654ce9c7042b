// The exports that bind and unbind the vendor libraries, and the version
// entry points.
#include "device/OrvexDevice.h"
#include "device/device_access.h"
#include "device/export_guard.h"
#include "platform/vendor_loader.h"

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

// One and the same function under the two export names. What the library
// would report here is not defined, so the buffer is left unchanged.
void GetDllVersion(wchar_t* /*buffer*/, int /*capacity*/) {}

void GetCopyRight(wchar_t* buffer, int capacity) { GetDllVersion(buffer, capacity); }
