#include "tools/orvexctl/device_api.h"

#include <windows.h>

#include <cstring>

namespace orvexctl {

namespace {

// One export: its decorated name (as OrvexDevice.def gives it) and the slot
// that receives its address.
struct Binding {
    const char* name;
    size_t offset;
};

#define ORVEXCTL_BIND(name, field)                                                                                     \
    { name, offsetof(DeviceApi, field) }
const Binding kBindings[] = {
    ORVEXCTL_BIND("?LoadDllFunctions@@YAHXZ", LoadDllFunctions),
    ORVEXCTL_BIND("?UnloadDllFunctions@@YAXXZ", UnloadDllFunctions),
    ORVEXCTL_BIND("?GetDllVersion@@YAXPA_WH@Z", GetDllVersion),
    ORVEXCTL_BIND("?GetCopyRight@@YAXPA_WH@Z", GetCopyRight),
    ORVEXCTL_BIND("?StartListeningDeviceConnections@@YAHP6AXPB_W@Z1@Z", StartListeningDeviceConnections),
    ORVEXCTL_BIND("?StopListeningDeviceConnections@@YAHXZ", StopListeningDeviceConnections),
    ORVEXCTL_BIND("?GetDeviceInfo@@YAHPB_WPAU__IOS_DEVICE@@@Z", GetDeviceInfo),
    ORVEXCTL_BIND("?GetInstalledApps@@YAHPB_WPAPAU__IOS_APP@@PAI@Z", GetInstalledApps),
    ORVEXCTL_BIND("?InstallIpa@@YAHPB_W0P6AX00I@Z@Z", InstallIpa),
    ORVEXCTL_BIND("?UpdateIpa@@YAHPB_W0P6AX00I@Z@Z", UpdateIpa),
    ORVEXCTL_BIND("?UninstallIpa@@YAHPB_W0P6AX00I@Z@Z", UninstallIpa),
    ORVEXCTL_BIND("?InstallProvisionProfile@@YAHPB_W0@Z", InstallProvisionProfile),
    ORVEXCTL_BIND("?RenameDevice@@YAHPB_W0@Z", RenameDevice),
    ORVEXCTL_BIND("?GetBatteryInfo@@YAHPB_WPAU__IOS_BATTERY@@@Z", GetBatteryInfo),
    ORVEXCTL_BIND("?GetFilesInDirectory@@YAHPB_W0PAPAU__IOS_FILE@@PAI@Z", GetFilesInDirectory),
    ORVEXCTL_BIND("?GetFileInfoOnDevice@@YAHPB_W0PAU__IOS_FILE@@@Z", GetFileInfoOnDevice),
    ORVEXCTL_BIND("?CreateDirectoryOnDevice@@YAHPB_W0@Z", CreateDirectoryOnDevice),
    ORVEXCTL_BIND("?RenameDirectoryOrFileOnDevice@@YAHPB_W00@Z", RenameDirectoryOrFileOnDevice),
    ORVEXCTL_BIND("?DeleteDirectoriesAndFilesOnDevice@@YAHPB_W0P6AX00I@Z@Z", DeleteDirectoriesAndFilesOnDevice),
    ORVEXCTL_BIND("?UploadDirectoriesAndFilesToDevice@@YAHPB_W00P6AX00I@Z@Z", UploadDirectoriesAndFilesToDevice),
    ORVEXCTL_BIND("?DownloadDirectoriesAndFilesFromDevice@@YAHPB_W00P6AX00I@Z@Z",
                  DownloadDirectoriesAndFilesFromDevice),
    ORVEXCTL_BIND("?GetAppInfoFromIPA@@YAHPB_WPAU__IOS_APP@@@Z", GetAppInfoFromIPA),
    ORVEXCTL_BIND("?ReleaseMemory@@YAXPAX@Z", ReleaseMemory),
};
#undef ORVEXCTL_BIND
static_assert(sizeof(kBindings) / sizeof(kBindings[0]) == 23, "the library has 23 exports");
static_assert(sizeof(DeviceApi) == 23 * sizeof(void*), "one slot per export");

std::wstring Widen(const char* ascii) { return std::wstring(ascii, ascii + std::strlen(ascii)); }

std::wstring SystemMessage(DWORD code) {
    wchar_t* text = nullptr;
    DWORD n =
        ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                         nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::wstring message = n ? std::wstring(text, n) : L"error " + std::to_wstring(code);
    if (text)
        ::LocalFree(text);
    while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r' || message.back() == L' '))
        message.pop_back();
    return message;
}

} // namespace

bool DeviceLibrary::Load(const std::wstring& path, std::wstring* error) {
    UniqueModule module(::LoadLibraryW(path.c_str()));
    if (!module) {
        *error = L"cannot load " + path + L": " + SystemMessage(::GetLastError());
        return false;
    }
    DeviceApi api;
    for (const Binding& binding : kBindings) {
        FARPROC address = ::GetProcAddress(module.get(), binding.name);
        if (!address) {
            *error = path + L" has no export " + Widen(binding.name);
            return false;
        }
        void* slot = reinterpret_cast<char*>(&api) + binding.offset;
        std::memcpy(slot, &address, sizeof(address));
    }
    m_api = api;
    m_module = std::move(module);
    return true;
}

std::wstring DefaultLibraryPath() {
    wchar_t path[MAX_PATH * 2] = {};
    DWORD n = ::GetModuleFileNameW(nullptr, path, static_cast<DWORD>(std::size(path)));
    std::wstring self = (n == 0 || n >= std::size(path)) ? std::wstring() : std::wstring(path, n);
    size_t slash = self.find_last_of(L"\\/");
    if (slash == std::wstring::npos)
        return L"OrvexDevice.dll"; // the system's search order
    return self.substr(0, slash + 1) + L"OrvexDevice.dll";
}

} // namespace orvexctl
