#include "ipa/ipa_exception.h"
#include "ipa/zip_extractor.h"
#include "platform/file.h"
#include "tests/ipa/ipa_test_util.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <deque>
#include <optional>

namespace {

using ipatest::DataPath;
using ipatest::ListTree;
using ipatest::ReadAll;
using testutil::TempDir;
using Tree = std::vector<std::wstring>;

// Records what the driver tells it; answers OnFileExists from a script.
class RecordingDelegate : public SingleFileZipDelegate {
  public:
    int OnMessage(const wchar_t* text) override {
        messages.push_back(text);
        return 1;
    }
    int OnFileExists(const wchar_t* name) override {
        ++asked;
        if (answers.empty())
            return 1;
        int answer = answers.front();
        answers.pop_front();
        return answer;
    }
    int OnEntryExtracted(const wchar_t* name) override {
        extracted.push_back(name);
        return 0;
    }
    int OnEntrySkipped(const wchar_t*) override { return ++skipped; }
    int OnFilterEntry(const wchar_t* name) override {
        filtered.push_back(name);
        return acceptAll ? 1 : SingleFileZipDelegate::OnFilterEntry(name);
    }
    void OnCancelled() override { ++cancelled; }

    std::vector<std::wstring> messages, extracted, filtered;
    std::deque<int> answers;
    int asked = 0, skipped = 0, cancelled = 0;
    bool acceptAll = false;
};

// Opens `archive`, extracts entries named `target` into `destination`.
int Extract(const std::wstring& archive, const wchar_t* target, const std::wstring& destination,
            RecordingDelegate& delegate) {
    ZipExtractor zip;
    delegate.SetTargetName(target);
    zip.SetDelegate(&delegate);
    if (!zip.OpenArchive(archive.c_str()))
        return -1;
    int result = zip.ExtractAllTo(destination.c_str());
    zip.CloseArchive();
    return result;
}

class ZipExtraction : public testing::Test {
  protected:
    std::wstring Dest() const { return m_dir / L"out"; }
    TempDir m_dir;
    RecordingDelegate m_delegate;
};

TEST_F(ZipExtraction, NoMatchingEntryGivesOneAndWritesNothing) {
    EXPECT_EQ(Extract(DataPath(L"nomatch.zip"), L"Info.plist", Dest(), m_delegate), 1);
    EXPECT_EQ(ListTree(m_dir.path()), Tree{});
    EXPECT_TRUE(m_delegate.messages.empty());
}

TEST_F(ZipExtraction, LaterEntryOfTheSameTargetOverwritesTheEarlier) {
    EXPECT_EQ(Extract(DataPath(L"twice.zip"), L"Info.plist", Dest(), m_delegate), 1);
    EXPECT_EQ(ListTree(Dest()), (Tree{L"x\\", L"x\\Info.plist"}));
    EXPECT_EQ(ReadAll(Dest() + L"\\x\\Info.plist"), "third");
    EXPECT_EQ(m_delegate.asked, 2);
}

TEST_F(ZipExtraction, EmptyEntryCreatesAnEmptyFile) {
    EXPECT_EQ(Extract(DataPath(L"empty_entry.zip"), L"Info.plist", Dest(), m_delegate), 1);
    EXPECT_TRUE(IsLocalFile(Dest() + L"\\Payload\\A.app\\Info.plist"));
    EXPECT_EQ(ReadAll(Dest() + L"\\Payload\\A.app\\Info.plist"), "");
}

TEST_F(ZipExtraction, SlashNamesAreWrittenBelowBackslashFolders) {
    EXPECT_EQ(Extract(DataPath(L"nested.zip"), L"Info.plist", Dest(), m_delegate), 1);
    EXPECT_EQ(ListTree(Dest()),
              (Tree{L"Payload\\", L"Payload\\A.app\\", L"Payload\\A.app\\Info.plist", L"Payload\\A.app\\sub\\",
                    L"Payload\\A.app\\sub\\deeper\\", L"Payload\\A.app\\sub\\deeper\\Info.plist"}));
    EXPECT_EQ(ReadAll(Dest() + L"\\Payload\\A.app\\sub\\deeper\\Info.plist"), "deep");
    EXPECT_EQ(m_delegate.extracted,
              (std::vector<std::wstring>{L"Payload\\A.app\\sub\\deeper\\Info.plist", L"Payload\\A.app\\Info.plist"}));
}

TEST_F(ZipExtraction, TargetNameIgnoresLetterCase) {
    EXPECT_EQ(Extract(DataPath(L"case.zip"), L"icon.png", Dest(), m_delegate), 1);
    EXPECT_EQ(ListTree(Dest()), (Tree{L"a\\", L"a\\Icon.PNG", L"b\\", L"b\\ICON.png"}));
}

TEST_F(ZipExtraction, TrailingBackslashOfTheDestinationChangesNothing) {
    RecordingDelegate other;
    EXPECT_EQ(Extract(DataPath(L"nested.zip"), L"Info.plist", m_dir / L"plain", m_delegate), 1);
    EXPECT_EQ(Extract(DataPath(L"nested.zip"), L"Info.plist", m_dir / L"slash\\", other), 1);
    EXPECT_EQ(ListTree(m_dir / L"plain"), ListTree(m_dir / L"slash"));
    EXPECT_EQ(ListTree(m_dir / L"plain").size(), 6u);
}

TEST_F(ZipExtraction, FolderEntriesAreCreatedWhenTheTargetIsEmpty) {
    EXPECT_EQ(Extract(DataPath(L"folders.zip"), nullptr, Dest(), m_delegate), 1);
    EXPECT_EQ(ListTree(Dest()), (Tree{L"Payload\\", L"Payload\\A.app\\"}));
}

TEST_F(ZipExtraction, UnicodeArchivePathOpens) {
    std::wstring copy = m_dir / L"测试 архив.ipa";
    ASSERT_TRUE(::CopyFileW(DataPath(L"nested.zip").c_str(), copy.c_str(), FALSE));
    EXPECT_EQ(Extract(copy, L"Info.plist", Dest(), m_delegate), 1);
    EXPECT_EQ(ReadAll(Dest() + L"\\Payload\\A.app\\Info.plist"), "top");
}

TEST_F(ZipExtraction, FileTimeIsTheStoredTimeAsItStands) {
    ASSERT_EQ(Extract(DataPath(L"nested.zip"), L"Info.plist", Dest(), m_delegate), 1);
    WIN32_FILE_ATTRIBUTE_DATA data;
    ASSERT_TRUE(
        ::GetFileAttributesExW((Dest() + L"\\Payload\\A.app\\Info.plist").c_str(), GetFileExInfoStandard, &data));
    SYSTEMTIME time;
    ASSERT_TRUE(::FileTimeToSystemTime(&data.ftLastWriteTime, &time));
    EXPECT_EQ(std::vector<int>({time.wYear, time.wMonth, time.wDay, time.wHour, time.wMinute, time.wSecond}),
              std::vector<int>({2012, 6, 25, 10, 20, 30}));
}

TEST_F(ZipExtraction, EntriesThatWouldLeaveTheDestinationAreSkippedWithALogLine) {
    std::wstring dest = m_dir / L"level1\\level2\\out";
    m_delegate.acceptAll = true;
    EXPECT_EQ(Extract(DataPath(L"traversal.zip"), L"Info.plist", dest, m_delegate), 1);
    EXPECT_EQ(ListTree(m_dir.path()), (Tree{L"level1\\", L"level1\\level2\\", L"level1\\level2\\out\\",
                                            L"level1\\level2\\out\\safe\\", L"level1\\level2\\out\\safe\\Info.plist"}));
    EXPECT_EQ(ReadAll(dest + L"\\safe\\Info.plist"), "good");
    EXPECT_EQ(m_delegate.messages.size(), 21u);
    for (const std::wstring& message : m_delegate.messages)
        EXPECT_EQ(message.rfind(L"跳过会解压到目标目录之外的条目: ", 0), 0u) << testing::PrintToString(message);
    // Nothing landed at the roots the names point at.
    wchar_t current[MAX_PATH];
    ::GetCurrentDirectoryW(MAX_PATH, current);
    for (const std::wstring& path : {std::wstring(L"C:\\Info.plist"), std::wstring(current) + L"\\Info.plist",
                                     m_dir / L"Info.plist", m_dir / L"level1\\Info.plist"})
        EXPECT_FALSE(IsLocalFile(path)) << testing::PrintToString(path);
}

TEST(ZipEntryNames, UnsafeFormsAreRecognised) {
    struct Case {
        const wchar_t* name;
        bool safe;
    } cases[] = {
        {L"Payload\\A.app\\Info.plist", true},
        {L"Payload\\A.app\\", true},
        {L"a..b\\.hidden\\x.y.z", true},
        {L"console\\com10\\lpt\\nul_\\x", true},
        {L"", false},
        {L"..\\x", false},
        {L"a\\..\\..\\x", false},
        {L"a\\..", false},
        {L".\\x", false},
        {L"\\x", false},
        {L"\\\\server\\share\\x", false},
        {L"\\\\?\\C:\\x", false},
        {L"C:x", false},
        {L"C:\\x", false},
        {L"a\\b:stream", false},
        {L"a\\\\b", false},
        {L"a/b", false},
        {L"CON", false},
        {L"con.txt", false},
        {L"a\\Nul\\b", false},
        {L"COM1.log", false},
        {L"lpt9", false},
        {L"com\u00b9", false},
        {L"CONOUT$", false},
        {L"aux .x", false},
        {L"name.", false},
        {L"name ", false},
        {L"...\\x", false},
        {L"a\x01", false},
        {L"what?", false},
        {L"star*", false},
        {L"pipe|", false},
        {L"<x>", false},
        {L"\"q\"", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(IsSafeEntryName(c.name), c.safe) << testing::PrintToString(std::wstring(c.name));
    EXPECT_FALSE(IsSafeEntryName(std::wstring(L"a\0b", 3)));
}

// However the central directory is laid out, every run (the first reads the
// directory, later ones on the same archive reuse what it found, in the same
// extractor or in a new one) offers the delegate the same entries in archive
// order and extracts the right bytes.
TEST_F(ZipExtraction, EveryDirectoryLayoutListsTheSameEntries) {
    const Tree listed = {L"Payload\\", L"Payload\\A.app\\Info.plist", L"Payload\\A.app\\\u56fe\u6807.png",
                         L"x\\Info.plist"};
    for (const wchar_t* archive : {L"listing_plain.zip", L"listing_prefixed.zip", L"listing_comment.zip",
                                   L"listing_extra.zip", L"listing_zip64_extra.zip", L"listing_zip64_end.zip"}) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(archive)));
        RecordingDelegate delegate;
        delegate.SetTargetName(L"Info.plist");
        std::optional<ZipExtractor> extractor;
        for (int run = 0; run < 3; ++run) {
            if (run != 1) {
                extractor.emplace();
                extractor->SetDelegate(&delegate);
            }
            ZipExtractor& zip = *extractor;
            delegate.filtered.clear();
            const std::wstring dest = m_dir / (std::wstring(archive) + std::to_wstring(run));
            ASSERT_EQ(zip.OpenArchive(DataPath(archive).c_str()), 1);
            EXPECT_EQ(zip.ExtractAllTo(dest.c_str()), 1);
            zip.CloseArchive();
            EXPECT_EQ(delegate.filtered, listed) << run;
            EXPECT_EQ(ReadAll(dest + L"\\Payload\\A.app\\Info.plist"), "info");
            EXPECT_EQ(ReadAll(dest + L"\\x\\Info.plist"), "second");
            EXPECT_TRUE(delegate.messages.empty());
        }
    }
}

