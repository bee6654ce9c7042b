// The built-in backend's device calls (lockdown, sessions, services and
// notifications), bound by the exports table.
#pragma once

#include "platform/vendor_abi.h"

namespace backend::calls {

int __cdecl AMDeviceNotificationSubscribe(am_device_notification_callback callback, unsigned int unused0,
                                          unsigned int unused1, void* context, am_device_notification** notification);
int __cdecl AMDeviceNotificationUnsubscribe(am_device_notification* notification);
am_device* __cdecl AMDeviceRetain(am_device* device);
void __cdecl AMDeviceRelease(am_device* device);
CFStringRef __cdecl AMDeviceCopyDeviceIdentifier(am_device* device);
int __cdecl AMDeviceConnect(am_device* device);
int __cdecl AMDeviceDisconnect(am_device* device);
int __cdecl AMDeviceIsPaired(am_device* device);
int __cdecl AMDevicePair(am_device* device);
int __cdecl AMDeviceValidatePairing(am_device* device);
int __cdecl AMDeviceStartSession(am_device* device);
int __cdecl AMDeviceStopSession(am_device* device);
CFTypeRef __cdecl AMDeviceCopyValue(am_device* device, CFStringRef domain, CFStringRef key);
int __cdecl AMDeviceSetValue(am_device* device, CFStringRef domain, CFStringRef key, CFTypeRef value);
int __cdecl AMDeviceStartService(am_device* device, CFStringRef serviceName, SOCKET* socket, unsigned int* unused);

} // namespace backend::calls
