// The built-in backend's exports table: every name of the device library in
// the binding table has an entry, nothing else does, and a call given
// nothing to work on fails cleanly (an error code or null, never a crash).
#include "backend/backend.h"
#include "platform/binding_table.h"
#include "platform/vendor_abi.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

ORVEX_AMD_CALLS(ORVEX_DECLARE_CALL_TYPE)

#define ORVEX_NAME_Amd(name) names.push_back(#name);
#define ORVEX_NAME_Cf(name)
#define ORVEX_COLLECT(library, kind, name) ORVEX_NAME_##library(name)

std::vector<std::string> DeviceLibraryNames() {
    std::vector<std::string> names;
    ORVEX_BINDING_TABLE(ORVEX_COLLECT)
    return names;
}

template <class Function> Function Bound(const char* name) {
    return reinterpret_cast<Function>(const_cast<void*>(backend::DeviceAddress(name)));
}

TEST(Exports, EveryDeviceLibraryNameHasAnEntryAndNoOtherNameHas) {
    const std::vector<std::string> names = DeviceLibraryNames();
    ASSERT_EQ(names.size(), 65u);
    for (const std::string& name : names)
        EXPECT_NE(backend::DeviceAddress(name.c_str()), nullptr) << name;
    for (const char* other : {"CFRelease", "kCFBooleanTrue", "AMDeviceFoo", "", "amdeviceconnect"})
        EXPECT_EQ(backend::DeviceAddress(other), nullptr) << other;
    EXPECT_EQ(backend::DeviceAddress(nullptr), nullptr);
}

TEST(Exports, CallsGivenNoDeviceFailCleanly) {
    EXPECT_EQ(Bound<AMDeviceIsPaired_fn>("AMDeviceIsPaired")(nullptr), 0) << "not paired";
    for (const char* name : {"AMDeviceConnect", "AMDevicePair", "AMDeviceValidatePairing", "AMDeviceStartSession",
                             "AMDeviceStopSession", "AMDeviceDisconnect"})
        EXPECT_NE(Bound<AMDeviceConnect_fn>(name)(nullptr), 0) << name;
    EXPECT_EQ(Bound<AMDeviceCopyDeviceIdentifier_fn>("AMDeviceCopyDeviceIdentifier")(nullptr), nullptr);
    EXPECT_EQ(Bound<AMDeviceRetain_fn>("AMDeviceRetain")(nullptr), nullptr);
    Bound<AMDeviceRelease_fn>("AMDeviceRelease")(nullptr);
    EXPECT_EQ(Bound<AMDeviceCopyValue_fn>("AMDeviceCopyValue")(nullptr, nullptr, nullptr), nullptr);
    EXPECT_NE(Bound<AMDeviceSetValue_fn>("AMDeviceSetValue")(nullptr, nullptr, nullptr, nullptr), 0);
    SOCKET socket = 12345;
    EXPECT_NE(Bound<AMDeviceStartService_fn>("AMDeviceStartService")(nullptr, nullptr, &socket, nullptr), 0);
    EXPECT_EQ(socket, static_cast<SOCKET>(12345)) << "nothing is written on failure";
    EXPECT_NE(Bound<AMDeviceNotificationSubscribe_fn>("AMDeviceNotificationSubscribe")(nullptr, 0, 0, nullptr, nullptr),
              0);
    EXPECT_NE(Bound<AMDeviceNotificationUnsubscribe_fn>("AMDeviceNotificationUnsubscribe")(nullptr), 0);
}

TEST(Exports, NamesTheLibraryNeverCallsFailCleanly) {
    using IntCall = int(__cdecl*)(void*, void*, void*);
    using PointerCall = void*(__cdecl*)(void*, void*, void*);
    for (const char* name : {"AMDeviceActivate", "AMDeviceEnterRecovery", "AFCFileRefSeek", "AMDeviceRemoveValue",
                             "AMDeviceSecureTransferPath", "AMRestorePerformRecoveryModeRestore"})
        EXPECT_NE(Bound<IntCall>(name)(nullptr, nullptr, nullptr), 0) << name;
    for (const char* name : {"AMRestoreCreateDefaultOptions", "AFCConnectionGetContext", "USBMuxListenerCreate",
                             "AMRestoreModeDeviceCreate"})
        EXPECT_EQ(Bound<PointerCall>(name)(nullptr, nullptr, nullptr), nullptr) << name;
}

} // namespace
