// Exports whose work belongs to later modules answer 0 until they are built.
// Remove a line here together with its stub in device/pending_exports.cpp.
#include "tests/device/device_dll.h"

#include <gtest/gtest.h>

namespace {

void Progress(const wchar_t*, const wchar_t*, unsigned int) {}

TEST(PendingExports, AnswerZeroUntilBuilt) {
    testutil::DeviceDll dll;
    ASSERT_TRUE(dll.ok());
    const wchar_t* id = L"0123456789abcdef0123456789abcdef01234567";
    __IOS_FILE file{};
    __IOS_FILE* files = nullptr;
    unsigned int count = 0;
    EXPECT_EQ(dll.GetFilesInDirectory(id, L"/", &files, &count), 0);
    EXPECT_EQ(dll.GetFileInfoOnDevice(id, L"/", &file), 0);
    EXPECT_EQ(dll.CreateDirectoryOnDevice(id, L"/a"), 0);
    EXPECT_EQ(dll.RenameDirectoryOrFileOnDevice(id, L"/a", L"/b"), 0);
    EXPECT_EQ(dll.DeleteDirectoriesAndFilesOnDevice(id, L"/a", Progress), 0);
    EXPECT_EQ(dll.UploadDirectoriesAndFilesToDevice(id, L"C:\\a", L"/a", Progress), 0);
    EXPECT_EQ(dll.DownloadDirectoriesAndFilesFromDevice(id, L"/a", L"C:\\a", Progress), 0);
}

TEST(VersionExports, LeaveTheBufferUnchanged) {
    testutil::DeviceDll dll;
    ASSERT_TRUE(dll.ok());
    wchar_t buffer[16];
    wmemset(buffer, L'#', 16);
    dll.GetDllVersion(buffer, 16);
    dll.GetCopyRight(buffer, 16);
    for (wchar_t c : buffer)
        EXPECT_EQ(c, L'#');
}

TEST(ReleaseMemoryExport, AcceptsNull) {
    testutil::DeviceDll dll;
    ASSERT_TRUE(dll.ok());
    dll.ReleaseMemory(nullptr);
}

} // namespace
