// The loader through the built library, loaded by name, in the prefix where
// the vendor stand-ins sit in the common files folder as the vendor's
// installation puts them. Only paths that succeed run here: a failure would
// show a real message box.
#include "tests/device/device_dll.h"
#include "tests/device/vendor_tree.h"

#include <shlobj.h>

#include <gtest/gtest.h>

namespace {

std::wstring PathVariable() {
    wchar_t buffer[32768];
    DWORD n = ::GetEnvironmentVariableW(L"PATH", buffer, 32768);
    return std::wstring(buffer, n < 32768 ? n : 0);
}

bool StartsWithNoCase(const std::wstring& text, const std::wstring& prefix) {
    return text.size() >= prefix.size() && ::_wcsnicmp(text.c_str(), prefix.c_str(), prefix.size()) == 0;
}

TEST(LoaderThroughTheLibrary, FindsTheVendorInstallationAndBindsAgainAfterUnload) {
    testutil::DeviceDll dll;
    ASSERT_TRUE(dll.ok());
    std::wstring support = testutil::VendorCommonFiles() + L"\\Apple\\Apple Application Support";
    // A library missing from the prefix would make the loader show a real
    // message box; fail instead.
    ASSERT_NE(::GetFileAttributesW((support + L"\\CoreFoundation.dll").c_str()), INVALID_FILE_ATTRIBUTES);
    ASSERT_NE(::GetFileAttributesW(
                  (testutil::VendorCommonFiles() + L"\\Apple\\Mobile Device Support\\iTunesMobileDevice.dll").c_str()),
              INVALID_FILE_ATTRIBUTES);
    std::wstring before = PathVariable();

    ASSERT_EQ(dll.LoadDllFunctions(), 1);
    EXPECT_TRUE(StartsWithNoCase(testutil::LoadedModulePath(L"CoreFoundation.dll"), support));
    EXPECT_TRUE(StartsWithNoCase(testutil::LoadedModulePath(L"iTunesMobileDevice.dll"),
                                 testutil::VendorCommonFiles() + L"\\Apple\\Mobile Device Support"));
    std::wstring bound = PathVariable();
    EXPECT_TRUE(StartsWithNoCase(bound, L".\\;" + support + L";" + before + L";"));

    EXPECT_EQ(dll.LoadDllFunctions(), 1);
    EXPECT_EQ(PathVariable(), bound);

    dll.UnloadDllFunctions();
    EXPECT_EQ(::GetModuleHandleW(L"CoreFoundation.dll"), nullptr);
    EXPECT_EQ(::GetModuleHandleW(L"iTunesMobileDevice.dll"), nullptr);
    dll.UnloadDllFunctions(); // nothing bound: accepted

    ASSERT_EQ(dll.LoadDllFunctions(), 1);
    EXPECT_NE(::GetModuleHandleW(L"CoreFoundation.dll"), nullptr);
    EXPECT_NE(::GetModuleHandleW(L"iTunesMobileDevice.dll"), nullptr);
    dll.UnloadDllFunctions();
}

} // namespace
