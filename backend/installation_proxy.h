// The installation proxy: applications listed, installed (the archive
// uploaded into PublicStaging over the file service first), upgraded and
// removed. Progress answers reach the caller's function on the caller's
// thread, as they come.
#pragma once

#include "platform/vendor_abi.h"

namespace backend {

int __cdecl AMDeviceLookupApplications(am_device* device, CFDictionaryRef options, CFDictionaryRef* apps);
int __cdecl AMDeviceSecureInstallApplication(int zero, am_device* device, CFURLRef url, CFDictionaryRef options,
                                             am_device_progress_callback callback, void* context);
int __cdecl AMDeviceSecureUpgradeApplication(int zero, am_device* device, CFURLRef url, CFDictionaryRef options,
                                             am_device_progress_callback callback, void* context);
int __cdecl AMDeviceSecureUninstallApplication(int zero, am_device* device, CFStringRef bundleId,
                                               CFDictionaryRef options, am_device_progress_callback callback,
                                               void* context);

} // namespace backend