TEST_F(ZipExtraction, AnArchiveChangedBetweenRunsIsReadAgain) {
    // Two archives of one size; the second is written over the first between runs.
    const std::wstring archive = m_dir / L"changing.zip";
    ASSERT_TRUE(testutil::WriteFileBytes(archive, ReadAll(DataPath(L"listing_one.zip"))));
    RecordingDelegate delegate;
    delegate.SetTargetName(L"Info.plist");
    ZipExtractor zip;
    zip.SetDelegate(&delegate);
    ASSERT_EQ(zip.OpenArchive(archive.c_str()), 1);
    EXPECT_EQ(zip.ExtractAllTo(Dest().c_str()), 1);
    zip.CloseArchive();
    EXPECT_EQ(delegate.filtered, (Tree{L"a\\one.txt", L"a\\Info.plist"}));

    const std::string second = ReadAll(DataPath(L"listing_two.zip"));
    ASSERT_EQ(second.size(), ReadAll(archive).size());
    ::Sleep(20); // a later write time, whatever the file system's clock step
    ASSERT_TRUE(testutil::WriteFileBytes(archive, second));
    // Neither this extractor nor a new one (the process keeps the last
    // listing for later calls) walks the first archive's entries.
    ZipExtractor other;
    other.SetDelegate(&delegate);
    for (ZipExtractor* extractor : {&other, &zip}) {
        delegate.filtered.clear();
        const std::wstring dest = Dest() + (extractor == &zip ? L"\\same" : L"\\other");
        ASSERT_EQ(extractor->OpenArchive(archive.c_str()), 1);
        EXPECT_EQ(extractor->ExtractAllTo(dest.c_str()), 1);
        extractor->CloseArchive();
        EXPECT_EQ(delegate.filtered, (Tree{L"b\\two.txt", L"b\\Info.plist"}));
        EXPECT_EQ(ReadAll(dest + L"\\b\\Info.plist"), "from two");
    }
}

