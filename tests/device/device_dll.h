// The device library as a caller sees it: OrvexDevice.dll loaded by name and
// its exports bound by their decorated names.
#pragma once

#include "device/OrvexDevice.h"
#include "device/OrvexDeviceExports.h"

#include <windows.h>

namespace testutil {

struct DeviceDll {
    DeviceDll();
    ~DeviceDll();
    DeviceDll(const DeviceDll&) = delete;
    DeviceDll& operator=(const DeviceDll&) = delete;
    bool ok() const { return module != nullptr; }

    HMODULE module = nullptr;
#define TESTUTIL_SLOT(name, x86, x64) decltype(&::name) name = nullptr;
    ORVEX_DEVICE_EXPORTS(TESTUTIL_SLOT)
#undef TESTUTIL_SLOT
};

} // namespace testutil
