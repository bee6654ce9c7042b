// What the installer keeps of the attached device, the display model name
// from the product type, and the companion package that fits the device.
#pragma once

#include "device/OrvexDevice.h"

#include <windows.h>

#include <cstdint>
#include <string>

struct DeviceSummary {
    std::wstring strIdentifier;
    int32_t nJailbroken = 0;
    std::wstring strModelName; // empty for products the model table does not know
};

// The display model name of a product type ("iPhone4,1" → "iPhone 4S"),
// empty when the product is unknown.
std::wstring ModelNameFromProductType(const wchar_t* productType);

// The summary of a device from its information record; `identifier` is the
// identifier the device was announced with.
DeviceSummary SummarizeDevice(const wchar_t* identifier, const __IOS_DEVICE& info);

// Handset editions go to iPhone and iPod models, the tablet edition to
// everything else, unknown products included.
enum class PackageClass { Handset, Tablet };
PackageClass PackageClassOf(const std::wstring& modelName);

struct PackageInfo {
    UINT nResourceId;            // type "DEB"
    const wchar_t* localPath;    // on drive C:
    const wchar_t* deviceName;   // file name on the device
    const wchar_t* downloadPath; // path and query on the maker's download server
};
const PackageInfo& PackageFor(PackageClass packageClass);
