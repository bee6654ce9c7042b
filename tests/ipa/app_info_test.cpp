// GetAppInfoFromIPA over generated archives, with the vendor value library
// stand-in bound as in production. The temporary and documents folders are
// private to each test; after every call the temporary folder must be empty.
#include "ipa/app_info.h"
#include "ipa/zip_extractor.h"
#include "platform/file.h"
#include "platform/seams.h"
#include "tests/device/device_dll.h"
#include "tests/ipa/ipa_test_util.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <objidl.h>

#include <gdiplus.h>

#include <algorithm>

namespace {

using ipatest::DataPath;
using testutil::TempDir;

// What LoadDllFunctions provides in production: the value library bound and
// GDI+ started.
class VendorEnvironment : public testing::Environment {
  public:
    void SetUp() override {
        Gdiplus::GdiplusStartupInput input;
        ASSERT_EQ(Gdiplus::GdiplusStartup(&m_gdiplus, &input, nullptr), Gdiplus::Ok);
        ASSERT_TRUE(ipatest::BindValueLibrary()) << "the value library stand-in must be built";
        RemoveLocalTree(ipatest::AppResultsFolder());
        ASSERT_TRUE(::CreateDirectoryW(ipatest::AppResultsFolder().c_str(), nullptr));
    }
    void TearDown() override {
        ipatest::UnbindValueLibrary();
        Gdiplus::GdiplusShutdown(m_gdiplus);
    }

  private:
    ULONG_PTR m_gdiplus = 0;
};
const auto* const g_vendor = testing::AddGlobalTestEnvironment(new VendorEnvironment);

std::wstring g_temp;

class AppInfo : public testing::Test {
  protected:
    void SetUp() override {
        g_temp = m_root / L"temp\\"; // as GetTempPath gives it
        ASSERT_TRUE(::CreateDirectoryW(g_temp.c_str(), nullptr));
        m_previousTemp = seams::Current().tempFolder;
        seams::Current().tempFolder = [] { return g_temp; };
    }
    void TearDown() override {
        EXPECT_EQ(ipatest::ListTree(g_temp), std::vector<std::wstring>{}) << "left in the temporary folder";
        seams::Current().tempFolder = m_previousTemp;
    }

    int Read(const std::wstring& archive, __IOS_APP* app) { return GetAppInfoFromIPA(archive.c_str(), app); }
    std::wstring CachePath(const wchar_t* name) const { return m_log.Documents() + L"\\Tevrin\\AppIcons\\" + name; }
    std::wstring LastLogLine() const {
        std::vector<std::wstring> lines = m_log.Lines();
        return lines.empty() ? L"" : lines.back();
    }

    TempDir m_root;
    ipatest::CapturedLog m_log;
    seams::FolderHook m_previousTemp = nullptr;
    __IOS_APP m_app{};
};

TEST_F(AppInfo, FullArchiveFillsEveryField) {
    ASSERT_EQ(Read(DataPath(L"ipa\\full.ipa"), &m_app), 1);
    // The application property list wins over the store metadata.
    EXPECT_STREQ(m_app.Identifier, L"com.example.demo");
    EXPECT_STREQ(m_app.Name, L"演示");
    EXPECT_STREQ(m_app.Version, L"2.5");
    EXPECT_STREQ(m_app.StoreId, L"6443843700");
    EXPECT_EQ(m_app.ArtistId, 284417353);
    EXPECT_STREQ(m_app.ArtistName, L"Example Artist");
    EXPECT_STREQ(m_app.Kind, L"software");
    EXPECT_STREQ(m_app.Genre, L"Games");
    EXPECT_EQ(m_app.GenreId, 6014);
    std::wstring names;
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(m_app.SubgenreIds[i], 7000 + i);
        names += (i ? L",g" : L"g") + std::to_wstring(i);
    }
    EXPECT_EQ(std::wstring(m_app.Subgenres), names);
    EXPECT_EQ(m_app.ExternalVersionId, 812345);
    EXPECT_STREQ(m_app.ReleaseDate, L"2012-06-25T07:00:00Z");
    EXPECT_STREQ(m_app.Path, L"");
    EXPECT_STREQ(m_app.IconFile, CachePath(L"com.example.demo_2.5.png").c_str());
    EXPECT_TRUE(IsLocalFile(m_app.IconFile));
    // The independent check decodes it (ipa_png_decode).
    ASSERT_TRUE(::CopyFileW(m_app.IconFile, (ipatest::AppResultsFolder() + L"\\app_icon.png").c_str(), FALSE));
}

