#include "sim/farm/location.h"

#include "platform/vendor_folders.h"

#include <shlobj.h>

namespace simfarm {

const wchar_t kFarmVariable[] = L"DEVICESIM_FARM";
const wchar_t kFarmFolderName[] = L"DeviceFarm";

std::wstring FarmFolderFromEnvironment() {
    wchar_t value[MAX_PATH * 2] = {};
    DWORD n = ::GetEnvironmentVariableW(kFarmVariable, value, static_cast<DWORD>(std::size(value)));
    if (n == 0 || n >= std::size(value))
        return std::wstring();
    return std::wstring(value, n);
}

std::wstring FarmFolderBeside(HMODULE module) {
    wchar_t path[MAX_PATH * 2] = {};
    DWORD n = ::GetModuleFileNameW(module, path, static_cast<DWORD>(std::size(path)));
    if (n == 0 || n >= std::size(path))
        return std::wstring();
    std::wstring folder(path, n);
    size_t slash = folder.find_last_of(L"\\/");
    folder = slash == std::wstring::npos ? std::wstring(L".") : folder.substr(0, slash);
    return folder + L"\\" + kFarmFolderName;
}

std::wstring InstalledFarmFolder() {
    // Where the vendor's installation of this edition lives.
    wchar_t common[MAX_PATH] = {};
    bool found = false;
    for (int csidl : vendor_folders::kCommonFolders) {
        if (SUCCEEDED(::SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, common))) {
            found = true;
            break;
        }
    }
    if (!found)
        return std::wstring();
    std::wstring folder = common;
    if (!folder.empty() && folder.back() != L'\\')
        folder += L'\\';
    return folder + L"Apple\\Mobile Device Support\\" + kFarmFolderName;
}

std::wstring DefaultFarmFolder(HMODULE module) {
    std::wstring installed = InstalledFarmFolder();
    if (!installed.empty()) {
        std::wstring parent = installed.substr(0, installed.find_last_of(L'\\'));
        DWORD attributes = ::GetFileAttributesW(parent.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))
            return installed;
    }
    return FarmFolderBeside(module);
}

} // namespace simfarm
