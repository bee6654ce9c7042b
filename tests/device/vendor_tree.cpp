#include "tests/device/vendor_tree.h"

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

} // namespace testutil
