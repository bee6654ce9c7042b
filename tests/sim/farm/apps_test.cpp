// Applications on the simulated devices: lookup, install, upgrade and
// uninstall of real archives with their progress reports, and profiles.
#include "tests/sim/farm/device_fixture.h"

#include "platform/file.h"
#include "platform/text.h"

#include <zlib.h>

#include <cstring>

namespace simtest {
namespace {

// Writes a zip archive of stored (uncompressed) entries.
bool WriteZip(const std::wstring& path, const std::vector<std::pair<std::string, std::string>>& entries) {
    std::string out, directory;
    auto u16 = [](std::string* s, unsigned v) {
        s->push_back(static_cast<char>(v & 0xFF));
        s->push_back(static_cast<char>((v >> 8) & 0xFF));
    };
    auto u32 = [&u16](std::string* s, unsigned long v) {
        u16(s, v & 0xFFFF);
        u16(s, (v >> 16) & 0xFFFF);
    };
    for (const auto& entry : entries) {
        unsigned long crc =
            crc32(0, reinterpret_cast<const Bytef*>(entry.second.data()), static_cast<uInt>(entry.second.size()));
        unsigned long offset = static_cast<unsigned long>(out.size());
        u32(&out, 0x04034b50);
        u16(&out, 20);
        u16(&out, 0);
        u16(&out, 0);
        u16(&out, 0);
        u16(&out, 0);
        u32(&out, crc);
        u32(&out, static_cast<unsigned long>(entry.second.size()));
        u32(&out, static_cast<unsigned long>(entry.second.size()));
        u16(&out, static_cast<unsigned>(entry.first.size()));
        u16(&out, 0);
        out += entry.first + entry.second;
        u32(&directory, 0x02014b50);
        u16(&directory, 20);
        u16(&directory, 20);
        u16(&directory, 0);
        u16(&directory, 0);
        u16(&directory, 0);
        u16(&directory, 0);
        u32(&directory, crc);
        u32(&directory, static_cast<unsigned long>(entry.second.size()));
        u32(&directory, static_cast<unsigned long>(entry.second.size()));
        u16(&directory, static_cast<unsigned>(entry.first.size()));
        u16(&directory, 0);
        u16(&directory, 0);
        u16(&directory, 0);
        u16(&directory, 0);
        u32(&directory, 0);
        u32(&directory, offset);
        directory += entry.first;
    }
    unsigned long start = static_cast<unsigned long>(out.size());
    out += directory;
    u32(&out, 0x06054b50);
    u16(&out, 0);
    u16(&out, 0);
    u16(&out, static_cast<unsigned>(entries.size()));
    u16(&out, static_cast<unsigned>(entries.size()));
    u32(&out, static_cast<unsigned long>(directory.size()));
    u32(&out, start);
    u16(&out, 0);
    return testutil::WriteFileBytes(path, out);
}

std::string InfoPlist(const char* id, const char* version) {
    return std::string("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
                       "<key>CFBundleIdentifier</key><string>") +
           id + "</string><key>CFBundleVersion</key><string>" + version +
           "</string><key>CFBundleDisplayName</key><string>Quillon</string>"
           "<key>CFBundleExecutable</key><string>Quillon</string></dict></plist>";
}

struct Report {
    std::string status;
    bool hasPercent;
    long long percent;
};

struct ProgressLog {
    const testfarm::ValueCalls* cf;
    std::vector<Report> reports;

    static void Callback(CFDictionaryRef info, void* context) {
        auto* self = static_cast<ProgressLog*>(context);
        CFStringRef statusKey = self->cf->String("Status");
        CFStringRef percentKey = self->cf->String("PercentComplete");
        const void* percent = self->cf->CFDictionaryGetValue(info, percentKey);
        self->reports.push_back(Report{self->cf->Utf8(self->cf->CFDictionaryGetValue(info, statusKey)),
                                       percent != nullptr, self->cf->Number(percent)});
        self->cf->CFRelease(statusKey);
        self->cf->CFRelease(percentKey);
    }
};

class AppsTest : public DeviceTest {
  protected:
    void SetUp() override {
        DeviceTest::SetUp();
        if (HasFatalFailure())
            return;
        id = farm->Create(testfarm::kIPhone4S);
        device = Announced(id);
        ASSERT_NE(device, nullptr);
        ASSERT_TRUE(OpenSession(device));
    }
    void TearDown() override {
        if (device)
            CloseSession(device);
        DeviceTest::TearDown();
    }

