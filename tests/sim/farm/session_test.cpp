// The device rules of the stand-in library, through its exports: pairing,
// sessions, services, lockdown values, and what is left after an unplug.
#include "tests/sim/farm/device_fixture.h"

#include "platform/file.h"
#include "platform/text.h"

namespace simtest {
namespace {

using SessionTest = DeviceTest;

TEST_F(SessionTest, ExportsEveryNameOfTheBindingTable) {
    const char* names[] = {"AMDeviceNotificationSubscribe",
                           "AMDeviceNotificationUnsubscribe",
                           "AMDeviceGetConnectionID",
                           "AMDeviceCopyDeviceIdentifier",
                           "AMDeviceConnect",
                           "AMDeviceIsPaired",
                           "AMDevicePair",
                           "AMDeviceValidatePairing",
                           "AMDeviceStartSession",
                           "AMDeviceCopyValue",
                           "AMDeviceSetValue",
                           "AMDeviceStartService",
                           "AMDeviceStartServiceWithOptions",
                           "AMDeviceInstallProvisioningProfile",
                           "AMDeviceStopSession",
                           "AMDeviceRelease",
                           "AMDeviceRetain",
                           "AFCConnectionOpen",
                           "AFCDeviceInfoOpen",
                           "AFCDirectoryOpen",
                           "AFCDirectoryRead",
                           "AFCDirectoryClose",
                           "AFCDirectoryCreate",
                           "AFCRemovePath",
                           "AFCRenamePath",
                           "AFCLinkPath",
                           "AFCFileRefOpen",
                           "AFCFileRefRead",
                           "AFCFileRefWrite",
                           "AFCFileRefSeek",
                           "AFCFileRefTell",
                           "AFCFileRefSetFileSize",
                           "AFCFileRefLock",
                           "AFCFileRefUnlock",
                           "AFCFileRefClose",
                           "AFCFileInfoOpen",
                           "AFCKeyValueRead",
                           "AFCKeyValueClose",
                           "AFCConnectionGetContext",
                           "AFCConnectionGetFSBlockSize",
                           "AFCConnectionGetIOTimeout",
                           "AFCConnectionGetSocketBlockSize",
                           "AFCConnectionClose",
                           "AMDServiceConnectionGetSecureIOContext",
                           "AFCConnectionSetSecureContext",
                           "AMRestoreRegisterForDeviceNotifications",
                           "AMRestoreEnableFileLogging",
                           "AMRestoreCreateDefaultOptions",
                           "AMRestorePerformRecoveryModeRestore",
                           "AMRestorePerformRestoreModeRestore",
                           "AMRestoreModeDeviceCreate",
                           "AMRestoreCreatePathsForBundle",
                           "AMRestoreModeDeviceReboot",
                           "AMDeviceEnterRecovery",
                           "AMDeviceDisconnect",
                           "AMDeviceDeactivate",
                           "AMDeviceActivate",
                           "AMDeviceRemoveValue",
                           "USBMuxListenerCreate",
                           "AMDeviceLookupApplications",
                           "AMDeviceSecureTransferPath",
                           "AMDeviceSecureInstallApplication",
                           "AMDeviceSecureUpgradeApplication",
                           "AMDeviceSecureUninstallApplication"};
    EXPECT_EQ(std::size(names), 64u);
    for (const char* name : names)
        EXPECT_NE(farm->Function(name), nullptr) << name;
}

TEST_F(SessionTest, CallsTheProgramNeverMakesFail) {
    struct Case {
        const char* name;
        bool pointer;
    } cases[] = {{"AMDeviceGetConnectionID", false},
                 {"AMDeviceStartServiceWithOptions", false},
                 {"AFCLinkPath", false},
                 {"AFCFileRefSeek", false},
                 {"AMDeviceRemoveValue", false},
                 {"AMDeviceActivate", false},
                 {"AFCConnectionGetContext", true},
                 {"AMRestoreCreateDefaultOptions", true}};
    for (const Case& c : cases) {
        FARPROC f = farm->Function(c.name);
        ASSERT_NE(f, nullptr) << c.name;
        if (c.pointer)
            EXPECT_EQ(reinterpret_cast<void*(__cdecl*)(void*, void*)>(reinterpret_cast<void*>(f))(nullptr, nullptr),
                      nullptr)
                << c.name;
        else
            EXPECT_NE(reinterpret_cast<int(__cdecl*)(void*, void*)>(reinterpret_cast<void*>(f))(nullptr, nullptr), 0)
                << c.name;
    }
}

TEST_F(SessionTest, SessionNeedsConnectionAndPairing) {
    std::wstring id = farm->Create(testfarm::kIPhone4S);
    am_device* device = Announced(id);
    ASSERT_NE(device, nullptr);
    Owned afc2(cf(), cf().String("com.apple.afc2"));
    SOCKET s = INVALID_SOCKET;

    EXPECT_NE(md().AMDeviceStartSession(device), 0) << "no session before connecting";
    EXPECT_NE(md().AMDevicePair(device), 0) << "no pairing before connecting";
    ASSERT_EQ(md().AMDeviceConnect(device), 0);
    EXPECT_EQ(md().AMDeviceIsPaired(device), 0) << "a new device is not paired";
    EXPECT_NE(md().AMDeviceValidatePairing(device), 0);
    EXPECT_NE(md().AMDeviceStartSession(device), 0) << "no session without a pairing";
    EXPECT_NE(md().AMDeviceStartService(device, static_cast<CFStringRef>(afc2.get()), &s, nullptr), 0)
        << "no service outside a session";

    EXPECT_EQ(md().AMDevicePair(device), 0);
    EXPECT_NE(md().AMDeviceIsPaired(device), 0);
    EXPECT_EQ(md().AMDeviceValidatePairing(device), 0);
    ASSERT_EQ(md().AMDeviceStartSession(device), 0);
    EXPECT_NE(md().AMDeviceStartSession(device), 0) << "one session at a time";
    ASSERT_EQ(md().AMDeviceStartService(device, static_cast<CFStringRef>(afc2.get()), &s, nullptr), 0);
    EXPECT_EQ(md().AMDeviceStopSession(device), 0);
    EXPECT_NE(md().AMDeviceStopSession(device), 0) << "no session left to stop";
    SOCKET after = INVALID_SOCKET;
    EXPECT_NE(md().AMDeviceStartService(device, static_cast<CFStringRef>(afc2.get()), &after, nullptr), 0);
    EXPECT_EQ(md().AMDeviceDisconnect(device), 0);

    // The service socket is a real socket, and the file connection on it
    // works with the session and the connection gone.
    afc_connection* connection = nullptr;
    ASSERT_EQ(md().AFCConnectionOpen(s, 0, &connection), 0);
    EXPECT_FALSE(List(connection, "/").empty());
    EXPECT_EQ(md().AFCConnectionClose(connection), 0);
    EXPECT_EQ(::closesocket(s), 0);
    EXPECT_NE(md().AFCConnectionOpen(s, 0, &connection), 0) << "a closed socket is no service";
}

TEST_F(SessionTest, PairingSurvivesAnotherConnection) {
    std::wstring id = farm->Create(testfarm::kIPhone4S);
    am_device* device = Announced(id);
    ASSERT_NE(device, nullptr);
    ASSERT_TRUE(OpenSession(device));
    CloseSession(device);
    ASSERT_EQ(md().AMDeviceConnect(device), 0);
    EXPECT_NE(md().AMDeviceIsPaired(device), 0);
    md().AMDeviceDisconnect(device);
}

TEST_F(SessionTest, ServicesFollowTheJailbreak) {
    struct Case {
        const wchar_t* templateName;
        bool afc2;
    } cases[] = {
        {testfarm::kIPhone4S, true}, {testfarm::kIPad2, false}, {testfarm::kIPod4, true}, {testfarm::kIPhone5, true}};
    for (const Case& c : cases) {
        std::wstring id = farm->Create(c.templateName);
        am_device* device = Announced(id);
        ASSERT_NE(device, nullptr);
        ASSERT_TRUE(OpenSession(device));
        SOCKET s = INVALID_SOCKET;
        Owned afc2(cf(), cf().String("com.apple.afc2"));
        Owned afc(cf(), cf().String("com.apple.afc"));
        Owned bogus(cf(), cf().String("com.example.nothing"));
        int privileged = md().AMDeviceStartService(device, static_cast<CFStringRef>(afc2.get()), &s, nullptr);
        EXPECT_EQ(privileged == 0, c.afc2) << WideToUtf8(c.templateName);
        if (privileged == 0)
            ::closesocket(s);
        EXPECT_EQ(md().AMDeviceStartService(device, static_cast<CFStringRef>(afc.get()), &s, nullptr), 0);
        ::closesocket(s);
        EXPECT_NE(md().AMDeviceStartService(device, static_cast<CFStringRef>(bogus.get()), &s, nullptr), 0);
        CloseSession(device);
    }
}

TEST_F(SessionTest, LockdownValuesByDomainAndKey) {
    std::wstring id = farm->Create(testfarm::kIPhone4S);
    am_device* device = Announced(id);
    ASSERT_NE(device, nullptr);
    Owned productKey(cf(), cf().String("ProductType"));
    EXPECT_EQ(md().AMDeviceCopyValue(device, nullptr, static_cast<CFStringRef>(productKey.get())), nullptr)
        << "values need a session";
    ASSERT_TRUE(OpenSession(device));

    Owned product(cf(), md().AMDeviceCopyValue(device, nullptr, static_cast<CFStringRef>(productKey.get())));
    EXPECT_EQ(cf().Utf8(product.get()), "iPhone4,1");

    Owned diskDomain(cf(), cf().String("com.apple.disk_usage"));
    Owned capacityKey(cf(), cf().String("TotalDiskCapacity"));
    Owned capacity(cf(), md().AMDeviceCopyValue(device, static_cast<CFStringRef>(diskDomain.get()),
                                                static_cast<CFStringRef>(capacityKey.get())));
    EXPECT_EQ(cf().Number(capacity.get()), 16005464064LL);

    Owned batteryDomain(cf(), cf().String("com.apple.mobile.battery"));
    Owned battery(cf(), md().AMDeviceCopyValue(device, static_cast<CFStringRef>(batteryDomain.get()), nullptr));
    ASSERT_TRUE(battery);
    ASSERT_EQ(cf().CFGetTypeID(battery.get()), cf().CFDictionaryGetTypeID());
    Owned levelKey(cf(), cf().String("BatteryCurrentCapacity"));
    EXPECT_EQ(cf().Number(cf().CFDictionaryGetValue(static_cast<CFDictionaryRef>(battery.get()), levelKey.get())), 83);

    Owned whole(cf(), md().AMDeviceCopyValue(device, nullptr, nullptr));
    ASSERT_TRUE(whole);
    EXPECT_GE(cf().CFDictionaryGetCount(static_cast<CFDictionaryRef>(whole.get())), 36);

    Owned missingKey(cf(), cf().String("NoSuchKey"));
    EXPECT_EQ(md().AMDeviceCopyValue(device, nullptr, static_cast<CFStringRef>(missingKey.get())), nullptr);
    Owned missingDomain(cf(), cf().String("com.example.none"));
    EXPECT_EQ(md().AMDeviceCopyValue(device, static_cast<CFStringRef>(missingDomain.get()), nullptr), nullptr);

    // A value changed in the farm is what the device answers next.
    ASSERT_TRUE(farm->SetValue(id, L"UniqueChipID", L"18446744073709551615"));
    Owned chipKey(cf(), cf().String("UniqueChipID"));
    Owned chip(cf(), md().AMDeviceCopyValue(device, nullptr, static_cast<CFStringRef>(chipKey.get())));
    EXPECT_EQ(static_cast<unsigned long long>(cf().Number(chip.get())), 18446744073709551615ULL);
    CloseSession(device);
}

TEST_F(SessionTest, OnlyTheDeviceNameCanBeSet) {
    std::wstring id = farm->Create(testfarm::kIPad2);
    am_device* device = Announced(id);
    ASSERT_NE(device, nullptr);
    ASSERT_TRUE(OpenSession(device));
    Owned nameKey(cf(), cf().String("DeviceName"));
    Owned name(cf(), cf().String("\xE5\xB9\xB3\xE6\x9D\xBF"));
    EXPECT_EQ(md().AMDeviceSetValue(device, nullptr, static_cast<CFStringRef>(nameKey.get()), name.get()), 0);
    Owned empty(cf(), cf().String(""));
    EXPECT_NE(md().AMDeviceSetValue(device, nullptr, static_cast<CFStringRef>(nameKey.get()), empty.get()), 0);
    Owned productKey(cf(), cf().String("ProductType"));
    EXPECT_NE(md().AMDeviceSetValue(device, nullptr, static_cast<CFStringRef>(productKey.get()), name.get()), 0);
    CloseSession(device);

    EXPECT_EQ(farm->Value(id, L"DeviceName"), L"\u5E73\u677F");
    EXPECT_EQ(farm->Value(id, L"ProductType"), L"iPad2,5");
    ASSERT_TRUE(OpenSession(device));
    Owned stored(cf(), md().AMDeviceCopyValue(device, nullptr, static_cast<CFStringRef>(nameKey.get())));
    EXPECT_EQ(cf().Utf8(stored.get()), "\xE5\xB9\xB3\xE6\x9D\xBF");
    CloseSession(device);
}

TEST_F(SessionTest, EveryCallFailsAfterTheUnplug) {
    std::wstring id = farm->Create(testfarm::kIPhone4S);
    am_device* device = Announced(id);
    ASSERT_NE(device, nullptr);
    ASSERT_NE(md().AMDeviceRetain(device), nullptr);
    SOCKET s = INVALID_SOCKET;
    afc_connection* connection = OpenAfc(device, "com.apple.afc2", &s);
    ASSERT_NE(connection, nullptr);
    afc_file_ref ref = 0;
    ASSERT_EQ(md().AFCFileRefOpen(connection, "/var/mobile/Media/a.txt", AFC_FOPEN_WRONLY, &ref), 0);
    ASSERT_TRUE(OpenSession(device));

    ASSERT_TRUE(farm->Detach(id));
    Owned productKey(cf(), cf().String("ProductType"));
    EXPECT_EQ(md().AMDeviceCopyValue(device, nullptr, static_cast<CFStringRef>(productKey.get())), nullptr);
    EXPECT_NE(md().AMDeviceStopSession(device), 0);
    EXPECT_NE(md().AMDeviceConnect(device), 0);
    EXPECT_EQ(md().AMDeviceIsPaired(device), 0);
    EXPECT_NE(md().AFCFileRefWrite(connection, ref, "x", 1), 0);
    EXPECT_TRUE(List(connection, "/").empty());
    EXPECT_NE(md().AFCDirectoryCreate(connection, "/tmp/x"), 0);
    EXPECT_NE(md().AFCFileRefClose(connection, ref), 0);
    EXPECT_NE(md().AFCConnectionClose(connection), 0);
    ::closesocket(s);
    // The identifier is still known: a removal notice names the device.
    EXPECT_EQ(Identifier(device), WideToUtf8(id.c_str()));

    // Plugged in again, the device comes back on a new handle; the old one
    // stays dead.
    ASSERT_TRUE(farm->Attach(id));
    ASSERT_TRUE(announcements.WaitFor(3, 3000));
    auto events = announcements.Snapshot();
    EXPECT_EQ(events[1].first, device);
    EXPECT_EQ(events[1].second, ADNCI_MSG_DISCONNECTED);
    EXPECT_EQ(events[2].second, ADNCI_MSG_CONNECTED);
    EXPECT_NE(events[2].first, device);
    EXPECT_NE(md().AMDeviceConnect(device), 0);
    EXPECT_TRUE(OpenSession(events[2].first));
    CloseSession(events[2].first);
    md().AMDeviceRelease(device);
}

} // namespace
} // namespace simtest

