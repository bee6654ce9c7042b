// Installing, upgrading and removing an archive the test builds, and
// installing provisioning profiles, against the farm's devices.
#include "platform/text.h"
#include "tests/device/farm_fixture.h"
#include "tests/device/ipa_builder.h"
#include "tests/device/log_watch.h"
#include "tests/support/test_util.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

namespace {

using devtest::FarmLibrary;
using devtest::Wide;
using simfarm::Value;

// Progress reports as the callback received them.
struct Report {
    const wchar_t* identifier; // the pointer itself
    std::wstring identifierText;
    std::wstring status;
    unsigned int percent;
};

std::mutex g_reportsLock;
std::vector<Report> g_reports;

void RecordProgress(const wchar_t* identifier, const wchar_t* text, unsigned int percent) {
    std::lock_guard<std::mutex> guard(g_reportsLock);
    g_reports.push_back({identifier, identifier ? identifier : L"", text ? text : L"(null)", percent});
}

std::vector<Report> TakeReports() {
    std::lock_guard<std::mutex> guard(g_reportsLock);
    return std::exchange(g_reports, {});
}

const char kBundleId[] = "com.example.orvexdemo";

class AppInstall : public testing::Test {
  protected:
    void SetUp() override {
        TakeReports();
        ASSERT_TRUE(testutil::WriteIpa(m_dir / L"OrvexDemo-1.ipa", {kBundleId, "OrvexDemo", "1.0"}));
        ASSERT_TRUE(testutil::WriteIpa(m_dir / L"OrvexDemo-2.ipa", {kBundleId, "OrvexDemo", "2.0"}));
    }

    // The version of an installed application, or none.
    std::wstring InstalledVersion(const std::wstring& id, const std::string& bundleId) {
        __IOS_APP* apps = nullptr;
        unsigned int count = 0;
        EXPECT_EQ(lib.dll().GetInstalledApps(id.c_str(), &apps, &count), 1);
        std::wstring version = L"(none)";
        for (unsigned int i = 0; i < count; ++i) {
            if (std::wstring(apps[i].Identifier) == Wide(bundleId)) {
                version = apps[i].Version;
                EXPECT_EQ(apps[i].IsSystemApp, 0);
            }
        }
        lib.dll().ReleaseMemory(apps);
        return version;
    }

    // The URL the device was last handed for a package or profile.
    std::string LastPackageUrl(const std::string& udid) {
        return lib.Description(udid).GetString(simfarm::key::kLastPackageURL);
    }
    // The same, where the stand-in records it. Over the wire the device is
    // handed the archive's bytes, never a URL, so there is nothing to
    // compare: the install's result says whether the path was read right.
    void ExpectPackageUrl(const std::string& udid, const std::string& expected) {
        if (!testfarm::SimulatedFarm::Served()) {
            EXPECT_EQ(LastPackageUrl(udid), expected);
        }
    }

    std::wstring Archive(int version) const { return m_dir / (L"OrvexDemo-" + std::to_wstring(version) + L".ipa"); }