TEST_F(ZipExtraction, FailuresEndTheRunWithTheirText) {
    struct Case {
        const wchar_t* archive;
        int opened;
        const wchar_t* text;
    } cases[] = {
        {L"truncated.zip", 0, L"打开压缩包或其中的条目失败"},
        {L"bad_local_header.zip", 1, L"打开压缩包或其中的条目失败"},
        {L"bad_data.zip", 1, L"读取压缩包条目数据失败: Payload\\A.app\\Info.plist"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(c.archive)));
        RecordingDelegate delegate;
        delegate.SetTargetName(L"Info.plist");
        ZipExtractor zip;
        zip.SetDelegate(&delegate);
        EXPECT_EQ(zip.OpenArchive(DataPath(c.archive).c_str()), c.opened);
        EXPECT_EQ(zip.ExtractAllTo(Dest().c_str()), 0);
        EXPECT_EQ(delegate.messages, std::vector<std::wstring>{c.text});
        EXPECT_EQ(zip.CloseArchive(), 1);
        EXPECT_EQ(ListTree(Dest()), Tree{});
    }
}

TEST_F(ZipExtraction, OnlyAcceptedEntriesAreOpened) {
    // The damaged local header belongs to an entry the delegate passes over.
    EXPECT_EQ(Extract(DataPath(L"bad_other_header.zip"), L"Info.plist", Dest(), m_delegate), 1);
    EXPECT_EQ(ReadAll(Dest() + L"\\Payload\\A.app\\Info.plist"), "kept");
    EXPECT_TRUE(m_delegate.messages.empty());
}

