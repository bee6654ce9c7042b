// The file service of the stand-in library against a template's file
// system: attributes, listings, links, path forms, edits, open modes, and
// the ordinary service's confinement to the media folder.
#include "tests/sim/farm/device_fixture.h"

#include "platform/file.h"
#include "platform/text.h"
#include "tests/support/test_util.h"

#include <algorithm>
#include <cstdlib>
#include <ctime>

namespace simtest {
namespace {

class AfcTest : public DeviceTest {
  protected:
    void SetUp() override {
        DeviceTest::SetUp();
        if (HasFatalFailure())
            return;
        id = farm->Create(testfarm::kIPhone4S);
        device = Announced(id);
        ASSERT_NE(device, nullptr);
        connection = OpenAfc(device, "com.apple.afc2");
        ASSERT_NE(connection, nullptr);
    }
    void TearDown() override {
        if (connection)
            md().AFCConnectionClose(connection);
        DeviceTest::TearDown();
    }

    bool Has(const std::vector<std::string>& names, const char* name) {
        return std::find(names.begin(), names.end(), name) != names.end();
    }

    std::wstring id;
    am_device* device = nullptr;
    afc_connection* connection = nullptr;
};

TEST_F(AfcTest, AttributesOfFilesFoldersAndLinks) {
    auto file = Info(connection, "/System/Library/CoreServices/SystemVersion.plist");
    ASSERT_FALSE(file.empty());
    EXPECT_EQ(file["st_ifmt"], "S_IFREG");
    EXPECT_GT(std::atoll(file["st_size"].c_str()), 100);
    EXPECT_EQ(file["st_nlink"], "1");
    EXPECT_EQ(file["st_blocks"], "8");
    EXPECT_EQ(file.count("LinkTarget"), 0u);
    // Nanoseconds since 1970, as devices give them: a file made today.
    long long mtime = std::atoll(file["st_mtime"].c_str());
    long long now = (static_cast<long long>(time(nullptr))) * 1000000000LL;
    EXPECT_LT(std::llabs(now - mtime), 3600LL * 1000000000LL);
    EXPECT_GT(std::atoll(file["st_birthtime"].c_str()), 1000000000LL * 1000000000LL);

    auto folder = Info(connection, "/Applications");
    EXPECT_EQ(folder["st_ifmt"], "S_IFDIR");
    EXPECT_GE(std::atoi(folder["st_nlink"].c_str()), 2 + 7);

    auto link = Info(connection, "/User");
    EXPECT_EQ(link["st_ifmt"], "S_IFLNK");
    EXPECT_EQ(link["LinkTarget"], "/var/mobile");
    EXPECT_EQ(link["st_size"], "11");
    auto relative = Info(connection, "/var");
    EXPECT_EQ(relative["st_ifmt"], "S_IFLNK");
    EXPECT_EQ(relative["LinkTarget"], "private/var");

    int status = 0;
    EXPECT_TRUE(Info(connection, "/no/such/thing", &status).empty());
    EXPECT_NE(status, 0);
}

TEST_F(AfcTest, LinksAreFollowedExceptAtTheEnd) {
    // /User -> /var/mobile, /var -> private/var: both followed on the way.
    auto media = Info(connection, "/User/Media");
    EXPECT_EQ(media["st_ifmt"], "S_IFDIR");
    auto list = Info(connection, "/User/Library/Caches/com.apple.mobile.installation.plist");
    EXPECT_EQ(list["st_ifmt"], "S_IFREG");
    // Opening a link to a folder lists the folder.
    auto names = List(connection, "/User");
    EXPECT_TRUE(Has(names, "Media"));
    EXPECT_TRUE(Has(names, "Applications"));
    // A link that leads nowhere is still a link.
    ASSERT_TRUE(farm->MakeLink(id, L"/nowhere/at/all", L"/private/var/mobile/Media/dangling"));
    EXPECT_EQ(Info(connection, "/var/mobile/Media/dangling")["st_ifmt"], "S_IFLNK");
    int status = 0;
    List(connection, "/var/mobile/Media/dangling", &status);
    EXPECT_NE(status, 0);
    // A loop ends in an error, not a hang.
    ASSERT_TRUE(farm->MakeLink(id, L"loop-b", L"/private/var/mobile/Media/loop-a"));
    ASSERT_TRUE(farm->MakeLink(id, L"loop-a", L"/private/var/mobile/Media/loop-b"));
    Info(connection, "/var/mobile/Media/loop-a/x", &status);
    EXPECT_NE(status, 0);
}

// The service may remember what a link says between calls; whatever
// changes a link, through the service or on the host behind its back, is
// seen by the very next call. (Links at the device root, so that each is
// looked at on its own.)
TEST_F(AfcTest, LinkChangesAreSeenAtOnce) {
    for (const char* folder : {"a", "b", "c"}) {
        const std::string path = std::string("/var/mobile/Media/") + folder;
        ASSERT_EQ(md().AFCDirectoryCreate(connection, path.c_str()), 0);
        ASSERT_EQ(WriteFile(connection, (path + "/which.txt").c_str(), folder), 0);
    }
    const wchar_t* const names[] = {L"rewritten", L"hidden", L"removed", L"replaced", L"renamed", L"spare"};
    auto isSpare = [](const wchar_t* name) { return std::wstring(name) == L"spare"; };
    for (const wchar_t* name : names)
        ASSERT_TRUE(farm->MakeLink(id, isSpare(name) ? L"/var/mobile/Media/c" : L"/var/mobile/Media/a",
                                   (std::wstring(L"/") + name).c_str()));
    // Only links a second old are remembered; each is read a few times, as
    // a listing would.
    ::Sleep(1100);
    auto through = [&](const wchar_t* name) {
        std::string content;
        std::string path = "/" + WideToUtf8(name) + "/which.txt";
        return ReadFile(connection, path.c_str(), &content) == 0 ? content : std::string("(none)");
    };
    for (int round = 0; round < 3; ++round) {
        for (const wchar_t* name : names)
            ASSERT_EQ(through(name), isSpare(name) ? "c" : "a") << round;
    }
    const std::wstring root = farm->HostPath(id, L"/");
    auto host = [&](const wchar_t* name) { return root + L"\\" + name; };

    // On the host: a link file given another target of the same length, a
    // plain folder beside a link, a link file deleted.
    ASSERT_TRUE(testutil::WriteFileBytes(host(L"rewritten") + L".symlink", "/var/mobile/Media/b"));
    ASSERT_TRUE(::CreateDirectoryW(host(L"hidden").c_str(), nullptr));
    ASSERT_TRUE(testutil::WriteFileBytes(host(L"hidden") + L"\\which.txt", "plain"));
    ASSERT_TRUE(::DeleteFileW((host(L"removed") + L".symlink").c_str()));
    // One link renamed over another of the same length, on the host and
    // through a second connection.
    ASSERT_TRUE(::MoveFileExW((host(L"spare") + L".symlink").c_str(), (host(L"replaced") + L".symlink").c_str(),
                              MOVEFILE_REPLACE_EXISTING));
    afc_connection* second = OpenAfc(device, "com.apple.afc2");
    ASSERT_NE(second, nullptr);
    ASSERT_TRUE(farm->MakeLink(id, L"/var/mobile/Media/b", L"/fresh"));
    ASSERT_EQ(md().AFCRenamePath(second, "/fresh", "/renamed"), 0);
    md().AFCConnectionClose(second);

    EXPECT_EQ(through(L"rewritten"), "b");
    EXPECT_EQ(through(L"hidden"), "plain");
    EXPECT_EQ(through(L"removed"), "(none)");
    EXPECT_EQ(through(L"replaced"), "c");
    EXPECT_EQ(through(L"renamed"), "b");
    EXPECT_EQ(Info(connection, "/hidden")["st_ifmt"], "S_IFDIR");
    EXPECT_EQ(Info(connection, "/rewritten")["LinkTarget"], "/var/mobile/Media/b");
}

TEST_F(AfcTest, PathFormsNameTheSameEntry) {
    const char* paths[] = {"/var/root/Media/Cydia", "//var//root//Media//Cydia",       "var/root/Media/Cydia",
                           "var/root/Media/Cydia/", "/var/./root/../root/Media/Cydia", "/private/var/root/Media/Cydia"};
    for (const char* path : paths) {
        auto names = List(connection, path);
        EXPECT_TRUE(Has(names, "AutoInstall")) << path;
        EXPECT_EQ(Info(connection, path)["st_ifmt"], "S_IFDIR") << path;
    }
    ASSERT_EQ(md().AFCDirectoryCreate(connection, "var/root/Media/Cydia/AutoInstall/sub"), 0);
    EXPECT_EQ(Info(connection, "//var//root//Media//Cydia//AutoInstall//sub")["st_ifmt"], "S_IFDIR");
    EXPECT_TRUE(IsLocalDirectory(farm->HostPath(id, L"/var/root/Media/Cydia/AutoInstall/sub")));
}

TEST_F(AfcTest, ListingsStartWithDotAndDotDot) {
    auto root = List(connection, "/");
    ASSERT_GE(root.size(), 3u);
    EXPECT_EQ(root[0], ".");
    EXPECT_EQ(root[1], "..");
    for (const char* name : {"Applications", "System", "private", "var", "User", "etc", "tmp"})
        EXPECT_TRUE(Has(root, name)) << name;
    EXPECT_FALSE(Has(root, "var.symlink"));
    auto apps = List(connection, "/Applications");
    EXPECT_TRUE(Has(apps, "Cydia.app"));
    EXPECT_TRUE(Has(apps, "Installous.app"));
    ASSERT_EQ(md().AFCDirectoryCreate(connection, "/var/mobile/Media/empty"), 0);
    EXPECT_EQ(List(connection, "/var/mobile/Media/empty"), (std::vector<std::string>{".", ".."}));
    int status = 0;
    List(connection, "/System/Library/CoreServices/SystemVersion.plist", &status);
    EXPECT_NE(status, 0) << "a file is no folder";
}

TEST_F(AfcTest, FolderEdits) {
    EXPECT_EQ(md().AFCDirectoryCreate(connection, "/var/mobile/Media/new"), 0);
    EXPECT_EQ(md().AFCDirectoryCreate(connection, "/var/mobile/Media/new"), 0) << "an existing folder is fine";
    EXPECT_NE(md().AFCDirectoryCreate(connection, "/var/mobile/Media/missing/child"), 0);
    EXPECT_EQ(WriteFile(connection, "/var/mobile/Media/new/a.txt", "alpha"), 0);
    EXPECT_NE(md().AFCDirectoryCreate(connection, "/var/mobile/Media/new/a.txt"), 0) << "a file is in the way";

    EXPECT_NE(md().AFCRemovePath(connection, "/var/mobile/Media/new"), 0) << "not empty";
    ASSERT_EQ(md().AFCDirectoryCreate(connection, "/var/mobile/Media/other"), 0);
    EXPECT_EQ(md().AFCRenamePath(connection, "/var/mobile/Media/new/a.txt", "/var/mobile/Media/other/b.txt"), 0);
    std::string content;
    EXPECT_EQ(ReadFile(connection, "/var/mobile/Media/other/b.txt", &content), 0);
    EXPECT_EQ(content, "alpha");
    EXPECT_EQ(md().AFCRemovePath(connection, "/var/mobile/Media/new"), 0);
    EXPECT_NE(md().AFCRemovePath(connection, "/var/mobile/Media/new"), 0) << "gone already";
    EXPECT_NE(md().AFCRenamePath(connection, "/var/mobile/Media/nothing", "/var/mobile/Media/x"), 0);
    EXPECT_NE(md().AFCRenamePath(connection, "/var/mobile/Media/other", "/var/mobile/Media/other/inside"), 0);
    EXPECT_NE(md().AFCRemovePath(connection, "/"), 0);

    // Removing a link removes the link, never what it points to.
    ASSERT_TRUE(farm->MakeLink(id, L"/var/mobile/Media/other", L"/private/var/mobile/Media/shortcut"));
    EXPECT_EQ(md().AFCRemovePath(connection, "/var/mobile/Media/shortcut"), 0);
    EXPECT_EQ(Info(connection, "/var/mobile/Media/other/b.txt")["st_ifmt"], "S_IFREG");
    int status = 0;
    Info(connection, "/var/mobile/Media/shortcut", &status);
    EXPECT_NE(status, 0);
}

TEST_F(AfcTest, OpenModes) {
    const char* path = "/var/mobile/Media/notes.txt";
    afc_file_ref ref = 0;
    EXPECT_NE(md().AFCFileRefOpen(connection, path, AFC_FOPEN_RW, &ref), 0) << "mode 2 needs the file";
    ASSERT_EQ(WriteFile(connection, path, "first version"), 0);
    ASSERT_EQ(WriteFile(connection, path, "second"), 0); // mode 3 truncates
    std::string content;
    ASSERT_EQ(ReadFile(connection, path, &content), 0);
    EXPECT_EQ(content, "second");

    // Mode 2 reads and writes in place.
    ASSERT_EQ(md().AFCFileRefOpen(connection, path, AFC_FOPEN_RW, &ref), 0);
    char buffer[16] = {};
    unsigned length = 3;
    ASSERT_EQ(md().AFCFileRefRead(connection, ref, buffer, &length), 0);
    EXPECT_EQ(std::string(buffer, length), "sec");
    EXPECT_EQ(md().AFCFileRefWrite(connection, ref, "OND", 3), 0);
    EXPECT_EQ(md().AFCFileRefClose(connection, ref), 0);
    ASSERT_EQ(ReadFile(connection, path, &content), 0);
    EXPECT_EQ(content, "secOND");

    // A file opened for reading only refuses writes, and the reverse.
    ASSERT_EQ(md().AFCFileRefOpen(connection, path, AFC_FOPEN_RDONLY, &ref), 0);
    EXPECT_NE(md().AFCFileRefWrite(connection, ref, "x", 1), 0);
    md().AFCFileRefClose(connection, ref);
    ASSERT_EQ(md().AFCFileRefOpen(connection, path, AFC_FOPEN_WRONLY, &ref), 0);
    length = sizeof buffer;
    EXPECT_NE(md().AFCFileRefRead(connection, ref, buffer, &length), 0);
    md().AFCFileRefClose(connection, ref);
    EXPECT_NE(md().AFCFileRefClose(connection, ref), 0) << "closed already";

    EXPECT_NE(md().AFCFileRefOpen(connection, "/Applications", AFC_FOPEN_RDONLY, &ref), 0) << "a folder";
    EXPECT_NE(md().AFCFileRefOpen(connection, "/no/folder/file", AFC_FOPEN_WRONLY, &ref), 0);
    EXPECT_NE(md().AFCFileRefOpen(connection, path, 99, &ref), 0);
}

TEST_F(AfcTest, WritesReachTheDeviceWithoutWaitingForTheClose) {
    afc_file_ref ref = 0;
    ASSERT_EQ(md().AFCFileRefOpen(connection, "/var/mobile/Media/open.bin", AFC_FOPEN_WRONLY, &ref), 0);
    std::string chunk(2048, 'w');
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(md().AFCFileRefWrite(connection, ref, chunk.data(), 2048), 0);
    // The connection sees its own writes at once...
    EXPECT_EQ(Info(connection, "/var/mobile/Media/open.bin")["st_size"], "6144");
    ASSERT_EQ(md().AFCFileRefWrite(connection, ref, chunk.data(), 100), 0);
    // ...and nothing written is lost when the connection closes with the file open.
    ASSERT_EQ(md().AFCConnectionClose(connection), 0);
    connection = nullptr;
    std::string content;
    ASSERT_TRUE(testutil::ReadFileBytes(farm->HostPath(id, L"/var/mobile/Media/open.bin"), &content));
    EXPECT_EQ(content.size(), 6244u);

    // Mixed reads and writes on one file keep one position.
    connection = OpenAfc(device, "com.apple.afc2");
    ASSERT_NE(connection, nullptr);
    ASSERT_EQ(WriteFile(connection, "/var/mobile/Media/mixed.txt", "0123456789"), 0);
    ASSERT_EQ(md().AFCFileRefOpen(connection, "/var/mobile/Media/mixed.txt", AFC_FOPEN_RW, &ref), 0);
    char buffer[4] = {};
    unsigned length = 2;
    ASSERT_EQ(md().AFCFileRefRead(connection, ref, buffer, &length), 0);
    ASSERT_EQ(md().AFCFileRefWrite(connection, ref, "ab", 2), 0);
    length = 2;
    ASSERT_EQ(md().AFCFileRefRead(connection, ref, buffer, &length), 0);
    EXPECT_EQ(std::string(buffer, length), "45");
    ASSERT_EQ(md().AFCFileRefClose(connection, ref), 0);
    ASSERT_EQ(ReadFile(connection, "/var/mobile/Media/mixed.txt", &content), 0);
    EXPECT_EQ(content, "01ab456789");
}

TEST_F(AfcTest, DeviceInformation) {
    afc_dictionary* dict = nullptr;
    ASSERT_EQ(md().AFCDeviceInfoOpen(connection, &dict), 0);
    auto info = ReadPairs(dict);
    EXPECT_EQ(info["Model"], "iPhone4,1");
    EXPECT_EQ(info["FSTotalBytes"], "15005462528");
    EXPECT_EQ(info["FSFreeBytes"], "9841704960");
    EXPECT_EQ(info["FSBlockSize"], "4096");
}

TEST_F(AfcTest, DevicePathsNeverLeaveTheDevice) {
    // The farm folder beside the device's file system must stay untouched.
    std::wstring marker = farm->folder() + L"\\outside.txt";
    ASSERT_TRUE(testutil::WriteFileBytes(marker, "keep"));
    // ".." stops at the device's root.
    for (const char* path : {"../../../outside.txt", "/../../outside.txt", "/var/../../../outside.txt"}) {
        EXPECT_EQ(WriteFile(connection, path, "inside"), 0) << path;
        EXPECT_EQ(Info(connection, "/outside.txt")["st_size"], "6") << path;
        EXPECT_EQ(md().AFCRemovePath(connection, path), 0) << path;
    }
    // Names the PC's file system would read differently are refused.
    for (const char* path : {"..\\..\\outside.txt", "C:\\outside.txt", "/var/mobile/Media/a:b",
                             "/var/mobile/Media/x.symlink", "/var/mobile/Media/CON", "/var/mobile/Media/trail."}) {
        EXPECT_NE(WriteFile(connection, path, "overwritten"), 0) << path;
        EXPECT_NE(md().AFCDirectoryCreate(connection, path), 0) << path;
    }
    // A link whose target climbs above the root stays inside it.
    ASSERT_TRUE(farm->MakeLink(id, L"../../../../../..", L"/private/var/mobile/Media/up"));
    auto names = List(connection, "/var/mobile/Media/up");
    EXPECT_TRUE(Has(names, "Applications")) << "the device's root, not the farm";
    EXPECT_FALSE(Has(names, "outside.txt"));
    std::string content;
    ASSERT_TRUE(testutil::ReadFileBytes(marker, &content));
    EXPECT_EQ(content, "keep");
}

TEST_F(AfcTest, OrdinaryServiceServesTheMediaFolder) {
    std::wstring stock = farm->Create(testfarm::kIPad2);
    am_device* ipad = Announced(stock);
    ASSERT_NE(ipad, nullptr);
    afc_connection* media = OpenAfc(ipad, "com.apple.afc");
    ASSERT_NE(media, nullptr);
    auto root = List(media, "/");
    EXPECT_TRUE(Has(root, "DCIM"));
    EXPECT_TRUE(Has(root, "PublicStaging"));
    EXPECT_FALSE(Has(root, "Applications"));
    EXPECT_EQ(List(media, "/../../.."), root) << "no climbing out";
    EXPECT_EQ(List(media, "/var/mobile/Media").size(), 0u) << "paths start at the media folder";
    EXPECT_EQ(Info(media, "DCIM/100APPLE/IMG_0001.JPG")["st_size"], "6002");
    ASSERT_EQ(WriteFile(media, "/PublicStaging/app.ipa", "zip"), 0);
    EXPECT_TRUE(IsLocalFile(farm->HostPath(stock, L"/var/mobile/Media/PublicStaging/app.ipa")));
    // A link's absolute target is taken from the served root as well.
    ASSERT_TRUE(farm->MakeLink(stock, L"/DCIM", L"/private/var/mobile/Media/photos"));
    auto photos = List(media, "/photos");
    EXPECT_TRUE(Has(photos, "100APPLE"));
    md().AFCConnectionClose(media);
}

} // namespace
} // namespace simtest