    FarmLibrary& lib = FarmLibrary::Get();
    testutil::TempDir m_dir;
};

void ExpectInstallProgress(const std::vector<Report>& reports, const std::wstring& id) {
    ASSERT_FALSE(reports.empty());
    unsigned int previous = 0;
    for (const Report& r : reports) {
        EXPECT_EQ(r.identifier, id.c_str()) << "the caller's own identifier text is passed on";
        EXPECT_NE(r.status, L"");
        EXPECT_GE(r.percent, previous);
        previous = r.percent;
    }
    EXPECT_EQ(reports.back().percent, 100u);
    EXPECT_EQ(reports.back().status, L"Complete");
}

TEST_F(AppInstall, InstallUpgradeAndUninstallAnArchive) {
    std::string udid = lib.Plug("ipod4-jailbroken");
    ASSERT_FALSE(udid.empty());
    const std::wstring id = Wide(udid);
    ASSERT_EQ(InstalledVersion(id, kBundleId), L"(none)");

    ASSERT_EQ(lib.dll().InstallIpa(id.c_str(), Archive(1).c_str(), RecordProgress), 1);
    ExpectInstallProgress(TakeReports(), id);
    EXPECT_EQ(InstalledVersion(id, kBundleId), L"1.0");

    ASSERT_EQ(lib.dll().UpdateIpa(id.c_str(), Archive(2).c_str(), RecordProgress), 1);
    ExpectInstallProgress(TakeReports(), id);
    EXPECT_EQ(InstalledVersion(id, kBundleId), L"2.0");

    ASSERT_EQ(lib.dll().UninstallIpa(id.c_str(), Wide(kBundleId).c_str(), RecordProgress), 1);
    std::vector<Report> reports = TakeReports();
    ASSERT_FALSE(reports.empty());
    for (const Report& r : reports) {
        EXPECT_EQ(r.identifier, id.c_str());
        EXPECT_NE(r.status, L"");
        EXPECT_EQ(r.percent, 0u) << "an uninstall reports no percentage";
    }
    EXPECT_EQ(InstalledVersion(id, kBundleId), L"(none)");
}

TEST_F(AppInstall, PathsReachTheDeviceAsFileUrlsWithForwardSlashes) {
    if (testfarm::SimulatedFarm::Served())
        GTEST_SKIP() << "the URL is what the vendor's library is handed; the wire carries the archive itself";
    std::string udid = lib.Plug("iphone4s-jailbroken");
    ASSERT_FALSE(udid.empty());
    const std::wstring id = Wide(udid);
    auto expectedUrl = [](std::wstring path) {
        for (wchar_t& c : path)
            c = c == L'\\' ? L'/' : c;
        return "file:///" + WideToUtf8(path.c_str());
    };
    ASSERT_NE(Archive(1).find(L'\\'), std::wstring::npos);

    ASSERT_EQ(lib.dll().InstallIpa(id.c_str(), Archive(1).c_str(), nullptr), 1);
    std::string url = LastPackageUrl(udid);
    EXPECT_EQ(url, expectedUrl(Archive(1)));
    EXPECT_EQ(url.find('\\'), std::string::npos);

    ASSERT_EQ(lib.dll().UpdateIpa(id.c_str(), Archive(2).c_str(), nullptr), 1);
    EXPECT_EQ(LastPackageUrl(udid), expectedUrl(Archive(2)));

    std::wstring profile = m_dir / L"Team.mobileprovision";
    ASSERT_TRUE(testutil::WriteFileBytes(profile, "profile"));
    ASSERT_EQ(lib.dll().InstallProvisionProfile(id.c_str(), profile.c_str()), 1);
    EXPECT_EQ(LastPackageUrl(udid), expectedUrl(profile));
}

TEST_F(AppInstall, NullCallbackReportsNothing) {
    std::string udid = lib.Plug("iphone5-jailbroken");
    ASSERT_FALSE(udid.empty());
    const std::wstring id = Wide(udid);
    EXPECT_EQ(lib.dll().InstallIpa(id.c_str(), Archive(1).c_str(), nullptr), 1);
    EXPECT_EQ(lib.dll().UpdateIpa(id.c_str(), Archive(2).c_str(), nullptr), 1);
    EXPECT_EQ(InstalledVersion(id, kBundleId), L"2.0");
    EXPECT_EQ(lib.dll().UninstallIpa(id.c_str(), Wide(kBundleId).c_str(), nullptr), 1);
    EXPECT_EQ(InstalledVersion(id, kBundleId), L"(none)");
    EXPECT_TRUE(TakeReports().empty());
}

TEST_F(AppInstall, RefusalsAndMissingArguments) {
    std::string udid = lib.Plug("ipad2-stock");
    ASSERT_FALSE(udid.empty());
    const std::wstring id = Wide(udid);
    ASSERT_EQ(lib.dll().InstallIpa(id.c_str(), Archive(1).c_str(), nullptr), 1);

    struct Case {
        const char* what;
        std::function<int()> call;
        const wchar_t* logLine;
    };
    const std::wstring missing = m_dir / L"missing.ipa";
    const Case refused[] = {
        {"install", [&] { return lib.dll().InstallIpa(id.c_str(), Archive(1).c_str(), RecordProgress); },
         L"软件安装失败。"},
        {"upgrade", [&] { return lib.dll().UpdateIpa(id.c_str(), Archive(2).c_str(), RecordProgress); },
         L"软件安装失败。"},
        {"uninstall", [&] { return lib.dll().UninstallIpa(id.c_str(), Wide(kBundleId).c_str(), RecordProgress); },
         L"软件卸载失败。"},
    };
    ASSERT_TRUE(lib.SetFault(udid, simfarm::Fault::Install));
    for (const Case& c : refused) {
        SCOPED_TRACE(c.what);
        testutil::LogWatch log;
        EXPECT_EQ(c.call(), 0);
        EXPECT_TRUE(log.Saw(c.logLine));
    }
    // Over the wire the archive is uploaded before the device can refuse
    // it: that copy's progress (the first 5%) may have been told; nothing
    // beyond it.
    for (const Report& report : TakeReports()) {
        EXPECT_TRUE(testfarm::SimulatedFarm::Served()) << WideToUtf8(report.status.c_str());
        EXPECT_LE(report.percent, 5u);
    }
    ASSERT_TRUE(lib.ClearFaults(udid));
    EXPECT_EQ(InstalledVersion(id, kBundleId), L"1.0");
    {
        // The archive's existence is the device library's business.
        testutil::LogWatch log;
        EXPECT_EQ(lib.dll().InstallIpa(id.c_str(), missing.c_str(), nullptr), 0);
        EXPECT_TRUE(log.Saw(L"软件安装失败。"));
    }
    EXPECT_EQ(lib.dll().InstallIpa(id.c_str(), L"", RecordProgress), 0);
    EXPECT_EQ(lib.dll().InstallIpa(id.c_str(), nullptr, RecordProgress), 0);
    EXPECT_EQ(lib.dll().UpdateIpa(id.c_str(), L"", RecordProgress), 0);
    EXPECT_EQ(lib.dll().UpdateIpa(id.c_str(), nullptr, RecordProgress), 0);
    EXPECT_EQ(lib.dll().UninstallIpa(id.c_str(), L"", RecordProgress), 0);
    EXPECT_EQ(lib.dll().UninstallIpa(id.c_str(), nullptr, RecordProgress), 0);
    EXPECT_EQ(lib.dll().InstallIpa(L"no-such-device", Archive(1).c_str(), RecordProgress), 0);
    EXPECT_TRUE(TakeReports().empty());
}

// The file URL the device must be handed: every UTF-8 byte outside the
// unreserved characters, "/" and ":" written as %XX (upper-case hex).
std::string EscapedFileUrl(const std::wstring& path) {
    std::string url = "file:///";
    for (unsigned char c : WideToUtf8(path.c_str())) {
        if (c == '\\')
            c = '/';
        if (std::isalnum(c) || std::strchr("-._~/:", c)) {
            url += static_cast<char>(c);
        } else {
            char escape[4];
            std::snprintf(escape, sizeof escape, "%%%02X", c);
            url += escape;
        }
    }
    return url;
}

// Archives and profiles kept where real users keep them: the device gets
// exactly the user's file, whatever characters its folder holds.
TEST_F(AppInstall, ArchivesAndProfilesInAwkwardlyNamedFolders) {
    std::string udid = lib.Plug("iphone4s-jailbroken");
    ASSERT_FALSE(udid.empty());
    const std::wstring id = Wide(udid);
    const std::wstring folders[] = {
        L"with space",
        L"\u5f20\u4e09\\\u4e0b\u8f7d", // 张三\下载
        L"\u6e38\u620f #2",            // 游戏 #2
        L"100% free",
        L"emoji \U0001F600",
        L"a%20b",                           // an escape written in the name itself
        std::wstring(170, L'L') + L" long", // the whole path over 200 characters
    };
    int n = 0;
    for (const std::wstring& name : folders) {
        ++n;
        SCOPED_TRACE(WideToUtf8(name.c_str()));
        std::wstring folder = m_dir.path();
        for (size_t start = 0;;) { // each level of the name
            const size_t slash = name.find(L'\\', start);
            folder += L"\\" + name.substr(start, slash == std::wstring::npos ? std::wstring::npos : slash - start);
            ASSERT_TRUE(::CreateDirectoryW(folder.c_str(), nullptr));
            if (slash == std::wstring::npos)
                break;
            start = slash + 1;
        }
        const std::wstring one = folder + L"\\\u6e38\u620f #" + std::to_wstring(n) + L".ipa";
        const std::wstring two = folder + L"\\v2 100%.ipa";
        const std::string v1 = "1." + std::to_string(n), v2 = "2." + std::to_string(n);
        ASSERT_TRUE(testutil::WriteIpa(one, {kBundleId, "OrvexDemo", v1}));
        ASSERT_TRUE(testutil::WriteIpa(two, {kBundleId, "OrvexDemo", v2}));
        if (name.size() > 100) {
            EXPECT_GT(one.size(), 200u);
        }

        ASSERT_EQ(lib.dll().InstallIpa(id.c_str(), one.c_str(), nullptr), 1);
        EXPECT_EQ(InstalledVersion(id, kBundleId), Wide(v1));
        ExpectPackageUrl(udid, EscapedFileUrl(one));
        ASSERT_EQ(lib.dll().UpdateIpa(id.c_str(), two.c_str(), nullptr), 1);
        EXPECT_EQ(InstalledVersion(id, kBundleId), Wide(v2));
        ExpectPackageUrl(udid, EscapedFileUrl(two));

        char uuid[40];
        std::snprintf(uuid, sizeof uuid, "5D7E0B3A-1C2F-4E6B-8A9D-0F1E2D3C4B%02X", n);
        const std::wstring profile = folder + L"\\Team #1 100%.mobileprovision";
        ASSERT_TRUE(testutil::WriteFileBytes(
            profile, std::string("signed\x01<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><dict>"
                                 "<key>Name</key><string>Team</string><key>UUID</key><string>") +
                         uuid + "</string></dict></plist>"));
        ASSERT_EQ(lib.dll().InstallProvisionProfile(id.c_str(), profile.c_str()), 1);
        ExpectPackageUrl(udid, EscapedFileUrl(profile));
        const Value description = lib.Description(udid);
        bool found = false;
        for (const Value& p : description.Find(simfarm::key::kProvisioningProfiles)->items())
            found = found || p.GetString("UUID") == uuid;
        EXPECT_TRUE(found);
        ASSERT_EQ(lib.dll().UninstallIpa(id.c_str(), Wide(kBundleId).c_str(), nullptr), 1);
    }
}

TEST_F(AppInstall, ProvisioningProfiles) {
    std::string udid = lib.Plug("iphone4s-jailbroken");
    ASSERT_FALSE(udid.empty());
    const std::wstring id = Wide(udid);
    std::wstring profile = m_dir / L"Team Profile.mobileprovision";
    ASSERT_TRUE(testutil::WriteFileBytes(
        profile, "signed\x01<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><dict>"
                 "<key>Name</key><string>Team</string><key>UUID</key>"
                 "<string>5D7E0B3A-1C2F-4E6B-8A9D-0F1E2D3C4B5A</string></dict></plist>"));
    ASSERT_EQ(lib.dll().InstallProvisionProfile(id.c_str(), profile.c_str()), 1);
    const Value description = lib.Description(udid);
    bool found = false;
    for (const Value& p : description.Find(simfarm::key::kProvisioningProfiles)->items())
        found = found || p.GetString("UUID") == "5D7E0B3A-1C2F-4E6B-8A9D-0F1E2D3C4B5A";
    EXPECT_TRUE(found);

    // The device refuses an empty profile; the line names the refusal.
    std::wstring empty = m_dir / L"empty.mobileprovision";
    ASSERT_TRUE(testutil::WriteFileBytes(empty, ""));
    {
        testutil::LogWatch log;
        EXPECT_EQ(lib.dll().InstallProvisionProfile(id.c_str(), empty.c_str()), 0);
        const std::vector<std::wstring> lines = log.LibraryMessages();
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0].rfind(L"描述文件安装失败：设备拒绝（错误 0x", 0), 0u) << WideToUtf8(lines[0].c_str());
    }
    // An unknown device is named.
    {
        testutil::LogWatch log;
        EXPECT_EQ(lib.dll().InstallProvisionProfile(L"0000000000000000000000000000000000000000", profile.c_str()), 0);
        EXPECT_TRUE(log.Saw(L"描述文件安装失败：设备 0000000000000000000000000000000000000000 未连接"));
    }

    // Paths that name no file are refused before the device is looked up: with
    // the device unable to connect, nothing is logged.
    ASSERT_TRUE(lib.SetFault(udid, simfarm::Fault::Connect));
    {
        testutil::LogWatch log;
        EXPECT_EQ(lib.dll().InstallProvisionProfile(id.c_str(), profile.c_str()), 0);
        EXPECT_TRUE(log.Saw(L"连接设备失败！")) << "the device is contacted for a file";
    }
    bool quiet = false;
    for (int attempt = 0; attempt < 3 && !quiet; ++attempt) {
        testutil::LogWatch log;
        EXPECT_EQ(lib.dll().InstallProvisionProfile(id.c_str(), m_dir.path().c_str()), 0);
        EXPECT_EQ(lib.dll().InstallProvisionProfile(id.c_str(), (m_dir / L"none.mobileprovision").c_str()), 0);
        EXPECT_EQ(lib.dll().InstallProvisionProfile(id.c_str(), L""), 0);
        EXPECT_EQ(lib.dll().InstallProvisionProfile(id.c_str(), nullptr), 0);
        quiet = !log.Saw(L"连接设备失败！");
    }
    EXPECT_TRUE(quiet) << "the device was contacted for a folder or a missing file";
    ASSERT_TRUE(lib.ClearFaults(udid));
}

} // namespace