TEST_F(ZipExtraction, FailureTextsReachTheDailyLog) {
    ipatest::CapturedLog log;
    SingleFileZipDelegate delegate;
    ZipExtractor zip;
    zip.SetDelegate(&delegate);
    EXPECT_EQ(zip.ExtractAllTo(Dest().c_str()), 0);
    EXPECT_EQ(log.Lines(), std::vector<std::wstring>{L"打开压缩包或其中的条目失败"});
}

TEST_F(ZipExtraction, EntriesLargerThanTheCapAreSkipped) {
    EXPECT_EQ(Extract(DataPath(L"big.zip"), L"Info.plist", Dest(), m_delegate), 1);
    EXPECT_EQ(ListTree(Dest()), (Tree{L"small\\", L"small\\Info.plist"}));
    EXPECT_EQ(m_delegate.messages, std::vector<std::wstring>{L"跳过超过64MB的条目: big\\Info.plist"});
}

TEST_F(ZipExtraction, ExistingFileAnswersDecideOverwriteSkipAndCancel) {
    // twice.zip holds x/Info.plist three times: "first", "second", "third".
    struct Case {
        std::deque<int> answers;
        int asked, skipped, cancelled;
        const char* content;
    } cases[] = {
        {{1, 1}, 2, 0, 0, "third"}, {{2}, 1, 0, 0, "third"},    {{3, 3}, 2, 2, 0, "first"},
        {{4}, 1, 2, 0, "first"},    {{3, 1}, 2, 1, 0, "third"}, {{0}, 1, 0, 1, "first"},
    };
    int run = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(run);
        RecordingDelegate delegate;
        delegate.answers = c.answers;
        std::wstring dest = m_dir / (L"run" + std::to_wstring(run++));
        EXPECT_EQ(Extract(DataPath(L"twice.zip"), L"Info.plist", dest, delegate), 1);
        EXPECT_EQ(delegate.asked, c.asked);
        EXPECT_EQ(delegate.skipped, c.skipped);
        EXPECT_EQ(delegate.cancelled, c.cancelled);
        EXPECT_EQ(ReadAll(dest + L"\\x\\Info.plist"), c.content);
    }
}

