// Removing a local folder tree: everything below goes, read-only, hidden
// and system files included; a file or a missing path is handled too.
#include "platform/file.h"
#include "tests/support/test_util.h"

#include <gtest/gtest.h>

namespace {

TEST(RemoveLocalTreeTest, RemovesEverythingBelowWhateverItsAttributes) {
    testutil::TempDir scratch;
    const std::wstring top = scratch / L"top";
    ASSERT_TRUE(::CreateDirectoryW(top.c_str(), nullptr));
    ASSERT_TRUE(::CreateDirectoryW((top + L"\\sub").c_str(), nullptr));
    ASSERT_TRUE(::CreateDirectoryW((top + L"\\sub\\deeper").c_str(), nullptr));
    const struct {
        const wchar_t* name;
        DWORD attributes;
    } files[] = {
        {L"\\plain.txt", FILE_ATTRIBUTE_NORMAL},
        {L"\\sub\\read-only.txt", FILE_ATTRIBUTE_READONLY},
        {L"\\sub\\deeper\\hidden.txt", FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM},
        {L"\\sub\\deeper\\all.txt", FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN},
    };
    for (const auto& file : files) {
        const std::wstring path = top + file.name;
        ASSERT_TRUE(testutil::WriteFileBytes(path, "x"));
        ASSERT_TRUE(::SetFileAttributesW(path.c_str(), file.attributes));
    }
    EXPECT_TRUE(RemoveLocalTree(top));
    EXPECT_FALSE(IsLocalDirectory(top));
    EXPECT_EQ(::GetFileAttributesW(top.c_str()), INVALID_FILE_ATTRIBUTES);

    // A single read-only file, and a path that is not there.
    const std::wstring lone = scratch / L"lone.txt";
    ASSERT_TRUE(testutil::WriteFileBytes(lone, "y"));
    ASSERT_TRUE(::SetFileAttributesW(lone.c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_TRUE(RemoveLocalTree(lone));
    EXPECT_FALSE(IsLocalFile(lone));
    EXPECT_TRUE(RemoveLocalTree(scratch / L"never-there"));
}

} // namespace
