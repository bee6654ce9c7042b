// The export tables of OrvexDevice.dll and InstallOrvex.exe, read from the
// files: exactly the 23 decorated names, each resolving by GetProcAddress.
#include "tests/device/pe_exports.h"
#include "tests/device/vendor_tree.h"
#include "tests/support/test_util.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

// Written out here rather than taken from OrvexDeviceExports.h, so that a
// slip in the header shows. A Microsoft compiler's names for 32-bit and for
// 64-bit Windows differ in their pointers (PA/PB against PEA/PEB).
#ifdef _WIN64
const char* const kExportNames[] = {
    "?LoadDllFunctions@@YAHXZ",
    "?UnloadDllFunctions@@YAXXZ",
    "?GetDllVersion@@YAXPEA_WH@Z",
    "?GetCopyRight@@YAXPEA_WH@Z",
    "?StartListeningDeviceConnections@@YAHP6AXPEB_W@Z1@Z",
    "?StopListeningDeviceConnections@@YAHXZ",
    "?GetDeviceInfo@@YAHPEB_WPEAU__IOS_DEVICE@@@Z",
    "?GetInstalledApps@@YAHPEB_WPEAPEAU__IOS_APP@@PEAI@Z",
    "?InstallIpa@@YAHPEB_W0P6AX00I@Z@Z",
    "?UpdateIpa@@YAHPEB_W0P6AX00I@Z@Z",
    "?UninstallIpa@@YAHPEB_W0P6AX00I@Z@Z",
    "?InstallProvisionProfile@@YAHPEB_W0@Z",
    "?RenameDevice@@YAHPEB_W0@Z",
    "?GetBatteryInfo@@YAHPEB_WPEAU__IOS_BATTERY@@@Z",
    "?GetFilesInDirectory@@YAHPEB_W0PEAPEAU__IOS_FILE@@PEAI@Z",
    "?GetFileInfoOnDevice@@YAHPEB_W0PEAU__IOS_FILE@@@Z",
    "?CreateDirectoryOnDevice@@YAHPEB_W0@Z",
    "?RenameDirectoryOrFileOnDevice@@YAHPEB_W00@Z",
    "?DeleteDirectoriesAndFilesOnDevice@@YAHPEB_W0P6AX00I@Z@Z",
    "?UploadDirectoriesAndFilesToDevice@@YAHPEB_W00P6AX00I@Z@Z",
    "?DownloadDirectoriesAndFilesFromDevice@@YAHPEB_W00P6AX00I@Z@Z",
    "?GetAppInfoFromIPA@@YAHPEB_WPEAU__IOS_APP@@@Z",
    "?ReleaseMemory@@YAXPEAX@Z",
};
const char* const kVersionName = "?GetDllVersion@@YAXPEA_WH@Z";
const char* const kCopyRightName = "?GetCopyRight@@YAXPEA_WH@Z";
#else
const char* const kExportNames[] = {
    "?LoadDllFunctions@@YAHXZ",
    "?UnloadDllFunctions@@YAXXZ",
    "?GetDllVersion@@YAXPA_WH@Z",
    "?GetCopyRight@@YAXPA_WH@Z",
    "?StartListeningDeviceConnections@@YAHP6AXPB_W@Z1@Z",
    "?StopListeningDeviceConnections@@YAHXZ",
    "?GetDeviceInfo@@YAHPB_WPAU__IOS_DEVICE@@@Z",
    "?GetInstalledApps@@YAHPB_WPAPAU__IOS_APP@@PAI@Z",
    "?InstallIpa@@YAHPB_W0P6AX00I@Z@Z",
    "?UpdateIpa@@YAHPB_W0P6AX00I@Z@Z",
    "?UninstallIpa@@YAHPB_W0P6AX00I@Z@Z",
    "?InstallProvisionProfile@@YAHPB_W0@Z",
    "?RenameDevice@@YAHPB_W0@Z",
    "?GetBatteryInfo@@YAHPB_WPAU__IOS_BATTERY@@@Z",
    "?GetFilesInDirectory@@YAHPB_W0PAPAU__IOS_FILE@@PAI@Z",
    "?GetFileInfoOnDevice@@YAHPB_W0PAU__IOS_FILE@@@Z",
    "?CreateDirectoryOnDevice@@YAHPB_W0@Z",
    "?RenameDirectoryOrFileOnDevice@@YAHPB_W00@Z",
    "?DeleteDirectoriesAndFilesOnDevice@@YAHPB_W0P6AX00I@Z@Z",
    "?UploadDirectoriesAndFilesToDevice@@YAHPB_W00P6AX00I@Z@Z",
    "?DownloadDirectoriesAndFilesFromDevice@@YAHPB_W00P6AX00I@Z@Z",
    "?GetAppInfoFromIPA@@YAHPB_WPAU__IOS_APP@@@Z",
    "?ReleaseMemory@@YAXPAX@Z",
};
const char* const kVersionName = "?GetDllVersion@@YAXPA_WH@Z";
const char* const kCopyRightName = "?GetCopyRight@@YAXPA_WH@Z";
#endif

void ExpectExactlyTheExports(const std::wstring& file, HMODULE module) {
    std::vector<std::string> names;
    ASSERT_TRUE(testutil::ReadExportNames(file, &names)) << "unreadable export table";
    std::vector<std::string> expected(std::begin(kExportNames), std::end(kExportNames));
    std::sort(names.begin(), names.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(names, expected);
    for (const char* name : kExportNames)
        EXPECT_NE(::GetProcAddress(module, name), nullptr) << name;
}

TEST(ExportTable, LibraryExportsExactlyTheTwentyThreeNames) {
    std::wstring file = testutil::BinFolder() + L"\\OrvexDevice.dll";
    HMODULE module = ::LoadLibraryW(file.c_str());
    ASSERT_NE(module, nullptr);
    ExpectExactlyTheExports(file, module);
    // The two version entry points are one function.
    EXPECT_EQ(::GetProcAddress(module, kVersionName), ::GetProcAddress(module, kCopyRightName));
    ::FreeLibrary(module);
}

TEST(ExportTable, InstallerCarriesTheSameNames) {
    std::wstring file = testutil::BinFolder() + L"\\InstallOrvex.exe";
    if (::GetFileAttributesW(file.c_str()) == INVALID_FILE_ATTRIBUTES)
        GTEST_SKIP() << "InstallOrvex.exe is not built yet";
    // Mapped without running it: only the export table is looked at.
    HMODULE module = ::LoadLibraryExW(file.c_str(), nullptr, DONT_RESOLVE_DLL_REFERENCES);
    ASSERT_NE(module, nullptr);
    ExpectExactlyTheExports(file, module);
    ::FreeLibrary(module);
}

TEST(ExportTable, ReaderRejectsWhatIsNotAnImage) {
    testutil::TempDir dir;
    std::vector<std::string> names;
    EXPECT_FALSE(testutil::ReadExportNames(dir / L"missing.dll", &names));
    ASSERT_TRUE(testutil::WriteFileBytes(dir / L"short.dll", "MZ"));
    EXPECT_FALSE(testutil::ReadExportNames(dir / L"short.dll", &names));
}

} // namespace
