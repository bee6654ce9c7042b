#include "tools/orvexctl/vendor_check.h"

#include "platform/vendor_folders.h"

#include <shlobj.h>

namespace orvexctl {

namespace {

bool IsFolder(const std::wstring& path) {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool IsFile(const std::wstring& path) {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

#ifdef _WIN64
const wchar_t kEdition[] = L"64-bit";
#else
const wchar_t kEdition[] = L"32-bit";
#endif
using vendor_folders::kCommonFolders;
const auto& kDeviceLibraries = vendor_folders::kDeviceLibraryNames;

std::wstring InstallHint() {
    return std::wstring(L"; install the vendor's ") + kEdition +
           L" device support (Apple Application Support and Apple Mobile Device Support, which iTunes installs)";
}

// The thread's one catcher (boxes are caught on the thread that made it).
thread_local MessageBoxCatcher* t_catcher = nullptr;

} // namespace

std::wstring MissingVendorInstallation() {
    std::wstring common;
    for (int csidl : kCommonFolders) {
        wchar_t path[MAX_PATH] = {};
        if (SUCCEEDED(::SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, path)) && path[0]) {
            common = path;
            break;
        }
    }
    return MissingVendorInstallation(common);
}

std::wstring MissingVendorInstallation(std::wstring common) {
    if (common.empty())
        return L"no common program files folder" + InstallHint();
    if (common.back() != L'\\')
        common += L'\\';
    const std::wstring support = common + L"Apple\\Apple Application Support";
    const std::wstring mobileDevice = common + L"Apple\\Mobile Device Support";
    if (!IsFolder(support))
        return L"the folder " + support + L" is missing" + InstallHint();
    if (!IsFolder(mobileDevice))
        return L"the folder " + mobileDevice + L" is missing" + InstallHint();
    if (!IsFile(support + L"\\CoreFoundation.dll"))
        return support + L"\\CoreFoundation.dll is missing" + InstallHint();
    for (const wchar_t* name : kDeviceLibraries) {
        if (IsFile(mobileDevice + L"\\" + name))
            return std::wstring();
    }
    return mobileDevice + L"\\" + kDeviceLibraries[0] + L" is missing" + InstallHint();
}

MessageBoxCatcher::MessageBoxCatcher() {
    if (t_catcher)
        return; // one at a time per thread
    m_hook = ::SetWindowsHookExW(WH_CBT, Hook, nullptr, ::GetCurrentThreadId());
    if (m_hook)
        t_catcher = this;
}

MessageBoxCatcher::~MessageBoxCatcher() {
    if (!m_hook)
        return;
    ::UnhookWindowsHookEx(m_hook);
    t_catcher = nullptr;
}

LRESULT CALLBACK MessageBoxCatcher::Hook(int code, WPARAM wParam, LPARAM lParam) {
    MessageBoxCatcher* self = t_catcher;
    HHOOK hook = self ? self->m_hook : nullptr;
    try {
        if (self && code == HCBT_ACTIVATE) {
            HWND window = reinterpret_cast<HWND>(wParam);
            wchar_t className[16] = {};
            ::GetClassNameW(window, className, 16);
            if (std::wstring(className) == L"#32770") {
                // A message box keeps its text in the static control 0xFFFF.
                wchar_t text[1024] = {};
                if (!::GetDlgItemTextW(window, 0xFFFF, text, 1024))
                    ::GetWindowTextW(window, text, 1024);
                if (!self->m_texts.empty())
                    self->m_texts += L"; ";
                self->m_texts += text;
                ::PostMessageW(window, WM_COMMAND, IDOK, 0);
            }
        }
    } catch (...) {
        // A text is lost; the box is still closed by the next activation.
    }
    return ::CallNextHookEx(hook, code, wParam, lParam);
}

} // namespace orvexctl
