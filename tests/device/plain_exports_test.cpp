// The exports that need no device: the version entry points and ReleaseMemory.
#include "tests/device/device_dll.h"

#include <gtest/gtest.h>

namespace {

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