    CFURLRef Url(const std::wstring& path) {
        std::string text = "file:///" + WideToUtf8(path.c_str());
        for (char& c : text)
            c = c == '\\' ? '/' : c;
        return cf().CFURLCreateWithBytes(nullptr, reinterpret_cast<const uint8_t*>(text.data()),
                                         static_cast<CFIndex>(text.size()), kCFStringEncodingUTF8, nullptr);
    }

    int Install(const std::wstring& path, bool upgrade, ProgressLog* log) {
        Owned url(cf(), Url(path));
        auto call = upgrade ? md().AMDeviceSecureUpgradeApplication : md().AMDeviceSecureInstallApplication;
        return call(0, device, static_cast<CFURLRef>(url.get()), nullptr, &ProgressLog::Callback, log);
    }

    // The lookup's entry for `bundle` as attribute -> text; empty when absent.
    std::map<std::string, std::string> Lookup(const char* bundle) {
        CFDictionaryRef apps = nullptr;
        EXPECT_EQ(md().AMDeviceLookupApplications(device, nullptr, &apps), 0);
        Owned holder(cf(), apps);
        std::map<std::string, std::string> entry;
        Owned key(cf(), cf().String(bundle));
        auto app = static_cast<CFDictionaryRef>(apps ? cf().CFDictionaryGetValue(apps, key.get()) : nullptr);
        if (!app)
            return entry;
        for (const char* name : {"ApplicationType", "Path", "Container", "CFBundleVersion", "CFBundleDisplayName"}) {
            Owned k(cf(), cf().String(name));
            entry[name] = cf().Utf8(cf().CFDictionaryGetValue(app, k.get()));
        }
        return entry;
    }

