// The device library as an outside program sees it: OrvexDevice.dll loaded
// at run time and its 23 exports bound by their decorated names. Only the
// record and callback types come from the public header; no code of the
// library is linked.
#pragma once

#include "device/OrvexDevice.h"
#include "device/OrvexDeviceExports.h"
#include "platform/handles.h"

#include <string>

namespace orvexctl {

struct DeviceApi {
#define ORVEXCTL_SLOT(name, x86, x64) decltype(&::name) name = nullptr;
    ORVEX_DEVICE_EXPORTS(ORVEXCTL_SLOT)
#undef ORVEXCTL_SLOT
};

// Loads `path` and binds every export. On failure returns false and says
// why in `error` (the library that could not be loaded, or the first export
// it lacks); nothing stays loaded.
class DeviceLibrary {
  public:
    bool Load(const std::wstring& path, std::wstring* error);
    const DeviceApi& api() const { return m_api; }

  private:
    UniqueModule m_module;
    DeviceApi m_api;
};

// OrvexDevice.dll beside this program.
std::wstring DefaultLibraryPath();

} // namespace orvexctl