TEST_F(ZipExtraction, TargetFileThatCannotBeCreatedRaisesAnError) {
    // A folder stands where the file should go.
    ASSERT_TRUE(ZipExtractor::CreateFolderPath(Dest() + L"\\x\\Info.plist"));
    ZipExtractor zip;
    m_delegate.SetTargetName(L"Info.plist");
    zip.SetDelegate(&m_delegate);
    ASSERT_EQ(zip.OpenArchive(DataPath(L"twice.zip").c_str()), 1);
    try {
        zip.ExtractAllTo(Dest().c_str());
        ADD_FAILURE() << "no error raised";
    } catch (const CIpaException& e) {
        EXPECT_NE(e.Description().find(L"Info.plist"), std::wstring::npos);
    }
}

TEST(ZipFolders, DriveRootsAndFolderCreation) {
    struct Case {
        const wchar_t* path;
        int root;
    } roots[] = {{L"\\", 1}, {L"C:", 1}, {L"C:\\", 1}, {L"C:\\a", 0}, {L"a", 0}, {L"", 0}, {L":\\", 0}};
    for (const auto& c : roots)
        EXPECT_EQ(ZipExtractor::IsDriveRoot(c.path), c.root) << testing::PrintToString(std::wstring(c.path));

    TempDir dir;
    EXPECT_EQ(ZipExtractor::CreateFolderPath(L""), 0);
    EXPECT_EQ(ZipExtractor::CreateFolderPath(L"C:\\"), 1);
    EXPECT_EQ(ZipExtractor::CreateFolderPath(dir / L"a\\b\\c\\"), 1);
    EXPECT_TRUE(IsLocalDirectory(dir / L"a\\b\\c"));
    EXPECT_EQ(ZipExtractor::CreateFolderPath(dir / L"a\\b"), 1);
    ASSERT_TRUE(testutil::WriteFileBytes(dir / L"file", "x"));
    EXPECT_EQ(ZipExtractor::CreateFolderPath(dir / L"file\\sub"), 0);
}

} // namespace
