// The calls of the vendor's device library that this program never makes.
// They exist so that every name of the binding table resolves; each fails:
// a non-zero status, or null where the vendor's call returns a pointer.
// (Arguments are ignored; with __cdecl the caller removes them.)
#include "sim/farm/status.h"

using namespace simfarm;

extern "C" {
int __cdecl AMDeviceGetConnectionID() { return kAmdUnsupportedError; }
int __cdecl AMDeviceStartServiceWithOptions() { return kAmdUnsupportedError; }
int __cdecl AMRestoreRegisterForDeviceNotifications() { return kAmdUnsupportedError; }
int __cdecl AMRestoreEnableFileLogging() { return kAmdUnsupportedError; }
int __cdecl AMRestorePerformRecoveryModeRestore() { return kAmdUnsupportedError; }
int __cdecl AMRestorePerformRestoreModeRestore() { return kAmdUnsupportedError; }
int __cdecl AMRestoreModeDeviceReboot() { return kAmdUnsupportedError; }
int __cdecl AMDeviceEnterRecovery() { return kAmdUnsupportedError; }
int __cdecl AMDeviceDeactivate() { return kAmdUnsupportedError; }
int __cdecl AMDeviceActivate() { return kAmdUnsupportedError; }
int __cdecl AMDeviceRemoveValue() { return kAmdUnsupportedError; }
int __cdecl USBMuxListenerCreate() { return kAmdUnsupportedError; }
int __cdecl AMDeviceSecureTransferPath() { return kAmdUnsupportedError; }
int __cdecl AFCLinkPath() { return kAfcNotSupported; }
int __cdecl AFCFileRefSeek() { return kAfcNotSupported; }
int __cdecl AFCFileRefTell() { return kAfcNotSupported; }
int __cdecl AFCFileRefSetFileSize() { return kAfcNotSupported; }
int __cdecl AFCFileRefLock() { return kAfcNotSupported; }
int __cdecl AFCFileRefUnlock() { return kAfcNotSupported; }
int __cdecl AFCConnectionGetFSBlockSize() { return kAfcNotSupported; }
int __cdecl AFCConnectionGetIOTimeout() { return kAfcNotSupported; }
int __cdecl AFCConnectionGetSocketBlockSize() { return kAfcNotSupported; }
int __cdecl AFCConnectionSetSecureContext() { return kAfcNotSupported; }
void* __cdecl AFCConnectionGetContext() { return nullptr; }
void* __cdecl AMDServiceConnectionGetSecureIOContext() { return nullptr; }
void* __cdecl AMRestoreCreateDefaultOptions() { return nullptr; }
void* __cdecl AMRestoreModeDeviceCreate() { return nullptr; }
void* __cdecl AMRestoreCreatePathsForBundle() { return nullptr; }

} // extern "C"
