// Provisioning profiles installed through the device's misagent service.
#pragma once

#include "platform/vendor_abi.h"

namespace backend {

// The largest profile file taken.
constexpr size_t kMostProfileBytes = 1024 * 1024;

int __cdecl AMDeviceInstallProvisioningProfile(am_device* device, CFURLRef profileUrl);

} // namespace backend
