#include "platform/log.h"
#include "platform/seams.h"
#include "tests/support/test_util.h"

#include <gtest/gtest.h>

#include <ctime>

namespace {

using testutil::TempDir;

// The hooks point the log at a private documents folder and a fixed clock.
std::wstring g_documents;
int64_t g_now = 0;

class DailyLog : public testing::Test {
  protected:
    void SetUp() override {
        g_documents = m_dir.path();
        seams::Current().documentsFolder = [] { return g_documents; };
        seams::Current().now = [] { return g_now; };
    }
    void TearDown() override { seams::Reset(); }

    std::wstring LogFolder() const { return m_dir.path() + L"\\Tevrin\\Logs"; }

    TempDir m_dir;
};

// Local calendar time of `t`, through the C runtime (not the code under test).
std::tm LocalTm(int64_t t) {
    __time64_t value = t;
    return *_localtime64(&value);
}

std::wstring FileNameFor(int64_t t) {
    std::tm tm = LocalTm(t);
    wchar_t name[32];
    wcsftime(name, 32, L"%Y%m%d.log", &tm);
    return name;
}

std::string PrefixFor(int64_t t) {
    std::tm tm = LocalTm(t);
    char prefix[32];
    strftime(prefix, 32, "%Y-%m-%d %H:%M:%S: ", &tm);
    return prefix;
}

std::string ReadLog(const std::wstring& path) {
    std::string bytes;
    EXPECT_TRUE(testutil::ReadFileBytes(path, &bytes)) << "missing " << testing::PrintToString(path);
    return bytes;
}

TEST_F(DailyLog, FirstLineCreatesBothFoldersAndHoldsOneLine) {
    g_now = 1700000000;
    WriteDailyLog(L"hello");

    ASSERT_EQ(testutil::ListFolder(m_dir.path()), std::vector<std::wstring>{L"Tevrin"});
    ASSERT_EQ(testutil::ListFolder(m_dir.path() + L"\\Tevrin"), std::vector<std::wstring>{L"Logs"});
    ASSERT_EQ(testutil::ListFolder(LogFolder()), std::vector<std::wstring>{FileNameFor(g_now)});
    EXPECT_EQ(ReadLog(LogFolder() + L"\\" + FileNameFor(g_now)), PrefixFor(g_now) + "hello\r\n");
}

TEST_F(DailyLog, LinesEitherSideOfMidnightGoToTheirOwnDays) {
    std::tm tm = LocalTm(1700000000);
    int64_t midnight = 1700000000 + (86400 - (tm.tm_hour * 3600 + tm.tm_min * 60 + tm.tm_sec));

    g_now = midnight - 1;
    WriteDailyLog(L"late");
    g_now = midnight;
    WriteDailyLog(L"early");

    std::wstring before = FileNameFor(midnight - 1), after = FileNameFor(midnight);
    ASSERT_NE(before, after);
    EXPECT_EQ(ReadLog(LogFolder() + L"\\" + before), PrefixFor(midnight - 1) + "late\r\n");
    EXPECT_EQ(ReadLog(LogFolder() + L"\\" + after), PrefixFor(midnight) + "early\r\n");
    EXPECT_EQ(PrefixFor(midnight).substr(11, 8), "00:00:00");
}

TEST_F(DailyLog, AppendsAndStoresChineseAsUtf8) {
    g_now = 1700000000;
    WriteDailyLog(L"连接设备失败！");
    WriteDailyLog(std::wstring(L"建立文件服务失败."));
    WriteDailyLog(static_cast<const wchar_t*>(nullptr));

    std::string expected =
        PrefixFor(g_now) + "\xE8\xBF\x9E\xE6\x8E\xA5\xE8\xAE\xBE\xE5\xA4\x87\xE5\xA4\xB1\xE8\xB4\xA5\xEF\xBC\x81\r\n" +
        PrefixFor(g_now) +
        "\xE5\xBB\xBA\xE7\xAB\x8B\xE6\x96\x87\xE4\xBB\xB6\xE6\x9C\x8D\xE5\x8A\xA1\xE5\xA4\xB1\xE8\xB4\xA5.\r\n" +
        PrefixFor(g_now) + "\r\n";
    EXPECT_EQ(ReadLog(LogFolder() + L"\\" + FileNameFor(g_now)), expected);
}

TEST_F(DailyLog, LineIsLostWhenTheFolderCannotBeCreated) {
    g_now = 1700000000;
    // A file named "Tevrin" stands where the folder would go.
    ASSERT_TRUE(testutil::WriteFileBytes(m_dir / L"Tevrin", "x"));
    WriteDailyLog(L"lost");
    EXPECT_EQ(testutil::ListFolder(m_dir.path()), std::vector<std::wstring>{L"Tevrin"});

    // A documents folder that does not exist at all.
    g_documents = m_dir / L"missing\\deeper";
    WriteDailyLog(L"lost too");
    EXPECT_EQ(testutil::ListFolder(m_dir.path()), std::vector<std::wstring>{L"Tevrin"});

    // No documents folder.
    g_documents.clear();
    WriteDailyLog(L"lost again");
}

} // namespace