    testutil::TempDir local;
    std::wstring id;
    am_device* device = nullptr;
};

TEST_F(AppsTest, TemplateApplicationsAreListed) {
    CFDictionaryRef apps = nullptr;
    ASSERT_EQ(md().AMDeviceLookupApplications(device, nullptr, &apps), 0);
    Owned holder(cf(), apps);
    EXPECT_GE(cf().CFDictionaryGetCount(apps), 9);
    auto cydia = Lookup("com.saurik.Cydia");
    EXPECT_EQ(cydia["ApplicationType"], "System");
    EXPECT_EQ(cydia["Path"], "/Applications/Cydia.app");
    auto wechat = Lookup("com.tencent.xin");
    EXPECT_EQ(wechat["ApplicationType"], "User");
    EXPECT_EQ(wechat["Container"].rfind("/private/var/mobile/Applications/", 0), 0u);
}

TEST_F(AppsTest, TheLookupFollowsTheFarm) {
    EXPECT_NE(
        farm->Value(id, L"com.apple.mobilesafari", L"applications").find(L"<string>/Applications/MobileSafari.app"),
        std::wstring::npos);
    ASSERT_TRUE(farm->RemoveValue(id, L"com.saurik.Cydia", L"applications"));
    EXPECT_TRUE(Lookup("com.saurik.Cydia").empty());
    EXPECT_FALSE(Lookup("com.apple.mobilesafari").empty());
    ASSERT_TRUE(farm->RemoveValue(id, nullptr, L"applications"));
    CFDictionaryRef apps = nullptr;
    ASSERT_EQ(md().AMDeviceLookupApplications(device, nullptr, &apps), 0);
    Owned holder(cf(), apps);
    EXPECT_EQ(cf().CFDictionaryGetCount(apps), 0);
    // Pseudo-domains are the farm's, not the device's.
    Owned domain(cf(), cf().String("applications"));
    EXPECT_EQ(md().AMDeviceCopyValue(device, static_cast<CFStringRef>(domain.get()), nullptr), nullptr);
}

TEST_F(AppsTest, InstallUpgradeUninstall) {
    std::wstring ipa = local / L"Quillon.ipa";
    ASSERT_TRUE(WriteZip(ipa, {{"iTunesMetadata.plist", "<plist/>"},
                               {"Payload/Quillon.app/Info.plist", InfoPlist("com.zephant.Quillon", "1.0")},
                               {"Payload/Quillon.app/Quillon", "binary"},
                               {"Payload/Quillon.app/en.lproj/Main.strings", "strings"}}));
    ProgressLog log{&cf()};
    EXPECT_NE(Install(ipa, true, &log), 0) << "an upgrade needs the application installed";
    EXPECT_TRUE(log.reports.empty());

    ASSERT_EQ(Install(ipa, false, &log), 0);
    const char* expected[] = {"CreatingStagingDirectory", "ExtractingPackage",        "InspectingPackage",
                              "TakingInstallLock",        "PreflightingApplication",  "VerifyingApplication",
                              "CreatingContainer",        "InstallingApplication",    "PostflightingApplication",
                              "SandboxingApplication",    "GeneratingApplicationMap", "Complete"};
    ASSERT_EQ(log.reports.size(), std::size(expected));
    long long last = 0;
    for (size_t i = 0; i < log.reports.size(); ++i) {
        EXPECT_EQ(log.reports[i].status, expected[i]);
        EXPECT_TRUE(log.reports[i].hasPercent);
        EXPECT_GE(log.reports[i].percent, last);
        last = log.reports[i].percent;
    }
    EXPECT_EQ(last, 100);

    auto app = Lookup("com.zephant.Quillon");
    EXPECT_EQ(app["ApplicationType"], "User");
    EXPECT_EQ(app["CFBundleVersion"], "1.0");
    EXPECT_EQ(app["CFBundleDisplayName"], "Quillon");
    ASSERT_FALSE(app["Path"].empty());
    std::wstring strings = farm->HostPath(id, Utf8ToWide((app["Path"] + "/en.lproj/Main.strings").c_str()).c_str());
    std::string content;
    ASSERT_TRUE(testutil::ReadFileBytes(strings, &content));
    EXPECT_EQ(content, "strings");
    // The installation list on the device knows it too.
    std::string list;
    ASSERT_TRUE(testutil::ReadFileBytes(farm->HostPath(id, L"/User/Library/Caches/com.apple.mobile.installation.plist"),
                                        &list));
    EXPECT_NE(list.find("com.zephant.Quillon"), std::string::npos);

    ASSERT_TRUE(WriteZip(ipa, {{"Payload/Quillon.app/Info.plist", InfoPlist("com.zephant.Quillon", "2.0")}}));
    log.reports.clear();
    ASSERT_EQ(Install(ipa, true, &log), 0);
    EXPECT_EQ(log.reports.back().status, "Complete");
    auto upgraded = Lookup("com.zephant.Quillon");
    EXPECT_EQ(upgraded["CFBundleVersion"], "2.0");
    EXPECT_EQ(upgraded["Container"], app["Container"]) << "the data container is kept";
    EXPECT_FALSE(IsLocalFile(strings)) << "the old bundle is replaced";

    log.reports.clear();
    Owned bundle(cf(), cf().String("com.zephant.Quillon"));
    ASSERT_EQ(md().AMDeviceSecureUninstallApplication(0, device, static_cast<CFStringRef>(bundle.get()), nullptr,
                                                      &ProgressLog::Callback, &log),
              0);
    ASSERT_FALSE(log.reports.empty());
    for (const Report& r : log.reports) {
        EXPECT_FALSE(r.status.empty());
        EXPECT_FALSE(r.hasPercent) << r.status;
    }
    EXPECT_EQ(log.reports.back().status, "Complete");
    EXPECT_TRUE(Lookup("com.zephant.Quillon").empty());
    EXPECT_FALSE(IsLocalDirectory(farm->HostPath(id, Utf8ToWide(app["Container"].c_str()).c_str())));
    EXPECT_NE(md().AMDeviceSecureUninstallApplication(0, device, static_cast<CFStringRef>(bundle.get()), nullptr,
                                                      nullptr, nullptr),
              0)
        << "not installed any more";
    Owned system(cf(), cf().String("com.apple.mobilesafari"));
    EXPECT_NE(md().AMDeviceSecureUninstallApplication(0, device, static_cast<CFStringRef>(system.get()), nullptr,
                                                      nullptr, nullptr),
              0)
        << "system applications stay";
}

TEST_F(AppsTest, ArchivesWithoutAnApplicationAreRefused) {
    struct Case {
        const char* what;
        std::vector<std::pair<std::string, std::string>> entries;
    } cases[] = {
        {"no Payload", {{"Info.plist", InfoPlist("a.b", "1")}}},
        {"no Info.plist", {{"Payload/A.app/A", "x"}}},
        {"nested too deep", {{"Payload/x/A.app/Info.plist", InfoPlist("a.b", "1")}}},
        {"no bundle identifier", {{"Payload/A.app/Info.plist", "<plist><dict/></plist>"}}},
        {"not a property list", {{"Payload/A.app/Info.plist", "garbage"}}},
        {"climbing entry",
         {{"Payload/A.app/Info.plist", InfoPlist("a.b", "1")}, {"Payload/A.app/../../../../evil.txt", "x"}}},
    };
    int n = 0;
    for (const Case& c : cases) {
        std::wstring ipa = local / (L"case" + std::to_wstring(n++) + L".ipa");
        ASSERT_TRUE(WriteZip(ipa, c.entries));
        ProgressLog log{&cf()};
        EXPECT_NE(Install(ipa, false, &log), 0) << c.what;
        EXPECT_TRUE(Lookup("a.b").empty()) << c.what;
    }
    EXPECT_FALSE(IsLocalFile(farm->HostPath(id, L"/private/var/evil.txt")));
    EXPECT_FALSE(IsLocalFile(farm->folder() + L"\\evil.txt"));
    ProgressLog log{&cf()};
    EXPECT_NE(Install(local / L"missing.ipa", false, &log), 0);
    std::wstring notZip = local / L"text.ipa";
    ASSERT_TRUE(testutil::WriteFileBytes(notZip, "not a zip archive"));
    EXPECT_NE(Install(notZip, false, &log), 0);
    // A failed install leaves no container behind.
    std::vector<std::wstring> containers =
        testutil::ListFolder(farm->HostPath(id, L"/private/var/mobile/Applications"));
    EXPECT_EQ(containers.size(), 2u) << "the template's two user applications only";
}

TEST_F(AppsTest, ProfilesNeedAFile) {
    std::wstring profile = local / L"dev.mobileprovision";
    ASSERT_TRUE(testutil::WriteFileBytes(
        profile, "\x30\x82signed<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>UUID</key>"
                 "<string>6F2A1B3C-0000-4000-8000-123456789ABC</string><key>Name</key><string>Dev</string>"
                 "</dict></plist>trailer"));
    Owned good(cf(), Url(profile));
    EXPECT_EQ(md().AMDeviceInstallProvisioningProfile(device, static_cast<CFURLRef>(good.get())), 0);
    Owned missing(cf(), Url(local / L"none.mobileprovision"));
    EXPECT_NE(md().AMDeviceInstallProvisioningProfile(device, static_cast<CFURLRef>(missing.get())), 0);
    Owned folder(cf(), Url(local.path()));
    EXPECT_NE(md().AMDeviceInstallProvisioningProfile(device, static_cast<CFURLRef>(folder.get())), 0);
}

} // namespace
} // namespace simtest
