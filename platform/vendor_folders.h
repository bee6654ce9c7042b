// Where the vendor's installation of this edition lives: the common files
// folders to ask the shell for, in order, and the names the device library
// may have. One rule for the loader, the device stand-in's installed farm,
// orvexctl's check and the tests.
//   32-bit edition: the (x86) common files folder (CSIDL 0x2C), else, on
//                   32-bit Windows where it does not exist, the plain one
//                   (0x2B); the device library is iTunesMobileDevice.dll.
//   64-bit edition: the 64-bit common files folder (0x2B) only, as the (x86)
//                   one holds 32-bit libraries a 64-bit process cannot
//                   load; newer vendor releases name the device library
//                   MobileDevice.dll.
#pragma once

namespace vendor_folders {

constexpr int kCommonFilesX86 = 0x2C; // CSIDL_PROGRAM_FILES_COMMONX86
constexpr int kCommonFiles = 0x2B;    // CSIDL_PROGRAM_FILES_COMMON

#ifdef _WIN64
constexpr int kCommonFolders[] = {kCommonFiles};
constexpr const wchar_t* kDeviceLibraryNames[] = {L"iTunesMobileDevice.dll", L"MobileDevice.dll"};
#else
constexpr int kCommonFolders[] = {kCommonFilesX86, kCommonFiles};
constexpr const wchar_t* kDeviceLibraryNames[] = {L"iTunesMobileDevice.dll"};
#endif

} // namespace vendor_folders
