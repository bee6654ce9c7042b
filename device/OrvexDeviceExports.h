// The library's 23 exports as a caller binds them with GetProcAddress: the
// name of each declaration in OrvexDevice.h and the decorated name a
// Microsoft compiler gives it (the names OrvexDevice.def exports).
// ORVEX_DEVICE_EXPORTS(X) expands X(name, "decorated name") once per export,
// in the order of the header.
#pragma once

// clang-format off
#define ORVEX_DEVICE_EXPORTS(X) \
    X(LoadDllFunctions, "?LoadDllFunctions@@YAHXZ") \
    X(UnloadDllFunctions, "?UnloadDllFunctions@@YAXXZ") \
    X(GetDllVersion, "?GetDllVersion@@YAXPA_WH@Z") \
    X(GetCopyRight, "?GetCopyRight@@YAXPA_WH@Z") \
    X(StartListeningDeviceConnections, "?StartListeningDeviceConnections@@YAHP6AXPB_W@Z1@Z") \
    X(StopListeningDeviceConnections, "?StopListeningDeviceConnections@@YAHXZ") \
    X(GetDeviceInfo, "?GetDeviceInfo@@YAHPB_WPAU__IOS_DEVICE@@@Z") \
    X(GetInstalledApps, "?GetInstalledApps@@YAHPB_WPAPAU__IOS_APP@@PAI@Z") \
    X(InstallIpa, "?InstallIpa@@YAHPB_W0P6AX00I@Z@Z") \
    X(UpdateIpa, "?UpdateIpa@@YAHPB_W0P6AX00I@Z@Z") \
    X(UninstallIpa, "?UninstallIpa@@YAHPB_W0P6AX00I@Z@Z") \
    X(InstallProvisionProfile, "?InstallProvisionProfile@@YAHPB_W0@Z") \
    X(RenameDevice, "?RenameDevice@@YAHPB_W0@Z") \
    X(GetBatteryInfo, "?GetBatteryInfo@@YAHPB_WPAU__IOS_BATTERY@@@Z") \
    X(GetFilesInDirectory, "?GetFilesInDirectory@@YAHPB_W0PAPAU__IOS_FILE@@PAI@Z") \
    X(GetFileInfoOnDevice, "?GetFileInfoOnDevice@@YAHPB_W0PAU__IOS_FILE@@@Z") \
    X(CreateDirectoryOnDevice, "?CreateDirectoryOnDevice@@YAHPB_W0@Z") \
    X(RenameDirectoryOrFileOnDevice, "?RenameDirectoryOrFileOnDevice@@YAHPB_W00@Z") \
    X(DeleteDirectoriesAndFilesOnDevice, "?DeleteDirectoriesAndFilesOnDevice@@YAHPB_W0P6AX00I@Z@Z") \
    X(UploadDirectoriesAndFilesToDevice, "?UploadDirectoriesAndFilesToDevice@@YAHPB_W00P6AX00I@Z@Z") \
    X(DownloadDirectoriesAndFilesFromDevice, "?DownloadDirectoriesAndFilesFromDevice@@YAHPB_W00P6AX00I@Z@Z") \
    X(GetAppInfoFromIPA, "?GetAppInfoFromIPA@@YAHPB_WPAU__IOS_APP@@@Z") \
    X(ReleaseMemory, "?ReleaseMemory@@YAXPAX@Z")
// clang-format on
