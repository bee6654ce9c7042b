// The built-in backend's exports table: every Amd name of the binding
// table, one line each, bound to its implementation or to a stub that fails
// cleanly. The calls the device library makes (ORVEX_AMD_CALLS) are checked
// against their signatures here.
#include "backend/afc.h"
#include "backend/backend.h"
#include "backend/device_calls.h"
#include "backend/installation_proxy.h"
#include "backend/misagent.h"
#include "backend/stubs.h"
#include "platform/vendor_abi.h"

#include <cstring>

namespace backend {

namespace {

namespace types {
ORVEX_AMD_CALLS(ORVEX_DECLARE_CALL_TYPE)
} // namespace types

// A failing stub of each call the device library makes, with its own
// signature.
namespace stubs {
#define ORVEX_BACKEND_STUB(result, name, params)                                                                       \
    [[maybe_unused]] result __cdecl name params { return Failed<result>(); }
ORVEX_AMD_CALLS(ORVEX_BACKEND_STUB)
#undef ORVEX_BACKEND_STUB
} // namespace stubs

// The stubs of the names the device library never calls: their arguments
// are the caller's to clean up (__cdecl), so one stub serves every
// signature with the same kind of result.
int __cdecl FailWithError() { return kUnsupportedError; }
void* __cdecl FailWithNull() { return nullptr; }

struct Export {
    const char* name;
    const void* address;
};

#define ORVEX_CALL(name, implementation)                                                                               \
    Export { #name, reinterpret_cast < const void*>(static_cast <types::name##_fn>(&implementation)) }
#define ORVEX_STUB(name) ORVEX_CALL(name, stubs::name)
#define ORVEX_ERROR_STUB(name)                                                                                         \
    Export { #name, reinterpret_cast < const void*>(&FailWithError) }
#define ORVEX_NULL_STUB(name)                                                                                          \
    Export { #name, reinterpret_cast < const void*>(&FailWithNull) }

// clang-format off
const Export kExports[] = {
    ORVEX_CALL(AMDeviceNotificationSubscribe, calls::AMDeviceNotificationSubscribe),
    ORVEX_CALL(AMDeviceNotificationUnsubscribe, calls::AMDeviceNotificationUnsubscribe),
    ORVEX_ERROR_STUB(AMDeviceGetConnectionID),
    ORVEX_CALL(AMDeviceCopyDeviceIdentifier, calls::AMDeviceCopyDeviceIdentifier),
    ORVEX_CALL(AMDeviceConnect, calls::AMDeviceConnect),
    ORVEX_CALL(AMDeviceIsPaired, calls::AMDeviceIsPaired),
    ORVEX_CALL(AMDevicePair, calls::AMDevicePair),
    ORVEX_CALL(AMDeviceValidatePairing, calls::AMDeviceValidatePairing),
    ORVEX_CALL(AMDeviceStartSession, calls::AMDeviceStartSession),
    ORVEX_CALL(AMDeviceCopyValue, calls::AMDeviceCopyValue),
    ORVEX_CALL(AMDeviceSetValue, calls::AMDeviceSetValue),
    ORVEX_CALL(AMDeviceStartService, calls::AMDeviceStartService),
    ORVEX_ERROR_STUB(AMDeviceStartServiceWithOptions),
    ORVEX_CALL(AMDeviceInstallProvisioningProfile, backend::AMDeviceInstallProvisioningProfile),
    ORVEX_CALL(AMDeviceStopSession, calls::AMDeviceStopSession),
    ORVEX_CALL(AMDeviceRelease, calls::AMDeviceRelease),
    ORVEX_CALL(AMDeviceRetain, calls::AMDeviceRetain),
    ORVEX_CALL(AFCConnectionOpen, backend::AFCConnectionOpen),
    ORVEX_CALL(AFCDeviceInfoOpen, backend::AFCDeviceInfoOpen),
    ORVEX_CALL(AFCDirectoryOpen, backend::AFCDirectoryOpen),
    ORVEX_CALL(AFCDirectoryRead, backend::AFCDirectoryRead),
    ORVEX_CALL(AFCDirectoryClose, backend::AFCDirectoryClose),
    ORVEX_CALL(AFCDirectoryCreate, backend::AFCDirectoryCreate),
    ORVEX_CALL(AFCRemovePath, backend::AFCRemovePath),
    ORVEX_CALL(AFCRenamePath, backend::AFCRenamePath),
    ORVEX_ERROR_STUB(AFCLinkPath),
    ORVEX_CALL(AFCFileRefOpen, backend::AFCFileRefOpen),
    ORVEX_CALL(AFCFileRefRead, backend::AFCFileRefRead),
    ORVEX_CALL(AFCFileRefWrite, backend::AFCFileRefWrite),
    ORVEX_ERROR_STUB(AFCFileRefSeek),
    ORVEX_ERROR_STUB(AFCFileRefTell),
    ORVEX_ERROR_STUB(AFCFileRefSetFileSize),
    ORVEX_ERROR_STUB(AFCFileRefLock),
    ORVEX_ERROR_STUB(AFCFileRefUnlock),
    ORVEX_CALL(AFCFileRefClose, backend::AFCFileRefClose),
    ORVEX_CALL(AFCFileInfoOpen, backend::AFCFileInfoOpen),
    ORVEX_CALL(AFCKeyValueRead, backend::AFCKeyValueRead),
    ORVEX_CALL(AFCKeyValueClose, backend::AFCKeyValueClose),
    ORVEX_NULL_STUB(AFCConnectionGetContext),
    ORVEX_ERROR_STUB(AFCConnectionGetFSBlockSize),
    ORVEX_ERROR_STUB(AFCConnectionGetIOTimeout),
    ORVEX_ERROR_STUB(AFCConnectionGetSocketBlockSize),
    ORVEX_CALL(AFCConnectionClose, backend::AFCConnectionClose),
    ORVEX_NULL_STUB(AMDServiceConnectionGetSecureIOContext),
    ORVEX_ERROR_STUB(AFCConnectionSetSecureContext),
    ORVEX_ERROR_STUB(AMRestoreRegisterForDeviceNotifications),
    ORVEX_ERROR_STUB(AMRestoreEnableFileLogging),
    ORVEX_NULL_STUB(AMRestoreCreateDefaultOptions),
    ORVEX_ERROR_STUB(AMRestorePerformRecoveryModeRestore),
    ORVEX_ERROR_STUB(AMRestorePerformRestoreModeRestore),
    ORVEX_NULL_STUB(AMRestoreModeDeviceCreate),
    ORVEX_NULL_STUB(AMRestoreCreatePathsForBundle),
    ORVEX_ERROR_STUB(AMRestoreModeDeviceReboot),
    ORVEX_ERROR_STUB(AMDeviceEnterRecovery),
    ORVEX_CALL(AMDeviceDisconnect, calls::AMDeviceDisconnect),
    ORVEX_ERROR_STUB(AMDeviceDeactivate),
    ORVEX_ERROR_STUB(AMDeviceActivate),
    ORVEX_ERROR_STUB(AMDeviceRemoveValue),
    ORVEX_NULL_STUB(USBMuxListenerCreate),
    ORVEX_CALL(AMDeviceLookupApplications, backend::AMDeviceLookupApplications),
    ORVEX_ERROR_STUB(AMDeviceSecureTransferPath),
    ORVEX_CALL(AMDeviceSecureInstallApplication, backend::AMDeviceSecureInstallApplication),
    ORVEX_CALL(AMDeviceSecureUpgradeApplication, backend::AMDeviceSecureUpgradeApplication),
    ORVEX_CALL(AMDeviceSecureUninstallApplication, backend::AMDeviceSecureUninstallApplication),
};
// clang-format on

} // namespace

const void* DeviceAddress(const char* name) {
    if (!name)
        return nullptr;
    for (const Export& entry : kExports) {
        if (std::strcmp(entry.name, name) == 0)
            return entry.address;
    }
    return nullptr;
}

} // namespace backend
