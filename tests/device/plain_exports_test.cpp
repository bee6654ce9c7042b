// The exports that need no device: the version entry points and ReleaseMemory.
#include "orvex_version.h"
#include "tests/device/device_dll.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// Both names report the project's version, cut to the buffer and always
// terminated; no buffer or no room leaves the memory alone.
TEST(VersionExports, ReportTheVersionWithinTheCapacity) {
    testutil::DeviceDll dll;
    ASSERT_TRUE(dll.ok());
    const std::wstring version = ORVEX_VERSION_TEXT;
    ASSERT_FALSE(version.empty());
    for (auto* function : {dll.GetDllVersion, dll.GetCopyRight}) {
        wchar_t buffer[16];
        wmemset(buffer, L'#', 16);
        function(buffer, 16);
        EXPECT_EQ(std::wstring(buffer), version);
        wmemset(buffer, L'#', 16);
        function(buffer, 3);
        EXPECT_EQ(std::wstring(buffer), version.substr(0, 2));
        EXPECT_EQ(buffer[3], L'#');
        wmemset(buffer, L'#', 16);
        function(buffer, 0);
        function(nullptr, 16);
        EXPECT_EQ(buffer[0], L'#');
    }
}

TEST(ReleaseMemoryExport, AcceptsNull) {
    testutil::DeviceDll dll;
    ASSERT_TRUE(dll.ok());
    dll.ReleaseMemory(nullptr);
}

} // namespace