namespace simtest {
namespace {

TEST_F(SessionTest, ControlFunctionsChooseTheFarm) {
    using SetFarm = int(__cdecl*)(const wchar_t*);
    using GetFarm = int(__cdecl*)(wchar_t*, unsigned);
    auto setFarm = reinterpret_cast<SetFarm>(reinterpret_cast<void*>(farm->Function("DeviceSimSetFarm")));
    auto getFarm = reinterpret_cast<GetFarm>(reinterpret_cast<void*>(farm->Function("DeviceSimGetFarm")));
    ASSERT_TRUE(setFarm && getFarm);
    wchar_t folder[MAX_PATH * 2] = {};
    ASSERT_EQ(getFarm(folder, MAX_PATH * 2), 0);
    EXPECT_EQ(_wcsicmp(folder, farm->folder().c_str()), 0) << "DEVICESIM_FARM, set by the helper";
    wchar_t tiny[4] = {};
    EXPECT_EQ(getFarm(tiny, 4), 2) << "too small a buffer";

    testutil::TempDir other;
    ASSERT_EQ(setFarm(other.path().c_str()), 0);
    std::wstring id = farm->Create(testfarm::kIPod4);
    ASSERT_FALSE(id.empty());
    EXPECT_TRUE(IsLocalFile(other / (id + L"\\device.plist")));
    am_device* device = Announced(id);
    ASSERT_NE(device, nullptr);
    EXPECT_TRUE(OpenSession(device));
    CloseSession(device);
    md().AMDeviceNotificationUnsubscribe(subscription);
    subscription = nullptr;
    announcements.ReleaseAll();
    ASSERT_EQ(setFarm(nullptr), 0);
    ASSERT_EQ(getFarm(folder, MAX_PATH * 2), 0);
    EXPECT_EQ(_wcsicmp(folder, farm->folder().c_str()), 0);
    EXPECT_FALSE(farm->Attach(id)) << "that device lives in the other farm";
    EXPECT_FALSE(farm->LastError().empty());
}

} // namespace
} // namespace simtest
