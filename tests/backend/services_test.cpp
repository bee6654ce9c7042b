// The backend's services through its exports against devicesim serve: the
// file service on a started service socket, applications installed,
// upgraded, listed and removed, and a provisioning profile, each checked in
// the farm the server serves.
#include "backend/afc_packet.h"
#include "backend/cf.h"
#include "sim/farm/applications.h"
#include "sim/farm/farm.h"
#include "tests/backend/served_farm.h"
#include "tests/device/ipa_builder.h"
#include "tests/support/test_util.h"
#include "values/CoreFoundation.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <vector>

namespace backendtest {
namespace {

ORVEX_AMD_CALLS(ORVEX_DECLARE_CALL_TYPE)

constexpr uint64_t kWriteOnly = 3, kReadOnly = 1;
const char kBundleId[] = "com.example.servicetest";

std::string Pattern(size_t size) {
    std::string bytes(size, '\0');
    uint32_t x = 12345;
    for (char& c : bytes) {
        x = x * 1103515245u + 12345u;
        c = static_cast<char>(x >> 16);
    }
    return bytes;
}

// A value of the value library, released when it goes.
using Held = backend::Owned<CFTypeRef>;

CFStringRef Text(const char* text) { return CFStringCreateWithCString(nullptr, text, kCFStringEncodingUTF8); }

std::string Utf8(CFTypeRef value) {
    if (!value || CFGetTypeID(value) != CFStringGetTypeID())
        return std::string();
    char buffer[512] = {};
    CFStringGetCString(static_cast<CFStringRef>(value), buffer, sizeof buffer, kCFStringEncodingUTF8);
    return buffer;
}

CFTypeRef Get(CFTypeRef dictionary, const char* key) {
    Held name(Text(key));
    return CFDictionaryGetValue(static_cast<CFDictionaryRef>(dictionary), name.get());
}

CFURLRef FileUrl(const std::wstring& path) {
    std::string text = "file:///";
    for (wchar_t c : path)
        text += c == L'\\' ? '/' : static_cast<char>(c);
    return CFURLCreateWithBytes(nullptr, reinterpret_cast<const uint8_t*>(text.data()),
                                static_cast<CFIndex>(text.size()), kCFStringEncodingUTF8, nullptr);
}

struct Step {
    std::string status;
    int percent;
};
std::vector<Step> g_steps;

void __cdecl RecordStep(CFDictionaryRef info, void*) {
    int32_t percent = -1;
    if (CFTypeRef number = Get(info, "PercentComplete"))
        CFNumberGetValue(static_cast<CFNumberRef>(number), kCFNumberSInt32Type, &percent);
    g_steps.push_back({Utf8(Get(info, "Status")), percent});
}

class ServicesTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { s_farm = new ServedFarm(); }
    static void TearDownTestSuite() {
        delete s_farm;
        s_farm = nullptr;
    }
    void SetUp() override {
        ASSERT_TRUE(s_farm->ok()) << s_farm->error();
        device = s_farm->device();
    }

    // The file service started as the device library starts it: in a
    // session that ends before the connection is opened.
    afc_connection* OpenFiles(SOCKET* socket) {
        *socket = INVALID_SOCKET;
        {
            Session session(device);
            EXPECT_TRUE(session.ok());
            Held name(Text("com.apple.afc2"));
            if (Call<AMDeviceStartService_fn>("AMDeviceStartService")(device, static_cast<CFStringRef>(name.get()),
                                                                      socket, nullptr) != 0)
                return nullptr;
        }
        afc_connection* afc = nullptr;
        EXPECT_EQ(0, Call<AFCConnectionOpen_fn>("AFCConnectionOpen")(*socket, 0, &afc));
        return afc;
    }
    void CloseFiles(afc_connection* afc, SOCKET socket) {
        EXPECT_EQ(0, Call<AFCConnectionClose_fn>("AFCConnectionClose")(afc));
        ::closesocket(socket);
    }

