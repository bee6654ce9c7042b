#include "installer/installer_calls.h"

#include "backend/backend.h"
#include "installer/framework/app.h"
#include "platform/vendor_search.h"

#include <wininet.h>

namespace {

bool StorePackageInstalled() { return vendor_search::StorePackageInstalled(vendor_search::SystemHost()); }

bool MultiplexerAnswers() { return backend::MultiplexerAnswers(1000, nullptr); }

bool InternetConnected() {
    DWORD flags = 0;
    return ::InternetGetConnectedState(&flags, 0) != FALSE;
}

const InstallerCalls kProgram = {
    .loadDllFunctions = LoadDllFunctions,
    .unloadDllFunctions = UnloadDllFunctions,
    .socketInit = AppSocketInit,
    .startListening = StartListeningDeviceConnections,
    .getDeviceInfo = GetDeviceInfo,
    .internetConnected = InternetConnected,
    .internetOpen = ::InternetOpenW,
    .getFileInfo = GetFileInfoOnDevice,
    .createDirectory = CreateDirectoryOnDevice,
    .deleteOnDevice = DeleteDirectoriesAndFilesOnDevice,
    .upload = UploadDirectoriesAndFilesToDevice,
    .serviceRoot = HKEY_LOCAL_MACHINE,
    .serviceKey = L"SYSTEM\\CurrentControlSet\\Services\\Apple Mobile Device",
    .regOpenKey = ::RegOpenKeyExW,
    .storePackageInstalled = StorePackageInstalled,
    .multiplexerAnswers = MultiplexerAnswers,
};

InstallerCalls g_calls = kProgram;

} // namespace

InstallerCalls& CurrentInstallerCalls() { return g_calls; }

void ResetInstallerCalls() { g_calls = kProgram; }
