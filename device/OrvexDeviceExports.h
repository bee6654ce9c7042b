// The library's 23 exports as a caller binds them with GetProcAddress: the
// name of each declaration in OrvexDevice.h and the decorated names a
// Microsoft compiler gives it, for 32-bit (x86) and for 64-bit (x64) Windows
// side by side: the names OrvexDevice.def and OrvexDevice64.def export.
// ORVEX_DEVICE_EXPORTS(X) expands X(name, "x86 name", "x64 name") once per
// export, in the order of the header; ORVEX_DECORATED(x86, x64) picks the one
// of the edition being compiled.
#pragma once

// clang-format off
#define ORVEX_DEVICE_EXPORTS(X) \
    X(LoadDllFunctions, "?LoadDllFunctions@@YAHXZ", \
      "?LoadDllFunctions@@YAHXZ") \
    X(UnloadDllFunctions, "?UnloadDllFunctions@@YAXXZ", \
      "?UnloadDllFunctions@@YAXXZ") \
    X(GetDllVersion, "?GetDllVersion@@YAXPA_WH@Z", \
      "?GetDllVersion@@YAXPEA_WH@Z") \
    X(GetCopyRight, "?GetCopyRight@@YAXPA_WH@Z", \
      "?GetCopyRight@@YAXPEA_WH@Z") \
    X(StartListeningDeviceConnections, "?StartListeningDeviceConnections@@YAHP6AXPB_W@Z1@Z", \
      "?StartListeningDeviceConnections@@YAHP6AXPEB_W@Z1@Z") \
    X(StopListeningDeviceConnections, "?StopListeningDeviceConnections@@YAHXZ", \
      "?StopListeningDeviceConnections@@YAHXZ") \
    X(GetDeviceInfo, "?GetDeviceInfo@@YAHPB_WPAU__IOS_DEVICE@@@Z", \
      "?GetDeviceInfo@@YAHPEB_WPEAU__IOS_DEVICE@@@Z") \
    X(GetInstalledApps, "?GetInstalledApps@@YAHPB_WPAPAU__IOS_APP@@PAI@Z", \
      "?GetInstalledApps@@YAHPEB_WPEAPEAU__IOS_APP@@PEAI@Z") \
    X(InstallIpa, "?InstallIpa@@YAHPB_W0P6AX00I@Z@Z", \
      "?InstallIpa@@YAHPEB_W0P6AX00I@Z@Z") \
    X(UpdateIpa, "?UpdateIpa@@YAHPB_W0P6AX00I@Z@Z", \
      "?UpdateIpa@@YAHPEB_W0P6AX00I@Z@Z") \
    X(UninstallIpa, "?UninstallIpa@@YAHPB_W0P6AX00I@Z@Z", \
      "?UninstallIpa@@YAHPEB_W0P6AX00I@Z@Z") \
    X(InstallProvisionProfile, "?InstallProvisionProfile@@YAHPB_W0@Z", \
      "?InstallProvisionProfile@@YAHPEB_W0@Z") \
    X(RenameDevice, "?RenameDevice@@YAHPB_W0@Z", \
      "?RenameDevice@@YAHPEB_W0@Z") \
    X(GetBatteryInfo, "?GetBatteryInfo@@YAHPB_WPAU__IOS_BATTERY@@@Z", \
      "?GetBatteryInfo@@YAHPEB_WPEAU__IOS_BATTERY@@@Z") \
    X(GetFilesInDirectory, "?GetFilesInDirectory@@YAHPB_W0PAPAU__IOS_FILE@@PAI@Z", \
      "?GetFilesInDirectory@@YAHPEB_W0PEAPEAU__IOS_FILE@@PEAI@Z") \
    X(GetFileInfoOnDevice, "?GetFileInfoOnDevice@@YAHPB_W0PAU__IOS_FILE@@@Z", \
      "?GetFileInfoOnDevice@@YAHPEB_W0PEAU__IOS_FILE@@@Z") \
    X(CreateDirectoryOnDevice, "?CreateDirectoryOnDevice@@YAHPB_W0@Z", \
      "?CreateDirectoryOnDevice@@YAHPEB_W0@Z") \
    X(RenameDirectoryOrFileOnDevice, "?RenameDirectoryOrFileOnDevice@@YAHPB_W00@Z", \
      "?RenameDirectoryOrFileOnDevice@@YAHPEB_W00@Z") \
    X(DeleteDirectoriesAndFilesOnDevice, "?DeleteDirectoriesAndFilesOnDevice@@YAHPB_W0P6AX00I@Z@Z", \
      "?DeleteDirectoriesAndFilesOnDevice@@YAHPEB_W0P6AX00I@Z@Z") \
    X(UploadDirectoriesAndFilesToDevice, "?UploadDirectoriesAndFilesToDevice@@YAHPB_W00P6AX00I@Z@Z", \
      "?UploadDirectoriesAndFilesToDevice@@YAHPEB_W00P6AX00I@Z@Z") \
    X(DownloadDirectoriesAndFilesFromDevice, "?DownloadDirectoriesAndFilesFromDevice@@YAHPB_W00P6AX00I@Z@Z", \
      "?DownloadDirectoriesAndFilesFromDevice@@YAHPEB_W00P6AX00I@Z@Z") \
    X(GetAppInfoFromIPA, "?GetAppInfoFromIPA@@YAHPB_WPAU__IOS_APP@@@Z", \
      "?GetAppInfoFromIPA@@YAHPEB_WPEAU__IOS_APP@@@Z") \
    X(ReleaseMemory, "?ReleaseMemory@@YAXPAX@Z", \
      "?ReleaseMemory@@YAXPEAX@Z")
// clang-format on

#ifdef _WIN64
#define ORVEX_DECORATED(x86, x64) x64
#else
#define ORVEX_DECORATED(x86, x64) x86
#endif
