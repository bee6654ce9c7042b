// Copying files and folder trees to the device and back through the
// library, every byte compared.
#include "tests/device/file_fixture.h"

#include "platform/file.h"
#include "platform/text.h"

#include <algorithm>
#include <map>
#include <set>

namespace devfiles {
namespace {

class FileTransfer : public FileExportsTest {
  protected:
    int Upload(const std::wstring& localPath, const std::wstring& deviceFolder,
               const std::wstring& id = std::wstring()) {
        return dll().UploadDirectoriesAndFilesToDevice((id.empty() ? Jailbroken() : id).c_str(), localPath.c_str(),
                                                       deviceFolder.c_str(), Progress::Record);
    }
    int Download(const std::wstring& devicePath, const std::wstring& localFolder,
                 const std::wstring& id = std::wstring()) {
        return dll().DownloadDirectoriesAndFilesFromDevice((id.empty() ? Jailbroken() : id).c_str(), devicePath.c_str(),
                                                           localFolder.c_str(), Progress::Record);
    }
    // The percentages reported under `text`, in order.
    static std::vector<unsigned> Percents(const std::wstring& text) {
        std::vector<unsigned> values;
        for (const ProgressCall& call : Progress::Calls()) {
            if (call.text == text)
                values.push_back(call.percent);
        }
        return values;
    }
    // The file texts in the order their first progress call came.
    static std::vector<std::wstring> FileOrder() {
        std::vector<std::wstring> order;
        for (const ProgressCall& call : Progress::Calls()) {
            if (order.empty() || order.back() != call.text)
                order.push_back(call.text);
        }
        return order;
    }
    static std::string LocalBytes(const std::wstring& path) {
        std::string bytes;
        EXPECT_TRUE(testutil::ReadFileBytes(path, &bytes)) << WideToUtf8(path.c_str());
        return bytes;
    }
    std::string DeviceContent(const std::wstring& path, const std::wstring& udid = std::wstring()) {
        std::string bytes;
        EXPECT_TRUE(DeviceBytes(path, &bytes, udid)) << WideToUtf8(path.c_str());
        return bytes;
    }
    static bool WaitForRemoval(const std::wstring& udid);
};

unsigned ChunkShare(size_t moved, size_t size) { return static_cast<unsigned>(uint64_t(moved) * 100 / size); }

// The percentages of a file of `size` bytes moved in 2048-byte chunks.
std::vector<unsigned> ExpectedPercents(long long size) {
    std::vector<unsigned> values;
    for (long long moved = 2048; moved - 2048 < size; moved += 2048)
        values.push_back(static_cast<unsigned>(std::min(moved, size) * 100 / size));
    return values;
}

TEST_F(FileTransfer, EmptyFilesBothWaysWithoutProgress) {
    ASSERT_TRUE(testutil::WriteFileBytes(local / L"empty.dat", ""));
    ASSERT_TRUE(PutDeviceFile(scratch + L"/empty.dat", Pattern(3000, 1))); // replaced by the upload
    EXPECT_EQ(Upload(local / L"empty.dat", scratch), 1);
    EXPECT_EQ(DeviceContent(scratch + L"/empty.dat"), "");

    ASSERT_TRUE(CreateDirectoryW((local / L"back").c_str(), nullptr));
    ASSERT_TRUE(testutil::WriteFileBytes(local / L"back\\empty.dat", "old content"));
    EXPECT_EQ(Download(scratch + L"/empty.dat", local / L"back"), 1);
    EXPECT_EQ(LocalBytes(local / L"back\\empty.dat"), "");
    EXPECT_TRUE(Progress::Calls().empty());
    EXPECT_TRUE(log.QuietAbout(scratch));
}

TEST_F(FileTransfer, ProgressPerChunkRisesToExactly100) {
    struct Case {
        const wchar_t* name;
        size_t size;
    } cases[] = {{L"one.bin", 1}, {L"chunk.bin", 2048}, {L"two.bin", 4096}, {L"odd.bin", 5000}, {L"big.bin", 300001}};
    for (const Case& c : cases) {
        SCOPED_TRACE(WideToUtf8(c.name));
        Progress::Calls().clear();
        const std::string content = Pattern(c.size, static_cast<unsigned>(c.size));
        ASSERT_TRUE(testutil::WriteFileBytes(local / c.name, content));
        ASSERT_EQ(Upload(local / c.name, scratch + L"/"), 1);
        EXPECT_TRUE(SameBytes(DeviceContent(scratch + L"/" + c.name), content));
        EXPECT_EQ(Percents(L"上传文件 " + (local / c.name)), ExpectedPercents(static_cast<long long>(c.size)));
        EXPECT_EQ(Progress::Calls().size(), (c.size + 2047) / 2048);

        Progress::Calls().clear();
        ASSERT_TRUE(DeleteFileW((local / c.name).c_str()));
        ASSERT_EQ(Download(scratch + L"/" + c.name, local.path() + L"\\"), 1);
        EXPECT_TRUE(SameBytes(LocalBytes(local / c.name), content));
        EXPECT_EQ(Percents(L"下载文件 " + scratch + L"/" + c.name), ExpectedPercents(static_cast<long long>(c.size)));
        for (const ProgressCall& call : Progress::Calls())
            EXPECT_EQ(call.identifier, Jailbroken());
    }
    // No callback, no calls; the copy is the same.
    Progress::Calls().clear();
    EXPECT_EQ(dll().UploadDirectoriesAndFilesToDevice(Jailbroken().c_str(), (local / L"odd.bin").c_str(),
                                                      scratch.c_str(), nullptr),
              1);
    EXPECT_TRUE(Progress::Calls().empty());
}

TEST_F(FileTransfer, FolderIntoTheRootOfTheOrdinaryService) {
    const std::wstring pack = local / L"FileTransfer-pack";
    ASSERT_TRUE(CreateDirectoryW(pack.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((pack + L"\\inner").c_str(), nullptr));
    ASSERT_TRUE(testutil::WriteFileBytes(pack + L"\\top.txt", Pattern(2500, 7)));
    ASSERT_TRUE(testutil::WriteFileBytes(pack + L"\\inner\\deep.txt", Pattern(9000, 8)));
    // Hidden files travel too.
    ASSERT_TRUE(SetFileAttributesW((pack + L"\\top.txt").c_str(), FILE_ATTRIBUTE_HIDDEN));

    EXPECT_EQ(Upload(pack, L"/", Stock()), 1);
    const std::wstring media = L"/var/mobile/Media/FileTransfer-pack";
    EXPECT_TRUE(SameBytes(DeviceContent(media + L"/top.txt", Stock()), Pattern(2500, 7)));
    EXPECT_TRUE(SameBytes(DeviceContent(media + L"/inner/deep.txt", Stock()), Pattern(9000, 8)));

    // And back, through the same root.
    ASSERT_TRUE(CreateDirectoryW((local / L"back").c_str(), nullptr));
    Progress::Calls().clear();
    EXPECT_EQ(Download(L"/FileTransfer-pack", local / L"back", Stock()), 1);
    EXPECT_TRUE(SameBytes(LocalBytes(local / L"back\\FileTransfer-pack\\top.txt"), Pattern(2500, 7)));
    EXPECT_TRUE(SameBytes(LocalBytes(local / L"back\\FileTransfer-pack\\inner\\deep.txt"), Pattern(9000, 8)));
    std::set<std::wstring> texts;
    for (const ProgressCall& call : Progress::Calls())
        texts.insert(call.text);
    EXPECT_EQ(texts, (std::set<std::wstring>{L"下载文件 /FileTransfer-pack/top.txt",
                                             L"下载文件 /FileTransfer-pack/inner/deep.txt"}));
    RemoveLocalTree(Host(media, Stock()));
}

TEST_F(FileTransfer, IntoAMissingDeviceFolder) {
    ASSERT_TRUE(testutil::WriteFileBytes(local / L"a.txt", "a"));
    EXPECT_EQ(Upload(local / L"a.txt", scratch + L"/missing"), 0);
    EXPECT_TRUE(log.Has(L"写入文件时打开失败！"));
    EXPECT_FALSE(DeviceEntryExists(scratch + L"/missing"));

    // A folder whose device folder can't be made fails even with nothing
    // inside it.
    ASSERT_TRUE(CreateDirectoryW((local / L"box").c_str(), nullptr));
    log.Reset();
    EXPECT_EQ(Upload(local / L"box", scratch + L"/missing"), 0);
    EXPECT_TRUE(log.Has(L"创建设备目录 " + scratch + L"/missing/box 失败"));
    EXPECT_FALSE(DeviceEntryExists(scratch + L"/missing"));
    EXPECT_TRUE(Progress::Calls().empty());
}

TEST_F(FileTransfer, UploadingTwiceKeepsTheSecondContent) {
    ASSERT_TRUE(testutil::WriteFileBytes(local / L"same.txt", Pattern(7000, 9)));
    ASSERT_EQ(Upload(local / L"same.txt", scratch), 1);
    ASSERT_TRUE(testutil::WriteFileBytes(local / L"same.txt", Pattern(100, 10)));
    ASSERT_EQ(Upload(local / L"same.txt", scratch), 1);
    EXPECT_TRUE(SameBytes(DeviceContent(scratch + L"/same.txt"), Pattern(100, 10)));
}

TEST_F(FileTransfer, DownloadsReuseLocalFoldersAndOverwriteFiles) {
    const std::wstring tree = scratch + L"/tree";
    ASSERT_TRUE(MakeDeviceFolder(tree));
    ASSERT_TRUE(MakeDeviceFolder(tree + L"/sub"));
    ASSERT_TRUE(PutDeviceFile(tree + L"/a.txt", Pattern(10, 11)));
    ASSERT_TRUE(PutDeviceFile(tree + L"/sub/b.txt", Pattern(6000, 12)));
    ASSERT_TRUE(CreateDirectoryW((local / L"tree").c_str(), nullptr));
    ASSERT_TRUE(testutil::WriteFileBytes(local / L"tree\\a.txt", Pattern(5000, 13))); // longer: truncated
    ASSERT_TRUE(testutil::WriteFileBytes(local / L"tree\\mine.txt", "stays"));

    EXPECT_EQ(Download(tree + L"/", local.path()), 1); // trailing separator: named after "tree"
    EXPECT_TRUE(SameBytes(LocalBytes(local / L"tree\\a.txt"), Pattern(10, 11)));
    EXPECT_TRUE(SameBytes(LocalBytes(local / L"tree\\sub\\b.txt"), Pattern(6000, 12)));
    EXPECT_EQ(LocalBytes(local / L"tree\\mine.txt"), "stays");
    EXPECT_EQ(testutil::ListFolder(local.path()), std::vector<std::wstring>{L"tree"});
}

TEST_F(FileTransfer, FoldersHoldingOnlyFoldersAreRecreated) {
    const std::wstring top = local / L"shape";
    for (const wchar_t* folder : {L"", L"\\a", L"\\a\\b", L"\\c"})
        ASSERT_TRUE(CreateDirectoryW((top + folder).c_str(), nullptr));
    EXPECT_EQ(Upload(top, scratch), 1);
    for (const wchar_t* folder : {L"/shape", L"/shape/a", L"/shape/a/b", L"/shape/c"})
        EXPECT_TRUE(IsLocalDirectory(Host(scratch + folder))) << WideToUtf8(folder);
    EXPECT_EQ(farm().HostPath(Jailbroken(), (scratch + L"/shape/a/b").c_str()).empty(), false);
    testfarm::RawAfc raw(farm(), Jailbroken());
    EXPECT_TRUE(raw.List(WideToUtf8((scratch + L"/shape/a/b").c_str()).c_str()).empty());

    ASSERT_TRUE(CreateDirectoryW((local / L"back").c_str(), nullptr));
    EXPECT_EQ(Download(scratch + L"/shape", local / L"back"), 1);
    EXPECT_TRUE(IsLocalDirectory(local / L"back\\shape\\a\\b"));
    EXPECT_TRUE(IsLocalDirectory(local / L"back\\shape\\c"));
    EXPECT_TRUE(testutil::ListFolder(local / L"back\\shape\\a\\b").empty());
    EXPECT_TRUE(Progress::Calls().empty());
}

TEST_F(FileTransfer, TheSecondOfThreeFilesFailingStopsTheUpload) {
    const std::wstring three = local / L"three";
    ASSERT_TRUE(CreateDirectoryW(three.c_str(), nullptr));
    std::map<std::wstring, std::string> contents;
    for (unsigned i = 0; i < 3; ++i) {
        std::wstring name = L"file" + std::to_wstring(i) + L".bin";
        contents[name] = Pattern(10000, 20 + i);
        ASSERT_TRUE(testutil::WriteFileBytes(three + L"\\" + name, contents[name]));
    }
    ASSERT_TRUE(farm().SetFault(Jailbroken(), L"write-after", 13000));
    EXPECT_EQ(Upload(three, scratch), 0);
    EXPECT_TRUE(log.Has(L"文件上传时写入失败！"));
    std::vector<std::wstring> order = FileOrder();
    ASSERT_EQ(order.size(), 2u);
    const std::wstring first = order[0].substr(order[0].rfind(L'\\') + 1);
    const std::wstring second = order[1].substr(order[1].rfind(L'\\') + 1);
    EXPECT_TRUE(SameBytes(DeviceContent(scratch + L"/three/" + first), contents[first]));
    EXPECT_TRUE(SameBytes(DeviceContent(scratch + L"/three/" + second), contents[second].substr(0, 3000)));
    for (const auto& entry : contents) {
        if (entry.first != first && entry.first != second) {
            EXPECT_FALSE(DeviceEntryExists(scratch + L"/three/" + entry.first));
        }
    }
    EXPECT_TRUE(DeviceFileReleased(scratch + L"/three/" + second));
}

TEST_F(FileTransfer, TheSecondOfThreeFilesFailingStopsTheDownload) {
    const std::wstring three = scratch + L"/three";
    ASSERT_TRUE(MakeDeviceFolder(three));
    std::map<std::wstring, std::string> contents;
    for (unsigned i = 0; i < 3; ++i) {
        std::wstring name = L"file" + std::to_wstring(i) + L".bin";
        contents[name] = Pattern(10000, 30 + i);
        ASSERT_TRUE(PutDeviceFile(three + L"/" + name, contents[name]));
    }
    ASSERT_TRUE(farm().SetFault(Jailbroken(), L"read-after", 13000));
    EXPECT_EQ(Download(three, local.path()), 0);
    EXPECT_TRUE(log.Has(L"文件内容读取失败！"));
    std::vector<std::wstring> order = FileOrder();
    ASSERT_EQ(order.size(), 2u);
    const std::wstring first = order[0].substr(order[0].rfind(L'/') + 1);
    const std::wstring second = order[1].substr(order[1].rfind(L'/') + 1);
    EXPECT_TRUE(SameBytes(LocalBytes(local / L"three\\" + first), contents[first]));
    EXPECT_TRUE(SameBytes(LocalBytes(local / L"three\\" + second), contents[second].substr(0, 3000)));
    EXPECT_EQ(testutil::ListFolder(local / L"three").size(), 2u);
    EXPECT_TRUE(DeviceFileReleased(three + L"/" + second));
}

// The device is gone for the library: its calls fail, and its removal has
// been announced (a call can fail before the announcement; plugged in
// again then, the device would be announced while the library still
// held the old connection).
bool FileTransfer::WaitForRemoval(const std::wstring& udid) {
    for (int attempt = 0; attempt < 200; ++attempt) {
        __IOS_FILE file;
        if (dll().GetFileInfoOnDevice(udid.c_str(), L"/", &file) == 0)
            return WaitForDeparture(udid);
        ::Sleep(50);
    }
    return false;
}

TEST_F(FileTransfer, UnpluggingMidTransferEndsItWithTheConnectionClosed) {
    const std::wstring udid = PlugInNewDevice();
    ASSERT_FALSE(udid.empty());
    const std::wstring folder = L"/var/mobile/Media";
    ASSERT_TRUE(testutil::WriteFileBytes(local / L"big.bin", Pattern(40000, 40)));
    ASSERT_TRUE(farm().SetFault(udid, L"unplug-after", 9000));
    EXPECT_EQ(Upload(local / L"big.bin", folder, udid), 0);
    EXPECT_TRUE(DeviceFileReleased(folder + L"/big.bin", udid));
    std::string partial = DeviceContent(folder + L"/big.bin", udid);
    EXPECT_LT(partial.size(), 40000u);
    EXPECT_TRUE(SameBytes(partial, Pattern(40000, 40).substr(0, partial.size())));

    ASSERT_TRUE(WaitForRemoval(udid));
    ASSERT_TRUE(farm().Attach(udid));
    ASSERT_TRUE(WaitForArrival(udid));
    ASSERT_TRUE(PutDeviceFile(folder + L"/whole.bin", Pattern(40000, 41), udid));
    ASSERT_TRUE(farm().SetFault(udid, L"unplug-after", 9000));
    EXPECT_EQ(Download(folder + L"/whole.bin", local.path(), udid), 0);
    EXPECT_TRUE(DeviceFileReleased(folder + L"/whole.bin", udid));
    EXPECT_LT(LocalBytes(local / L"whole.bin").size(), 40000u);
    farm().Detach(udid);
    farm().Remove(udid);
}

// An unplug or a read fault falling on a file boundary, inside a file or
// inside the folder's listing: the download reports 0 with a log line, and
// a file is whole on the PC exactly when its progress reached 100.
TEST_F(FileTransfer, AFolderDownloadCutAnywhereIsAFailure) {
    struct Case {
        const wchar_t* fault;
        long long amount;
        size_t whole;        // files copied whole
        size_t local;        // files on the PC, a partial one included
        const wchar_t* line; // null: the failed read of the folder
    } cases[] = {
        {L"unplug-after", 4096, 1, 1, nullptr},               // at the end of the first file
        {L"unplug-after", 5000, 1, 2, L"文件内容读取失败！"}, // inside the second
        {L"read-after", 4096, 1, 2, L"文件内容读取失败！"},   // reads spent with the first file
        {L"list-after", 3, 1, 1, nullptr},                    // after the listing's first name
        {L"list-after", 4, 2, 2, nullptr},                    // on the listing's end
        {L"unplug-list-after", 2, 0, 0, nullptr},             // before the first name
        {L"unplug-list-after", 3, 1, 1, nullptr},             // after the first name
    };
    int index = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(WideToUtf8(c.fault) + " " + std::to_string(c.amount));
        const std::wstring udid = DeviceFor(c.fault);
        ASSERT_FALSE(udid.empty());
        const std::map<std::wstring, std::string> contents = {{L"f1.bin", Pattern(4096, 90)},
                                                              {L"f2.bin", Pattern(4096, 91)}};
        const std::wstring folder = FreshFolder(udid, L"cut", contents);
        ASSERT_FALSE(folder.empty());
        const std::wstring into = local / (L"c" + std::to_wstring(index++));
        ASSERT_TRUE(CreateDirectoryW(into.c_str(), nullptr));
        Progress::Calls().clear();
        log.Reset();
        ASSERT_TRUE(farm().SetFault(udid, c.fault, c.amount));

        EXPECT_EQ(Download(folder, into, udid), 0);
        if (CutsInsideListings()) {
            EXPECT_TRUE(log.Has(c.line ? std::wstring(c.line) : FolderReadFailed(folder)));
        } else {
            EXPECT_FALSE(log.NewLines().empty()) << "a failure without a line";
        }
        size_t whole = 0;
        for (const auto& file : contents) {
            const std::vector<unsigned> percents = Percents(L"下载文件 " + folder + L"/" + file.first);
            std::string bytes;
            const bool there = testutil::ReadFileBytes(into + L"\\cut\\" + file.first, &bytes);
            const bool reported = !percents.empty() && percents.back() == 100;
            EXPECT_EQ(reported, there && bytes == file.second) << WideToUtf8(file.first.c_str());
            whole += reported ? 1 : 0;
        }
        if (CutsInsideListings()) {
            EXPECT_EQ(whole, c.whole);
            EXPECT_EQ(testutil::ListFolder(into + L"\\cut").size(), c.local);
        }
        Retire(udid);
    }
}

// A listing that fails in a folder below fails the whole download.
TEST_F(FileTransfer, ACutInAnInnerFolderFailsTheDownload) {
    const std::wstring tree = scratch + L"/tree";
    ASSERT_TRUE(MakeDeviceFolder(tree));
    ASSERT_TRUE(MakeDeviceFolder(tree + L"/sub"));
    ASSERT_TRUE(PutDeviceFile(tree + L"/sub/a.bin", Pattern(100, 95)));
    // ".", ".." and "sub" of the tree, "." and ".." of sub; then no more.
    ASSERT_TRUE(farm().SetFault(Jailbroken(), L"list-after", 5));
    EXPECT_EQ(Download(tree, local.path()), 0);
    EXPECT_TRUE(FolderFailureLogged(tree + L"/sub"));
    if (CutsInsideListings()) {
        EXPECT_TRUE(IsLocalDirectory(local / L"tree\\sub")) << "folders made stay";
    }
    EXPECT_TRUE(testutil::ListFolder(local / L"tree\\sub").empty());
    EXPECT_TRUE(Progress::Calls().empty());
}

TEST_F(FileTransfer, CjkNamesBothWays) {
    const std::wstring folder = local / L"资料";
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    ASSERT_TRUE(testutil::WriteFileBytes(folder + L"\\照片\U0001F4F7.txt", Pattern(4100, 50)));
    EXPECT_EQ(Upload(folder, scratch), 1);
    EXPECT_TRUE(SameBytes(DeviceContent(scratch + L"/资料/照片\U0001F4F7.txt"), Pattern(4100, 50)));
    ASSERT_TRUE(CreateDirectoryW((local / L"下载").c_str(), nullptr));
    EXPECT_EQ(Download(scratch + L"/资料", local / L"下载"), 1);
    EXPECT_TRUE(SameBytes(LocalBytes(local / L"下载\\资料\\照片\U0001F4F7.txt"), Pattern(4100, 50)));
    EXPECT_EQ(Percents(L"下载文件 " + scratch + L"/资料/照片\U0001F4F7.txt"), ExpectedPercents(4100));
}

TEST_F(FileTransfer, LocalFailuresEndTheTransferWithOneLogLine) {
    // A source that isn't there.
    EXPECT_EQ(Upload(local / L"absent.txt", scratch), 0);
    EXPECT_TRUE(log.Has(L"找不到本地文件或目录 " + (local / L"absent.txt")));

    // A source nobody may read: the device file of that name keeps its content.
    ASSERT_TRUE(PutDeviceFile(scratch + L"/locked.txt", "device copy"));
    ASSERT_TRUE(testutil::WriteFileBytes(local / L"locked.txt", "local copy"));
    {
        UniqueHandle lock(
            ::CreateFileW((local / L"locked.txt").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(lock);
        log.Reset();
        EXPECT_EQ(Upload(local / L"locked.txt", scratch), 0);
        EXPECT_TRUE(log.Has(L"打开本地文件 " + (local / L"locked.txt") + L" 失败"));
        EXPECT_EQ(DeviceContent(scratch + L"/locked.txt"), "device copy");
    }

    // A target folder that isn't there, and a target file that can't be written.
    ASSERT_TRUE(PutDeviceFile(scratch + L"/d.txt", Pattern(5000, 60)));
    log.Reset();
    EXPECT_EQ(Download(scratch + L"/d.txt", local / L"nowhere"), 0);
    EXPECT_TRUE(log.Has(L"创建本地文件 " + (local / L"nowhere\\d.txt") + L" 失败"));
    EXPECT_TRUE(DeviceFileReleased(scratch + L"/d.txt"));
    ASSERT_TRUE(CreateDirectoryW((local / L"d.txt").c_str(), nullptr)); // a folder in the file's place
    log.Reset();
    EXPECT_EQ(Download(scratch + L"/d.txt", local.path()), 0);
    EXPECT_TRUE(log.Has(L"创建本地文件 " + (local / L"d.txt") + L" 失败"));
    EXPECT_TRUE(IsLocalDirectory(local / L"d.txt"));
    EXPECT_TRUE(Progress::Calls().empty());
}

// The file being downloaded, changed on the device between two chunks.
std::wstring g_changing;
void GrowAfterFirstChunk(const ProgressCall& call) {
    if (call.percent > 0 && call.percent < 50) {
        UniqueHandle file(::CreateFileW(g_changing.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                        nullptr, OPEN_EXISTING, 0, nullptr));
        DWORD written = 0;
        ::WriteFile(file.get(), "more", 4, &written, nullptr);
    }
}

TEST_F(FileTransfer, ADeviceFileThatShrinksOrGrowsDuringTheDownload) {
    // Large enough that the device can't have read it all ahead when the
    // hook cuts it to 2048 bytes after the first chunk.
    const std::string content = Pattern(3 << 20, 70);
    ASSERT_TRUE(PutDeviceFile(scratch + L"/shrinks.bin", content));
    g_changing = Host(scratch + L"/shrinks.bin");
    struct Cut {
        static void Hook(const ProgressCall& call) {
            if (Progress::Calls().size() == 1) {
                UniqueHandle file(::CreateFileW(g_changing.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                                nullptr, OPEN_EXISTING, 0, nullptr));
                ::SetFilePointer(file.get(), 2048, nullptr, FILE_BEGIN);
                ::SetEndOfFile(file.get());
            }
        }
    };
    Progress::hook = Cut::Hook;
    EXPECT_EQ(Download(scratch + L"/shrinks.bin", local.path()), 0);
    EXPECT_TRUE(log.Has(L"文件内容读取失败！"));
    const std::string partial = LocalBytes(local / L"shrinks.bin");
    EXPECT_LT(partial.size(), content.size());
    EXPECT_TRUE(SameBytes(partial, content.substr(0, partial.size())));
    EXPECT_EQ(Percents(L"下载文件 " + scratch + L"/shrinks.bin").back(), ChunkShare(partial.size(), content.size()));

    ASSERT_TRUE(PutDeviceFile(scratch + L"/grows.bin", Pattern(10000, 71)));
    g_changing = Host(scratch + L"/grows.bin");
    Progress::hook = GrowAfterFirstChunk;
    Progress::Calls().clear();
    EXPECT_EQ(Download(scratch + L"/grows.bin", local.path()), 1);
    EXPECT_TRUE(SameBytes(LocalBytes(local / L"grows.bin"), Pattern(10000, 71)))
        << "copied as it was when the copy began";
    EXPECT_EQ(Percents(L"下载文件 " + scratch + L"/grows.bin"), ExpectedPercents(10000));
}

TEST_F(FileTransfer, ALinkToAFileDownloadsTheWholeTarget) {
    ASSERT_TRUE(MakeDeviceFolder(scratch + L"/with-link"));
    ASSERT_TRUE(PutDeviceFile(scratch + L"/target.bin", Pattern(9000, 80)));
    ASSERT_TRUE(farm().MakeLink(Jailbroken(), L"../target.bin", (scratch + L"/with-link/alias.bin").c_str()));
    EXPECT_EQ(Download(scratch + L"/with-link", local.path()), 1);
    EXPECT_TRUE(SameBytes(LocalBytes(local / L"with-link\\alias.bin"), Pattern(9000, 80)));
    EXPECT_EQ(Percents(L"下载文件 " + scratch + L"/with-link/alias.bin"), ExpectedPercents(9000));

    ASSERT_TRUE(farm().MakeLink(Jailbroken(), L"nowhere", (scratch + L"/with-link/dangling").c_str()));
    EXPECT_EQ(Download(scratch + L"/with-link/dangling", local.path()), 0);
}

TEST_F(FileTransfer, ArgumentsAndPathForms) {
    ASSERT_TRUE(testutil::WriteFileBytes(local / L"x.txt", "x"));
    const std::wstring id = Jailbroken();
    const std::wstring file = local / L"x.txt";
    EXPECT_EQ(dll().UploadDirectoriesAndFilesToDevice(id.c_str(), nullptr, scratch.c_str(), Progress::Record), 0);
    EXPECT_EQ(dll().UploadDirectoriesAndFilesToDevice(id.c_str(), file.c_str(), L"", Progress::Record), 0);
    EXPECT_EQ(dll().UploadDirectoriesAndFilesToDevice(L"no-such-device", file.c_str(), scratch.c_str(), nullptr), 0);
    EXPECT_EQ(dll().DownloadDirectoriesAndFilesFromDevice(id.c_str(), L"", local.path().c_str(), nullptr), 0);
    EXPECT_EQ(dll().DownloadDirectoriesAndFilesFromDevice(id.c_str(), scratch.c_str(), nullptr, nullptr), 0);
    EXPECT_EQ(
        dll().DownloadDirectoriesAndFilesFromDevice(L"no-such-device", scratch.c_str(), local.path().c_str(), nullptr),
        0);
    EXPECT_TRUE(log.QuietAbout(scratch));

    // A folder given with a trailing "\" is refused.
    EXPECT_EQ(Upload(local.path() + L"\\", scratch), 0);
    EXPECT_TRUE(log.Has(L"指定的文件路径错误！"));
    // A device folder named without any "/".
    log.Reset();
    EXPECT_EQ(Download(L"Applications", local.path()), 0);
    EXPECT_TRUE(log.Has(L"指定的文件路径错误！"));
    // A device file that isn't there.
    log.Reset();
    EXPECT_EQ(Download(scratch + L"/absent", local.path()), 0);
    EXPECT_TRUE(log.QuietAbout(scratch));
    EXPECT_TRUE(Progress::Calls().empty());
}

} // namespace
} // namespace devfiles
