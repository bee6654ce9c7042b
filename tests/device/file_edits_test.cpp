// Making, renaming and deleting device entries through the library.
#include "tests/device/file_fixture.h"

#include "platform/file.h"
#include "platform/text.h"

namespace devfiles {
namespace {

class FileEdits : public FileExportsTest {
  protected:
    int Delete(const std::wstring& path, ProgressCallback progress = Progress::Record) {
        return dll().DeleteDirectoriesAndFilesOnDevice(Jailbroken().c_str(), path.c_str(), progress);
    }
    std::vector<std::wstring> Texts() const {
        std::vector<std::wstring> texts;
        for (const ProgressCall& call : Progress::Calls()) {
            EXPECT_EQ(call.identifier, Jailbroken());
            EXPECT_EQ(call.percent, 0u);
            texts.push_back(call.text);
        }
        return texts;
    }
};

TEST_F(FileEdits, DeletingAFileMakesOneProgressCall) {
    ASSERT_TRUE(PutDeviceFile(scratch + L"/note.txt", "note"));
    EXPECT_EQ(Delete(scratch + L"/note.txt"), 1);
    EXPECT_EQ(Texts(), std::vector<std::wstring>{L"删除 " + scratch + L"/note.txt"});
    EXPECT_FALSE(DeviceEntryExists(scratch + L"/note.txt"));
}

TEST_F(FileEdits, DeletingATreeGoesChildrenFirstWithSingleSeparators) {
    const std::wstring tree = scratch + L"/tree";
    ASSERT_TRUE(MakeDeviceFolder(tree));
    ASSERT_TRUE(PutDeviceFile(tree + L"/a", "a"));
    ASSERT_TRUE(PutDeviceFile(tree + L"/b", "b"));
    ASSERT_TRUE(MakeDeviceFolder(tree + L"/empty"));
    EXPECT_EQ(Delete(tree + L"/"), 1); // given with a trailing separator
    std::vector<std::wstring> texts = Texts();
    ASSERT_EQ(texts.size(), 4u);
    EXPECT_EQ(texts.back(), L"删除 " + tree + L"/");
    std::vector<std::wstring> children(texts.begin(), texts.end() - 1);
    std::sort(children.begin(), children.end());
    EXPECT_EQ(children, (std::vector<std::wstring>{L"删除 " + tree + L"/a", L"删除 " + tree + L"/b",
                                                   L"删除 " + tree + L"/empty"}));
    EXPECT_FALSE(DeviceEntryExists(tree));
    EXPECT_TRUE(DeviceEntryExists(scratch));

    // Deeper: every folder right after its last child.
    ASSERT_TRUE(MakeDeviceFolder(tree));
    ASSERT_TRUE(MakeDeviceFolder(tree + L"/x"));
    ASSERT_TRUE(MakeDeviceFolder(tree + L"/x/y"));
    ASSERT_TRUE(PutDeviceFile(tree + L"/x/y/z", "z"));
    Progress::Calls().clear();
    EXPECT_EQ(Delete(tree, nullptr), 1) << "no progress callback";
    EXPECT_TRUE(Progress::Calls().empty());
    ASSERT_TRUE(MakeDeviceFolder(tree));
    ASSERT_TRUE(MakeDeviceFolder(tree + L"/x"));
    ASSERT_TRUE(PutDeviceFile(tree + L"/x/z", "z"));
    EXPECT_EQ(Delete(tree), 1);
    EXPECT_EQ(Texts(),
              (std::vector<std::wstring>{L"删除 " + tree + L"/x/z", L"删除 " + tree + L"/x", L"删除 " + tree}));
    EXPECT_TRUE(log.QuietAbout(scratch));
}

TEST_F(FileEdits, DeletingALinkRemovesTheLinkOnly) {
    ASSERT_TRUE(MakeDeviceFolder(scratch + L"/real"));
    ASSERT_TRUE(PutDeviceFile(scratch + L"/real/keep", "keep"));
    ASSERT_TRUE(farm().MakeLink(Jailbroken(), L"real", (scratch + L"/alias").c_str()));
    EXPECT_EQ(Delete(scratch + L"/alias"), 1);
    EXPECT_EQ(Texts(), std::vector<std::wstring>{L"删除 " + scratch + L"/alias"});
    EXPECT_FALSE(DeviceEntryExists(scratch + L"/alias"));
    std::string kept;
    EXPECT_TRUE(DeviceBytes(scratch + L"/real/keep", &kept));
    EXPECT_EQ(kept, "keep");
}

TEST_F(FileEdits, MissingPathsAndArguments) {
    EXPECT_EQ(Delete(scratch + L"/nothing"), 0);
    EXPECT_EQ(Delete(L""), 0);
    EXPECT_EQ(dll().DeleteDirectoriesAndFilesOnDevice(Jailbroken().c_str(), nullptr, Progress::Record), 0);
    EXPECT_EQ(dll().DeleteDirectoriesAndFilesOnDevice(L"no-such-device", scratch.c_str(), Progress::Record), 0);
    EXPECT_TRUE(Progress::Calls().empty());
    EXPECT_TRUE(DeviceEntryExists(scratch));
    EXPECT_EQ(dll().CreateDirectoryOnDevice(Jailbroken().c_str(), L""), 0);
    EXPECT_EQ(dll().CreateDirectoryOnDevice(L"no-such-device", (scratch + L"/x").c_str()), 0);
    EXPECT_EQ(dll().RenameDirectoryOrFileOnDevice(Jailbroken().c_str(), scratch.c_str(), nullptr), 0);
    EXPECT_EQ(dll().RenameDirectoryOrFileOnDevice(Jailbroken().c_str(), L"", scratch.c_str()), 0);
    EXPECT_TRUE(log.QuietAbout(scratch));
}

TEST_F(FileEdits, DeletingStopsAtTheFirstEntryThatStays) {
    const std::wstring tree = scratch + L"/tree";
    ASSERT_TRUE(MakeDeviceFolder(tree));
    ASSERT_TRUE(PutDeviceFile(tree + L"/a", "a"));
    ASSERT_TRUE(PutDeviceFile(tree + L"/b", "b"));
    // A file held open without delete sharing can't be removed.
    UniqueHandle held(
        ::CreateFileW(Host(tree + L"/b").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(held);
    EXPECT_EQ(Delete(tree), 0);
    EXPECT_TRUE(DeviceEntryExists(tree + L"/b"));
    EXPECT_TRUE(DeviceEntryExists(tree));
    for (const ProgressCall& call : Progress::Calls())
        EXPECT_NE(call.text, L"删除 " + tree);
    held.reset();
    EXPECT_EQ(Delete(tree), 1);
}

// A delete whose folder read fails stops there: 0, a line naming the
// folder, the folder and what was not yet reached stay, and only what was
// removed is reported.
TEST_F(FileEdits, ADeleteCutInsideAListingLeavesTheFolder) {
    struct Case {
        const wchar_t* fault;
        long long amount;
        size_t removed;
    } cases[] = {
        {L"list-after", 3, 1},        // after the first name
        {L"list-after", 4, 2},        // on the end: the folder, emptied, stays
        {L"unplug-list-after", 2, 0}, // before the first name
        {L"unplug-list-after", 3, 1}, // between the two entries
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(WideToUtf8(c.fault) + " " + std::to_string(c.amount));
        const std::wstring udid = DeviceFor(c.fault);
        ASSERT_FALSE(udid.empty());
        const std::wstring tree = FreshFolder(udid, L"tree", {{L"a", "a"}, {L"b", "b"}});
        ASSERT_FALSE(tree.empty());
        Progress::Calls().clear();
        log.Reset();
        ASSERT_TRUE(farm().SetFault(udid, c.fault, c.amount));

        const int result = dll().DeleteDirectoriesAndFilesOnDevice(udid.c_str(), tree.c_str(), Progress::Record);
        if (CutsInsideListings()) {
            EXPECT_EQ(result, 0);
            EXPECT_TRUE(log.Has(FolderReadFailed(tree)));
            EXPECT_TRUE(DeviceEntryExists(tree, udid));
            EXPECT_EQ(Progress::Calls().size(), c.removed);
        } else if (result == 0) {
            EXPECT_TRUE(FolderFailureLogged(tree));
            EXPECT_TRUE(DeviceEntryExists(tree, udid));
        }
        for (const wchar_t* name : {L"/a", L"/b"}) {
            bool reported = false;
            for (const ProgressCall& call : Progress::Calls())
                reported = reported || call.text == L"删除 " + tree + name;
            EXPECT_NE(reported, DeviceEntryExists(tree + name, udid)) << WideToUtf8(name);
        }
        Retire(udid);
    }
}

TEST_F(FileEdits, CreateAndRenameAnswerWhatTheDeviceSays) {
    const std::wstring id = Jailbroken();
    EXPECT_EQ(dll().CreateDirectoryOnDevice(id.c_str(), (scratch + L"/new").c_str()), 1);
    EXPECT_TRUE(IsLocalDirectory(Host(scratch + L"/new")));
    EXPECT_EQ(dll().CreateDirectoryOnDevice(id.c_str(), (scratch + L"/missing/child").c_str()), 0);
    EXPECT_FALSE(DeviceEntryExists(scratch + L"/missing"));

    ASSERT_TRUE(PutDeviceFile(scratch + L"/a.txt", "alpha"));
    EXPECT_EQ(dll().RenameDirectoryOrFileOnDevice(id.c_str(), (scratch + L"/a.txt").c_str(),
                                                  (scratch + L"/new/b.txt").c_str()),
              1);
    std::string moved;
    EXPECT_TRUE(DeviceBytes(scratch + L"/new/b.txt", &moved));
    EXPECT_EQ(moved, "alpha");
    EXPECT_FALSE(DeviceEntryExists(scratch + L"/a.txt"));
    EXPECT_EQ(
        dll().RenameDirectoryOrFileOnDevice(id.c_str(), (scratch + L"/new").c_str(), (scratch + L"/renamed").c_str()),
        1);
    EXPECT_TRUE(DeviceEntryExists(scratch + L"/renamed/b.txt"));
    EXPECT_EQ(dll().RenameDirectoryOrFileOnDevice(id.c_str(), (scratch + L"/gone").c_str(), (scratch + L"/x").c_str()),
              0);
    EXPECT_TRUE(log.QuietAbout(scratch));
}

} // namespace
} // namespace devfiles
