#include "platform/seams.h"

#include <shellapi.h>
#include <shlobj.h>

namespace seams {
namespace {

int RealMessageBox(HWND owner, const wchar_t* text, const wchar_t* caption, UINT type) {
    return ::MessageBoxW(owner, text, caption, type);
}

void RealShellOpen(const wchar_t* target) {
    ::ShellExecuteW(nullptr, L"open", target, nullptr, nullptr, SW_SHOWNORMAL);
}

int64_t RealNow() {
    FILETIME ft;
    ::GetSystemTimeAsFileTime(&ft);
    ULARGE_INTEGER t;
    t.LowPart = ft.dwLowDateTime;
    t.HighPart = ft.dwHighDateTime;
    // 100 ns units since 1601 → seconds since 1970.
    return static_cast<int64_t>(t.QuadPart / 10000000ULL) - 11644473600LL;
}

std::wstring RealDocumentsFolder() {
    wchar_t path[MAX_PATH] = {};
    if (FAILED(::SHGetFolderPathW(nullptr, CSIDL_PERSONAL, nullptr, SHGFP_TYPE_CURRENT, path)))
        return std::wstring();
    return path;
}

std::wstring RealTempFolder() {
    wchar_t path[MAX_PATH + 1] = {};
    DWORD n = ::GetTempPathW(MAX_PATH + 1, path);
    if (n == 0 || n > MAX_PATH)
        return std::wstring();
    return std::wstring(path, n);
}

std::wstring RealShellFolder(int csidl) {
    wchar_t path[MAX_PATH] = {};
    if (FAILED(::SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, path)))
        return std::wstring();
    return path;
}

constexpr Hooks kProduction = {RealMessageBox,      RealShellOpen,  RealNow,
                               RealDocumentsFolder, RealTempFolder, RealShellFolder};
Hooks g_hooks = kProduction;

} // namespace

Hooks& Current() { return g_hooks; }
void Reset() { g_hooks = kProduction; }

int ShowMessage(HWND owner, const wchar_t* text, const wchar_t* caption, UINT type) {
    return g_hooks.messageBox(owner, text, caption, type);
}
void ShellOpen(const wchar_t* target) { g_hooks.shellOpen(target); }
int64_t Now() { return g_hooks.now(); }
std::wstring DocumentsFolder() { return g_hooks.documentsFolder(); }
std::wstring TempFolder() { return g_hooks.tempFolder(); }
std::wstring ShellFolder(int csidl) { return g_hooks.shellFolder(csidl); }

} // namespace seams