TEST_F(AppInfo, WithoutMetadataIdentityComesFromTheApplication) {
    ASSERT_EQ(Read(DataPath(L"ipa\\nometa.ipa"), &m_app), 1);
    EXPECT_STREQ(m_app.Identifier, L"com.example.nometa");
    EXPECT_STREQ(m_app.Name, L"OnlyName");
    EXPECT_STREQ(m_app.Version, L"1.0");
    EXPECT_STREQ(m_app.StoreId, L"");
    EXPECT_STREQ(m_app.ArtistName, L"");
    EXPECT_STREQ(m_app.Subgenres, L"");
    EXPECT_EQ(m_app.GenreId, 0);
    EXPECT_EQ(m_log.Lines(), std::vector<std::wstring>{L"iTunesMetadata.plist文件不存在!"});
    // "Icon-72.png" from CFBundleIconFiles, stored as icon-72.PNG.
    EXPECT_STREQ(m_app.IconFile, CachePath(L"com.example.nometa_1.0.png").c_str());
}

TEST_F(AppInfo, StoreNameStandsWhenTheApplicationNamesNone) {
    // Binary metadata, XML application list, an empty CFBundleIconFiles.
    ASSERT_EQ(Read(DataPath(L"ipa\\metaname.ipa"), &m_app), 1);
    EXPECT_STREQ(m_app.Name, L"StoreOnly");
    EXPECT_STREQ(m_app.Subgenres, L"g0,g1");
    EXPECT_EQ(std::vector<int32_t>(m_app.SubgenreIds, m_app.SubgenreIds + 3), (std::vector<int32_t>{7000, 7001, 0}));
    EXPECT_STREQ(m_app.IconFile, CachePath(L"com.example.metaname_3.png").c_str()); // "Icon.png"
}

TEST_F(AppInfo, IconProblemsLeaveTheIconEmptyAndTheResultOne) {
    // No entry of the icon's name; a name that points out of the application
    // folder at a real image; values of the wrong types.
    ASSERT_TRUE(::CopyFileW(DataPath(L"png\\plain.png").c_str(), (g_temp + L"evil.png").c_str(), FALSE));
    for (const wchar_t* archive : {L"ipa\\noicon.ipa", L"ipa\\evilicon.ipa", L"ipa\\types.ipa"}) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(archive)));
        __IOS_APP app{};
        EXPECT_EQ(Read(DataPath(archive), &app), 1);
        EXPECT_STREQ(app.IconFile, L"");
    }
    ::DeleteFileW((g_temp + L"evil.png").c_str());
    EXPECT_EQ(ipatest::ListTree(m_log.Documents() + L"\\Tevrin\\AppIcons"), std::vector<std::wstring>{});
}

TEST_F(AppInfo, ValuesOfTheWrongTypeAreIgnored) {
    ASSERT_EQ(Read(DataPath(L"ipa\\types.ipa"), &m_app), 1);
    EXPECT_STREQ(m_app.Identifier, L"com.types");
    EXPECT_STREQ(m_app.Name, L"T");
    EXPECT_STREQ(m_app.ArtistName, L"");
    EXPECT_STREQ(m_app.StoreId, L"");
    EXPECT_EQ(m_app.GenreId, 0);
    EXPECT_STREQ(m_app.Subgenres, L"");
}

TEST_F(AppInfo, LongValuesAreCutAtTheirFields) {
    ASSERT_EQ(Read(DataPath(L"ipa\\long.ipa"), &m_app), 1);
    EXPECT_EQ(std::wstring(m_app.Name), std::wstring(49, L'名'));
    EXPECT_EQ(std::wstring(m_app.Identifier), std::wstring(299, L'i'));
    EXPECT_EQ(std::wstring(m_app.Version), std::wstring(49, L'v'));
}

TEST_F(AppInfo, FirstApplicationFolderListedIsUsed) {
    // What the file system lists first, found the same way the reader does.
    TempDir dir;
    SingleFileZipDelegate delegate;
    delegate.SetTargetName(L"Info.plist");
    ZipExtractor zip;
    zip.SetDelegate(&delegate);
    ASSERT_EQ(zip.OpenArchive(DataPath(L"ipa\\twoapps.ipa").c_str()), 1);
    ASSERT_EQ(zip.ExtractAllTo(dir.path().c_str()), 1);
    std::vector<std::wstring> listed = testutil::ListFolder(dir / L"Payload");
    ASSERT_EQ(listed.size(), 2u);

    ASSERT_EQ(Read(DataPath(L"ipa\\twoapps.ipa"), &m_app), 1);
    EXPECT_EQ(std::wstring(m_app.Identifier), listed[0] == L"First.app" ? L"com.example.first" : L"com.example.second");
}

