#include "tests/device/device_dll.h"

namespace testutil {
namespace {

template <typename F> void Bind(HMODULE module, const char* name, F* slot) {
    *slot = reinterpret_cast<F>(reinterpret_cast<void (*)()>(::GetProcAddress(module, name)));
}

} // namespace

DeviceDll::DeviceDll() {
    HMODULE m = ::LoadLibraryW(L"OrvexDevice.dll");
    if (!m)
        return;
    Bind(m, "?LoadDllFunctions@@YAHXZ", &LoadDllFunctions);
    Bind(m, "?UnloadDllFunctions@@YAXXZ", &UnloadDllFunctions);
    Bind(m, "?GetDllVersion@@YAXPA_WH@Z", &GetDllVersion);
    Bind(m, "?GetCopyRight@@YAXPA_WH@Z", &GetCopyRight);
    Bind(m, "?StartListeningDeviceConnections@@YAHP6AXPB_W@Z1@Z", &StartListeningDeviceConnections);
    Bind(m, "?StopListeningDeviceConnections@@YAHXZ", &StopListeningDeviceConnections);
    Bind(m, "?GetDeviceInfo@@YAHPB_WPAU__IOS_DEVICE@@@Z", &GetDeviceInfo);
    Bind(m, "?GetInstalledApps@@YAHPB_WPAPAU__IOS_APP@@PAI@Z", &GetInstalledApps);
    Bind(m, "?InstallIpa@@YAHPB_W0P6AX00I@Z@Z", &InstallIpa);
    Bind(m, "?UpdateIpa@@YAHPB_W0P6AX00I@Z@Z", &UpdateIpa);
    Bind(m, "?UninstallIpa@@YAHPB_W0P6AX00I@Z@Z", &UninstallIpa);
    Bind(m, "?InstallProvisionProfile@@YAHPB_W0@Z", &InstallProvisionProfile);
    Bind(m, "?RenameDevice@@YAHPB_W0@Z", &RenameDevice);
    Bind(m, "?GetBatteryInfo@@YAHPB_WPAU__IOS_BATTERY@@@Z", &GetBatteryInfo);
    Bind(m, "?GetFilesInDirectory@@YAHPB_W0PAPAU__IOS_FILE@@PAI@Z", &GetFilesInDirectory);
    Bind(m, "?GetFileInfoOnDevice@@YAHPB_W0PAU__IOS_FILE@@@Z", &GetFileInfoOnDevice);
    Bind(m, "?CreateDirectoryOnDevice@@YAHPB_W0@Z", &CreateDirectoryOnDevice);
    Bind(m, "?RenameDirectoryOrFileOnDevice@@YAHPB_W00@Z", &RenameDirectoryOrFileOnDevice);
    Bind(m, "?DeleteDirectoriesAndFilesOnDevice@@YAHPB_W0P6AX00I@Z@Z", &DeleteDirectoriesAndFilesOnDevice);
    Bind(m, "?UploadDirectoriesAndFilesToDevice@@YAHPB_W00P6AX00I@Z@Z", &UploadDirectoriesAndFilesToDevice);
    Bind(m, "?DownloadDirectoriesAndFilesFromDevice@@YAHPB_W00P6AX00I@Z@Z", &DownloadDirectoriesAndFilesFromDevice);
    Bind(m, "?GetAppInfoFromIPA@@YAHPB_WPAU__IOS_APP@@@Z", &GetAppInfoFromIPA);
    Bind(m, "?ReleaseMemory@@YAXPAX@Z", &ReleaseMemory);
    module = m;
}

DeviceDll::~DeviceDll() {
    if (module)
        ::FreeLibrary(module);
}

} // namespace testutil
