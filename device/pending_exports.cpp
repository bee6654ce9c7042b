// Exports whose work is not built yet. Each answers 0 so that callers can
// bind every name today; tests/device/pending_exports_test.cpp says so.
// Whoever builds an export removes its line here (and from that test) and
// puts the real one into the module of its family:
//   GetDeviceInfo, GetInstalledApps, Install/Update/UninstallIpa,
//   InstallProvisionProfile, RenameDevice, GetBatteryInfo  -> device info, apps, install, name, battery
//   GetFilesInDirectory ... DownloadDirectoriesAndFilesFromDevice -> device files
#include "device/OrvexDevice.h"

int GetDeviceInfo(const wchar_t*, __IOS_DEVICE*) { return 0; }
int GetInstalledApps(const wchar_t*, __IOS_APP**, unsigned int*) { return 0; }
int InstallIpa(const wchar_t*, const wchar_t*, ProgressCallback) { return 0; }
int UpdateIpa(const wchar_t*, const wchar_t*, ProgressCallback) { return 0; }
int UninstallIpa(const wchar_t*, const wchar_t*, ProgressCallback) { return 0; }
int InstallProvisionProfile(const wchar_t*, const wchar_t*) { return 0; }
int RenameDevice(const wchar_t*, const wchar_t*) { return 0; }
int GetBatteryInfo(const wchar_t*, __IOS_BATTERY*) { return 0; }
int GetFilesInDirectory(const wchar_t*, const wchar_t*, __IOS_FILE**, unsigned int*) { return 0; }
int GetFileInfoOnDevice(const wchar_t*, const wchar_t*, __IOS_FILE*) { return 0; }
int CreateDirectoryOnDevice(const wchar_t*, const wchar_t*) { return 0; }
int RenameDirectoryOrFileOnDevice(const wchar_t*, const wchar_t*, const wchar_t*) { return 0; }
int DeleteDirectoriesAndFilesOnDevice(const wchar_t*, const wchar_t*, ProgressCallback) { return 0; }
int UploadDirectoriesAndFilesToDevice(const wchar_t*, const wchar_t*, const wchar_t*, ProgressCallback) { return 0; }
int DownloadDirectoriesAndFilesFromDevice(const wchar_t*, const wchar_t*, const wchar_t*, ProgressCallback) {
    return 0;
}