TEST_F(AppInfo, SecondCallForTheSameAppUsesTheCacheAndConvertsNothing) {
    ASSERT_EQ(Read(DataPath(L"ipa\\full.ipa"), &m_app), 1);
    std::wstring cached = m_app.IconFile;
    ASSERT_FALSE(cached.empty());
    ASSERT_TRUE(testutil::WriteFileBytes(cached, "cached"));
    // Same identifier and version, but an icon that would raise a zlib error
    // if it were extracted and converted.
    __IOS_APP again{};
    ASSERT_EQ(Read(DataPath(L"ipa\\full_bad_icon.ipa"), &again), 1);
    EXPECT_EQ(std::wstring(again.IconFile), cached);
    EXPECT_EQ(ipatest::ReadAll(cached), "cached");
}

TEST_F(AppInfo, FailuresGiveZeroWithTheirLogLine) {
    struct Case {
        const wchar_t* archive;
        int result;
        const wchar_t* line;
        bool prefixOnly;
    } cases[] = {
        {L"ipa\\truncated.ipa", 0, L"IPA文件打开失败。", false},
        {L"ipa\\no such archive.ipa", 0, L"IPA文件打开失败。", false},
        {L"ipa\\arrayinfo.ipa", 0, L"Info.plist文件加载失败!", false},
        {L"ipa\\badinfo.ipa", 0, L"Info.plist文件加载失败!", false},
        {L"ipa\\noapp.ipa", 0, L"app 目录未解压成功!", false},
        {L"ipa\\noappinfo.ipa", 0, L"Info.plist文件不存在!", false},
        {L"ipa\\badicon.ipa", 0, L"解压ipa时出现异常: ZLib error! -3", false},
        {L"ipa\\clash.ipa", 0, L"解压ipa时出现异常: 创建文件失败: ", true},
        {L"ipa\\badmeta.ipa", 1, L"iTunesMetadata.plist文件加载失败!", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(c.archive)));
        __IOS_APP app{};
        EXPECT_EQ(Read(DataPath(c.archive), &app), c.result);
        std::wstring line = LastLogLine();
        EXPECT_EQ(c.prefixOnly ? line.substr(0, std::wcslen(c.line)) : line, c.line);
        EXPECT_EQ(ipatest::ListTree(g_temp), std::vector<std::wstring>{});
    }
    // The folder is named in its line.
    __IOS_APP app{};
    EXPECT_EQ(Read(DataPath(L"ipa\\nopayload.ipa"), &app), 0);
    std::wstring line = LastLogLine(), tail = L"\\Payload 目录未解压成功!";
    EXPECT_EQ(line.rfind(g_temp, 0), 0u);
    EXPECT_EQ(line.substr(line.size() - std::min(line.size(), tail.size())), tail);
}

TEST_F(AppInfo, MissingArgumentsGiveZeroWithoutALogLine) {
    EXPECT_EQ(GetAppInfoFromIPA(nullptr, &m_app), 0);
    EXPECT_EQ(GetAppInfoFromIPA(L"", &m_app), 0);
    EXPECT_EQ(GetAppInfoFromIPA(DataPath(L"ipa\\full.ipa").c_str(), nullptr), 0);
    EXPECT_EQ(m_log.Lines(), std::vector<std::wstring>{});
}

TEST(AppInfoExport, TheLibraryExportReadsAnArchive) {
    // LoadDllFunctions needs both stand-ins; without the device library's it
    // would show a message box.
    std::wstring common = testutil::VendorCommonFiles();
    std::wstring deviceLibrary = common + L"\\Apple\\Mobile Device Support\\iTunesMobileDevice.dll";
    if (!IsLocalFile(deviceLibrary))
        GTEST_SKIP() << "the device library stand-in is not installed";
    testutil::DeviceDll dll;
    ASSERT_TRUE(dll.ok());
    ASSERT_EQ(dll.LoadDllFunctions(), 1);
    __IOS_APP app{};
    EXPECT_EQ(dll.GetAppInfoFromIPA(DataPath(L"ipa\\noicon.ipa").c_str(), &app), 1);
    EXPECT_STREQ(app.Identifier, L"com.example.noicon");
    dll.UnloadDllFunctions();
}

} // namespace
