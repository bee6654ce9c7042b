// The test helpers that reach outside the prefix.
#include "tests/support/test_util.h"

#include <gtest/gtest.h>

namespace {

// Leaves `value` in the stack below the caller's frame, where the next
// calls' uninitialised locals lie.
__attribute__((noinline)) void LeaveOnTheStack(HANDLE value) {
    volatile HANDLE area[16384];
    for (auto& slot : area)
        slot = value;
}

// A Linux program started from a test runs, and starting it touches no
// handle of the test program, not even one whose value a stale local of
// Wine's process creation may hold.
TEST(StartLinuxProgram, RunsTheProgramAndLeavesTheCallersHandlesAlone) {
    testutil::TempDir folder;
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        const std::wstring mark = folder / (L"mark-" + std::to_wstring(i));
        const std::string path = testutil::UnixPath(mark);
        const std::wstring arguments = L"-c \"touch '" + std::wstring(path.begin(), path.end()) + L"'\"";
        HANDLE event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
        ASSERT_TRUE(event);
        std::wstring error;
        LeaveOnTheStack(event);
        const bool started = testutil::StartLinuxProgram("/bin/sh", arguments, &error);
        EXPECT_EQ(::WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_TIMEOUT)) << "the event was closed";
        ::CloseHandle(event);
        ASSERT_TRUE(started) << std::string(error.begin(), error.end());
        bool ran = false;
        for (int wait = 0; wait < 500 && !ran; ++wait) {
            ran = ::GetFileAttributesW(mark.c_str()) != INVALID_FILE_ATTRIBUTES;
            if (!ran)
                ::Sleep(20);
        }
        EXPECT_TRUE(ran) << "the program did not run";
    }
}

} // namespace
