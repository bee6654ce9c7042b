// The device library as a caller sees it: OrvexDevice.dll loaded by name and
// its exports bound by their decorated names.
#pragma once

#include "device/OrvexDevice.h"

#include <windows.h>

namespace testutil {

struct DeviceDll {
    DeviceDll();
    ~DeviceDll();
    DeviceDll(const DeviceDll&) = delete;
    DeviceDll& operator=(const DeviceDll&) = delete;
    bool ok() const { return module != nullptr; }

    HMODULE module = nullptr;
    decltype(&::LoadDllFunctions) LoadDllFunctions = nullptr;
    decltype(&::UnloadDllFunctions) UnloadDllFunctions = nullptr;
    decltype(&::GetDllVersion) GetDllVersion = nullptr;
    decltype(&::GetCopyRight) GetCopyRight = nullptr;
    decltype(&::StartListeningDeviceConnections) StartListeningDeviceConnections = nullptr;
    decltype(&::StopListeningDeviceConnections) StopListeningDeviceConnections = nullptr;
    decltype(&::GetDeviceInfo) GetDeviceInfo = nullptr;
    decltype(&::GetInstalledApps) GetInstalledApps = nullptr;
    decltype(&::InstallIpa) InstallIpa = nullptr;
    decltype(&::UpdateIpa) UpdateIpa = nullptr;
    decltype(&::UninstallIpa) UninstallIpa = nullptr;
    decltype(&::InstallProvisionProfile) InstallProvisionProfile = nullptr;
    decltype(&::RenameDevice) RenameDevice = nullptr;
    decltype(&::GetBatteryInfo) GetBatteryInfo = nullptr;
    decltype(&::GetFilesInDirectory) GetFilesInDirectory = nullptr;
    decltype(&::GetFileInfoOnDevice) GetFileInfoOnDevice = nullptr;
    decltype(&::CreateDirectoryOnDevice) CreateDirectoryOnDevice = nullptr;
    decltype(&::RenameDirectoryOrFileOnDevice) RenameDirectoryOrFileOnDevice = nullptr;
    decltype(&::DeleteDirectoriesAndFilesOnDevice) DeleteDirectoriesAndFilesOnDevice = nullptr;
    decltype(&::UploadDirectoriesAndFilesToDevice) UploadDirectoriesAndFilesToDevice = nullptr;
    decltype(&::DownloadDirectoriesAndFilesFromDevice) DownloadDirectoriesAndFilesFromDevice = nullptr;
    decltype(&::GetAppInfoFromIPA) GetAppInfoFromIPA = nullptr;
    decltype(&::ReleaseMemory) ReleaseMemory = nullptr;
};

} // namespace testutil
