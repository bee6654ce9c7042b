// Where the vendor's installation of this edition lives: one table for the
// loader, the device stand-in's installed farm, orvexctl (its check and
// `doctor`) and the tests. platform/vendor_search.h walks it.
//
// The candidates, in the order the loader tries them:
//  1. The common files rule. The edition's common files folder holds
//     "Apple\Apple Application Support\CoreFoundation.dll" and
//     "Apple\Mobile Device Support\<device library>"; the folders are put on
//     the search path and the libraries loaded by plain name.
//       32-bit edition: the (x86) common files folder (CSIDL 0x2C), else,
//                       on 32-bit Windows where it does not exist, the plain
//                       one (0x2B); the device library is
//                       iTunesMobileDevice.dll.
//       64-bit edition: the 64-bit common files folder (0x2B) only, as the
//                       (x86) one holds 32-bit libraries a 64-bit process
//                       cannot load; newer releases name the device library
//                       MobileDevice.dll.
//  2. The device library the vendor's installers publish in the registry
//     (the edition's own registry view first, then the other one).
//  3. "Apple\Mobile Device Support" in the same common files folder, with
//     the device library under either name (installers since 2020 leave
//     out Apple Application Support and name it MobileDevice.dll).
//  4. The store packages: the media player, then "Apple Devices".
// Candidates 2 to 4 are loaded by full path. Their value library is looked
// for beside the device library first, then in the candidate's own
// folders, then in the published InstallDir folders.
#pragma once

namespace vendor_folders {

constexpr int kCommonFilesX86 = 0x2C; // CSIDL_PROGRAM_FILES_COMMONX86
constexpr int kCommonFiles = 0x2B;    // CSIDL_PROGRAM_FILES_COMMON

constexpr wchar_t kValueLibraryName[] = L"CoreFoundation.dll";
constexpr wchar_t kApplicationSupport[] = L"Apple\\Apple Application Support";
constexpr wchar_t kMobileDeviceSupport[] = L"Apple\\Mobile Device Support";

#ifdef _WIN64
constexpr int kEditionBits = 64;
constexpr int kCommonFolders[] = {kCommonFiles};
constexpr const wchar_t* kDeviceLibraryNames[] = {L"iTunesMobileDevice.dll", L"MobileDevice.dll"};
#else
constexpr int kEditionBits = 32;
constexpr int kCommonFolders[] = {kCommonFilesX86, kCommonFiles};
constexpr const wchar_t* kDeviceLibraryNames[] = {L"iTunesMobileDevice.dll"};
#endif

// Candidate 3 accepts either name, the newer one first.
constexpr const wchar_t* kAnyDeviceLibraryName[] = {L"MobileDevice.dll", L"iTunesMobileDevice.dll"};

// ---- 2. the registry ------------------------------------------------------

constexpr wchar_t kSharedKey[] = L"SOFTWARE\\Apple Inc.\\Apple Mobile Device Support\\Shared";

struct PublishedLibrary {
    const wchar_t* value;
    // False: the value is the device library's full path. True: it names
    // another file whose folder holds the device library (the 32-bit view
    // may hold only ASMapiInterfaceDLL, beside a 32-bit MobileDevice.dll).
    bool besideIt;
};
constexpr PublishedLibrary kPublishedLibraries[] = {
    {L"MobileDeviceDLL", false},
    {L"iTunesMobileDeviceDLL", false},
    {L"ASMapiInterfaceDLL", true},
};

// Folders published for the value library (value InstallDir).
constexpr const wchar_t* kInstallDirKeys[] = {
    L"SOFTWARE\\Apple Inc.\\Apple Application Support",
    L"SOFTWARE\\Apple Computer, Inc.\\iTunes",
};
constexpr wchar_t kInstallDirValue[] = L"InstallDir";

// ---- 4. the store packages --------------------------------------------------

// Where a package's folder is published when the package functions of
// kernel32 are missing: one sub-key per full package name, value "Path".
constexpr wchar_t kPackageRepositoryKey[] =
    L"Software\\Classes\\Local Settings\\Software\\Microsoft\\Windows\\CurrentVersion\\AppModel\\"
    L"PackageRepository\\Packages";
constexpr wchar_t kPackagePathValue[] = L"Path";

struct StorePackage {
    const wchar_t* family;
    const wchar_t* label;
    // Sub-folders of the package that may hold the device library, in
    // order ("" is the package's own folder). The other edition's folder
    // comes last: its library is refused, and orvexctl doctor says so.
    const wchar_t* deviceFolders[3];
    // Further sub-folders that may hold the value library (null ends).
    const wchar_t* valueFolders[2];
};

constexpr wchar_t kMediaPlayerFamily[] = L"AppleInc.iTunes_nzyj5cx40ttqa";
constexpr wchar_t kAppleDevicesFamily[] = L"AppleInc.AppleDevices_nzyj5cx40ttqa";

#ifdef _WIN64
constexpr StorePackage kStorePackages[] = {
    {kMediaPlayerFamily, L"iTunes from the Microsoft Store", {L"AMDS64", L"AMDS32", nullptr}, {nullptr, nullptr}},
    {kAppleDevicesFamily, L"Apple Devices from the Microsoft Store", {L"", L"AMDS64", L"AMDS32"}, {nullptr, nullptr}},
};
#else
constexpr StorePackage kStorePackages[] = {
    {kMediaPlayerFamily,
     L"iTunes from the Microsoft Store",
     {L"AMDS32", L"AMDS64", nullptr},
     {L"VFS\\ProgramFilesCommonX86\\Apple\\Apple Application Support", nullptr}},
    {kAppleDevicesFamily, L"Apple Devices from the Microsoft Store", {L"", L"AMDS32", L"AMDS64"}, {nullptr, nullptr}},
};
#endif

} // namespace vendor_folders
