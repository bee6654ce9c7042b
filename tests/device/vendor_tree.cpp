#include "tests/device/vendor_tree.h"

#include <shlwapi.h>

#include <cstdint>
#include <cstring>

namespace testutil {

std::wstring BinFolder() {
    std::wstring folder = ProgramFolder(); // build/bin/caller
    return folder.substr(0, folder.find_last_of(L'\\'));
}

VendorTree::VendorTree(const Options& options) {
    std::wstring apple = root() + L"\\Apple";
    bool ok = ::CreateDirectoryW(apple.c_str(), nullptr) != 0;
    if (options.applicationSupport) {
        std::wstring from = options.valueLibrary.empty() ? BinFolder() + L"\\CoreFoundation.dll" : options.valueLibrary;
        ok = ok && ::CreateDirectoryW(ApplicationSupport().c_str(), nullptr) &&
             ::CopyFileW(from.c_str(), (ApplicationSupport() + L"\\CoreFoundation.dll").c_str(), FALSE);
    }
    if (options.mobileDeviceSupport) {
        ok = ok && ::CreateDirectoryW(MobileDeviceSupport().c_str(), nullptr);
        if (options.deviceLibrary)
            ok = ok && ::CopyFileW((BinFolder() + L"\\iTunesMobileDevice.dll").c_str(),
                                   (MobileDeviceSupport() + L"\\" + options.deviceLibraryName).c_str(), FALSE);
    }
    m_ok = ok;
}

std::wstring LoadedModulePath(const wchar_t* name) {
    HMODULE module = ::GetModuleHandleW(name);
    if (!module)
        return std::wstring();
    wchar_t path[MAX_PATH] = {};
    DWORD n = ::GetModuleFileNameW(module, path, MAX_PATH);
    return std::wstring(path, n);
}

int OtherBits() {
#ifdef _WIN64
    return 32;
#else
    return 64;
#endif
}

bool PlaceStandIn(const wchar_t* standIn, const std::wstring& to, int bits) {
    // Every folder on the way.
    for (size_t at = to.find(L'\\', 3); at != std::wstring::npos; at = to.find(L'\\', at + 1))
        ::CreateDirectoryW(to.substr(0, at).c_str(), nullptr);
    if (!::CopyFileW((BinFolder() + L"\\" + standIn).c_str(), to.c_str(), FALSE))
        return false;
    if (bits == 0)
        return true;
    std::string bytes;
    if (!ReadFileBytes(to, &bytes) || bytes.size() < 0x40)
        return false;
    uint32_t header = 0;
    std::memcpy(&header, bytes.data() + 0x3C, 4);
    if (header + 6 > bytes.size())
        return false;
    const uint16_t machine = bits == 64 ? IMAGE_FILE_MACHINE_AMD64 : IMAGE_FILE_MACHINE_I386;
    std::memcpy(&bytes[header + 4], &machine, 2);
    return WriteFileBytes(to, bytes);
}

ScratchRegistry::ScratchRegistry()
    : m_base(L"Software\\OrvexTests\\vendor-" + std::to_wstring(::GetCurrentProcessId()) + L"\\") {
    Clear();
}

ScratchRegistry::~ScratchRegistry() { Clear(); }

bool ScratchRegistry::SetString(const std::wstring& key, const wchar_t* value, const std::wstring& text) {
    HKEY opened = nullptr;
    if (::RegCreateKeyExW(HKEY_CURRENT_USER, (m_base + key).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &opened,
                          nullptr) != ERROR_SUCCESS)
        return false;
    LSTATUS result = ::RegSetValueExW(opened, value, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                                      static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
    ::RegCloseKey(opened);
    return result == ERROR_SUCCESS;
}

void ScratchRegistry::Clear() {
    std::wstring key = m_base.substr(0, m_base.size() - 1);
    ::SHDeleteKeyW(HKEY_CURRENT_USER, key.c_str());
}

} // namespace testutil
