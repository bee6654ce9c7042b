// Exports whose work is not built yet. Each answers 0 so that callers can
// bind every name today; tests/device/pending_exports_test.cpp says so.
// Whoever builds an export removes its line here (and from that test) and
// puts the real one into the module of its family:
//   GetFilesInDirectory ... DownloadDirectoriesAndFilesFromDevice -> device files
#include "device/OrvexDevice.h"

int GetFilesInDirectory(const wchar_t*, const wchar_t*, __IOS_FILE**, unsigned int*) { return 0; }
int GetFileInfoOnDevice(const wchar_t*, const wchar_t*, __IOS_FILE*) { return 0; }
int CreateDirectoryOnDevice(const wchar_t*, const wchar_t*) { return 0; }
int RenameDirectoryOrFileOnDevice(const wchar_t*, const wchar_t*, const wchar_t*) { return 0; }
int DeleteDirectoriesAndFilesOnDevice(const wchar_t*, const wchar_t*, ProgressCallback) { return 0; }
int UploadDirectoriesAndFilesToDevice(const wchar_t*, const wchar_t*, const wchar_t*, ProgressCallback) { return 0; }
int DownloadDirectoriesAndFilesFromDevice(const wchar_t*, const wchar_t*, const wchar_t*, ProgressCallback) {
    return 0;
}
