// The device library as an outside program sees it: OrvexDevice.dll loaded
// at run time and its 23 exports bound by their decorated names. Only the
// record and callback types come from the public header; no code of the
// library is linked.
#pragma once

#include "device/OrvexDevice.h"
#include "platform/handles.h"

#include <string>

namespace orvexctl {

struct DeviceApi {
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

// Loads `path` and binds every export. On failure returns false and says
// why in `error` (the library that could not be loaded, or the first export
// it lacks); nothing stays loaded.
class DeviceLibrary {
  public:
    bool Load(const std::wstring& path, std::wstring* error);
    const DeviceApi& api() const { return m_api; }

  private:
    UniqueModule m_module;
    DeviceApi m_api;
};

// OrvexDevice.dll beside this program.
std::wstring DefaultLibraryPath();

} // namespace orvexctl