    simfarm::Value App(const char* bundleId) {
        simfarm::Value description = s_farm->Description();
        const simfarm::Value* app = description.SubDict(simfarm::key::kApplications).Find(bundleId);
        return app ? *app : simfarm::Value();
    }

    static ServedFarm* s_farm;
    am_device* device = nullptr;
    const AFCFileRefOpen_fn open = Call<AFCFileRefOpen_fn>("AFCFileRefOpen");
    const AFCFileRefWrite_fn write = Call<AFCFileRefWrite_fn>("AFCFileRefWrite");
    const AFCFileRefRead_fn read = Call<AFCFileRefRead_fn>("AFCFileRefRead");
    const AFCFileRefClose_fn close = Call<AFCFileRefClose_fn>("AFCFileRefClose");
};

ServedFarm* ServicesTest::s_farm = nullptr;

TEST_F(ServicesTest, FileServiceOverTheStartedSocket) {
    SOCKET socket = INVALID_SOCKET;
    afc_connection* afc = OpenFiles(&socket);
    ASSERT_NE(nullptr, afc);

    ASSERT_EQ(0, Call<AFCDirectoryCreate_fn>("AFCDirectoryCreate")(afc, "/var/mobile/Media/bt"));
    // 16 MiB up and down in the device library's 2048-byte chunks.
    const std::string bytes = Pattern(16u << 20);
    afc_file_ref ref = 0;
    ASSERT_EQ(0, open(afc, "/var/mobile/Media/bt/big.bin", kWriteOnly, &ref));
    for (size_t at = 0; at < bytes.size(); at += 2048)
        ASSERT_EQ(0, write(afc, ref, bytes.data() + at, 2048));
    ASSERT_EQ(0, close(afc, ref));
    EXPECT_TRUE(s_farm->DeviceFile("/var/mobile/Media/bt/big.bin") == bytes);
    std::string back;
    ASSERT_EQ(0, open(afc, "/var/mobile/Media/bt/big.bin", kReadOnly, &ref));
    char buffer[2048];
    for (;;) {
        unsigned length = sizeof buffer;
        ASSERT_EQ(0, read(afc, ref, buffer, &length));
        if (length == 0)
            break;
        back.append(buffer, length);
    }
    EXPECT_EQ(0, close(afc, ref));
    EXPECT_TRUE(back == bytes);

    // Attributes, a listing, a rename and removals.
    afc_dictionary* info = nullptr;
    ASSERT_EQ(0, Call<AFCFileInfoOpen_fn>("AFCFileInfoOpen")(afc, "/var/mobile/Media/bt/big.bin", &info));
    std::string size;
    char *key = nullptr, *value = nullptr;
    while (Call<AFCKeyValueRead_fn>("AFCKeyValueRead")(info, &key, &value) == 0 && key)
        size = std::strcmp(key, "st_size") == 0 ? value : size;
    EXPECT_EQ(0, Call<AFCKeyValueClose_fn>("AFCKeyValueClose")(info));
    EXPECT_EQ(std::to_string(bytes.size()), size);
    EXPECT_EQ(0, Call<AFCRenamePath_fn>("AFCRenamePath")(afc, "/var/mobile/Media/bt/big.bin",
                                                         "/var/mobile/Media/bt/moved.bin"));
    afc_directory* dir = nullptr;
    ASSERT_EQ(0, Call<AFCDirectoryOpen_fn>("AFCDirectoryOpen")(afc, "/var/mobile/Media/bt", &dir));
    std::vector<std::string> names;
    char* name = nullptr;
    while (Call<AFCDirectoryRead_fn>("AFCDirectoryRead")(afc, dir, &name) == 0 && name)
        names.push_back(name);
    EXPECT_EQ(0, Call<AFCDirectoryClose_fn>("AFCDirectoryClose")(afc, dir));
    EXPECT_NE(names.end(), std::find(names.begin(), names.end(), "moved.bin"));
    EXPECT_EQ(names.end(), std::find(names.begin(), names.end(), "big.bin"));
    EXPECT_EQ(0, Call<AFCRemovePath_fn>("AFCRemovePath")(afc, "/var/mobile/Media/bt/moved.bin"));
    EXPECT_EQ(0, Call<AFCRemovePath_fn>("AFCRemovePath")(afc, "/var/mobile/Media/bt"));
    EXPECT_EQ(backend::afc::kObjectNotFound, Call<AFCRemovePath_fn>("AFCRemovePath")(afc, "/var/mobile/Media/bt"));
    CloseFiles(afc, socket);
}

TEST_F(ServicesTest, ApplicationsInstalledUpgradedListedAndRemoved) {
    testutil::TempDir dir;
    const std::wstring v1 = dir / L"Service Test 1.ipa", v2 = dir / L"ServiceTest-2.ipa";
    ASSERT_TRUE(testutil::WriteIpa(v1, {kBundleId, "ServiceTest", "1.0"}));
    ASSERT_TRUE(testutil::WriteIpa(v2, {kBundleId, "ServiceTest", "2.0"}));
    Session session(device);
    ASSERT_TRUE(session.ok());
    auto install = Call<AMDeviceSecureInstallApplication_fn>("AMDeviceSecureInstallApplication");
    auto upgrade = Call<AMDeviceSecureUpgradeApplication_fn>("AMDeviceSecureUpgradeApplication");
    auto uninstall = Call<AMDeviceSecureUninstallApplication_fn>("AMDeviceSecureUninstallApplication");
    auto lookup = Call<AMDeviceLookupApplications_fn>("AMDeviceLookupApplications");

    Held url1(FileUrl(v1)), url2(FileUrl(v2));
    EXPECT_NE(0, upgrade(0, device, static_cast<CFURLRef>(url2.get()), nullptr, nullptr, nullptr))
        << "no upgrade of an application that is not there";

    for (auto [call, url, version] : {std::tuple{install, url1.get(), "1.0"}, std::tuple{upgrade, url2.get(), "2.0"}}) {
        SCOPED_TRACE(version);
        g_steps.clear();
        ASSERT_EQ(0, call(0, device, static_cast<CFURLRef>(url), nullptr, RecordStep, nullptr));
        ASSERT_FALSE(g_steps.empty());
        EXPECT_EQ("CopyingFile", g_steps.front().status);
        int previous = 0;
        for (const Step& step : g_steps) {
            EXPECT_GE(step.percent, previous) << step.status;
            previous = step.percent;
        }
        EXPECT_EQ("Complete", g_steps.back().status);
        EXPECT_EQ(100, g_steps.back().percent);
        EXPECT_EQ(version, App(kBundleId).GetString("CFBundleVersion"));
        // The staged archive does not stay on the device.
        std::vector<std::string> staged;
        simfarm::Farm(s_farm->farm().folder())
            .Files(s_farm->farm().udid())
            .List("/var/mobile/Media/PublicStaging", &staged);
        EXPECT_EQ((std::vector<std::string>{".", ".."}), staged);
    }

    // Every application of the farm, keyed by bundle identifier.
    CFDictionaryRef apps = nullptr;
    ASSERT_EQ(0, lookup(device, nullptr, &apps));
    Held all(apps);
    const simfarm::Value farmApps = s_farm->Description().SubDict(simfarm::key::kApplications);
    EXPECT_EQ(static_cast<CFIndex>(farmApps.entries().size()), CFDictionaryGetCount(apps));
    EXPECT_EQ("2.0", Utf8(Get(Get(apps, kBundleId), "CFBundleVersion")));
    EXPECT_EQ("User", Utf8(Get(Get(apps, kBundleId), "ApplicationType")));

    // Named ones looked up.
    Held id(Text(kBundleId));
    const void* idValue = id.get();
    Held ids(CFArrayCreate(nullptr, &idValue, 1, &kCFTypeArrayCallBacks));
    Held options(
        CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
    Held key(Text("BundleIDs"));
    CFDictionarySetValue(static_cast<CFMutableDictionaryRef>(const_cast<void*>(options.get())), key.get(), ids.get());
    CFDictionaryRef named = nullptr;
    ASSERT_EQ(0, lookup(device, static_cast<CFDictionaryRef>(options.get()), &named));
    Held one(named);
    EXPECT_EQ(1, CFDictionaryGetCount(named));

    g_steps.clear();
    ASSERT_EQ(0, uninstall(0, device, static_cast<CFStringRef>(id.get()), nullptr, RecordStep, nullptr));
    EXPECT_FALSE(g_steps.empty());
    EXPECT_FALSE(App(kBundleId).is(simfarm::Value::Kind::Dict));
    EXPECT_NE(0, uninstall(0, device, static_cast<CFStringRef>(id.get()), nullptr, nullptr, nullptr))
        << "the device refuses to remove what is not there";
}

TEST_F(ServicesTest, ProvisioningProfileInstalled) {
    testutil::TempDir dir;
    const std::string profile = "\x30\x82sig<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>UUID</key>"
                                "<string>BBBB-2222</string><key>Name</key><string>Team</string></dict></plist>tail";
    ASSERT_TRUE(testutil::WriteFileBytes(dir / L"team.mobileprovision", profile));
    ASSERT_TRUE(testutil::WriteFileBytes(dir / L"huge.mobileprovision", std::string((1 << 20) + 1, 'p')));
    Session session(device);
    ASSERT_TRUE(session.ok());
    auto installProfile = Call<AMDeviceInstallProvisioningProfile_fn>("AMDeviceInstallProvisioningProfile");
    Held url(FileUrl(dir / L"team.mobileprovision"));
    ASSERT_EQ(0, installProfile(device, static_cast<CFURLRef>(url.get())));
    std::vector<std::string> stored = simfarm::ProfileData(s_farm->Description());
    EXPECT_NE(stored.end(), std::find(stored.begin(), stored.end(), profile));

    for (const wchar_t* bad : {L"huge.mobileprovision", L"missing.mobileprovision"}) {
        Held badUrl(FileUrl(dir / bad));
        EXPECT_NE(0, installProfile(device, static_cast<CFURLRef>(badUrl.get()))) << bad;
    }
    EXPECT_EQ(stored.size(), simfarm::ProfileData(s_farm->Description()).size());
}

// Last: the device goes. A read cut by the server's unplug fault fails
// within bounded time, and so does what follows.
TEST_F(ServicesTest, UnplugMidDownloadFailsSoon) {
    SOCKET socket = INVALID_SOCKET;
    afc_connection* afc = OpenFiles(&socket);
    ASSERT_NE(nullptr, afc);
    const std::string bytes = Pattern(6u << 20);
    afc_file_ref ref = 0;
    ASSERT_EQ(0, open(afc, "/var/mobile/Media/cut.bin", kWriteOnly, &ref));
    ASSERT_EQ(0, write(afc, ref, bytes.data(), static_cast<unsigned>(bytes.size())));
    ASSERT_EQ(0, close(afc, ref));

    std::string error;
    ASSERT_TRUE(simfarm::Farm(s_farm->farm().folder())
                    .SetFault(s_farm->farm().udid(), simfarm::Fault::UnplugAfter, 1 << 20, &error))
        << error;
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(0, open(afc, "/var/mobile/Media/cut.bin", kReadOnly, &ref));
    size_t got = 0;
    int code = 0;
    char buffer[2048];
    while (code == 0) {
        unsigned length = sizeof buffer;
        code = read(afc, ref, buffer, &length);
        if (code == 0 && length == 0)
            break;
        got += length;
    }
    EXPECT_NE(0, code);
    EXPECT_LT(got, bytes.size());
    EXPECT_NE(0, close(afc, ref));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    Call<AFCConnectionClose_fn>("AFCConnectionClose")(afc);
    ::closesocket(socket);
}

} // namespace
} // namespace backendtest
