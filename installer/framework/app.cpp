#include "installer/framework/app.h"

#include "installer/framework/dialog.h"
#include "platform/seams.h"

#include <process.h>
#include <winsock2.h>

namespace {

CApplication* g_pApp = nullptr;
HMODULE g_resourceModule = nullptr;
bool g_socketsStarted = false;

// RegisterApplicationRestart exists from Windows Vista on.
void RegisterForRestart() {
    using RegisterFn = HRESULT(WINAPI*)(PCWSTR, DWORD);
    HMODULE kernel = ::GetModuleHandleW(L"kernel32.dll");
    if (!kernel)
        return;
    auto fn =
        reinterpret_cast<RegisterFn>(reinterpret_cast<void*>(::GetProcAddress(kernel, "RegisterApplicationRestart")));
    if (fn)
        fn(L"", 0);
}

void SocketCleanup() {
    if (g_socketsStarted) {
        ::WSACleanup();
        g_socketsStarted = false;
    }
}

} // namespace

CApplication::CApplication() { g_pApp = this; }

CApplication::~CApplication() {
    if (g_pApp == this)
        g_pApp = nullptr;
}

BOOL CApplication::InitInstance() {
    if (m_dwRestartManagerSupportFlags & kRestartManagerSupportRestart)
        RegisterForRestart();
    return TRUE;
}

int CApplication::ExitInstance() { return 0; }

int CApplication::Run() {
    if (InitInstance()) {
        MSG msg;
        while (::GetMessageW(&msg, nullptr, 0, 0) > 0) {
            ::TranslateMessage(&msg);
            ::DispatchMessageW(&msg);
        }
    }
    int status = ExitInstance();
    SocketCleanup();
    return status;
}

CApplication* AppGetApp() { return g_pApp; }

const std::wstring& AppName() {
    static const std::wstring name = [] {
        wchar_t path[MAX_PATH] = {};
        DWORD n = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
        std::wstring full(path, n);
        size_t slash = full.find_last_of(L"\\/");
        std::wstring base = slash == std::wstring::npos ? full : full.substr(slash + 1);
        size_t dot = base.find_last_of(L'.');
        return dot == std::wstring::npos ? base : base.substr(0, dot);
    }();
    return name;
}

int AppMessageBox(const wchar_t* text, UINT type) {
    HWND owner = nullptr;
    if (g_pApp && g_pApp->m_pMainWnd)
        owner = g_pApp->m_pMainWnd->m_hWnd;
    return AppMessageBox(owner, text, type);
}

int AppMessageBox(HWND owner, const wchar_t* text, UINT type) {
    return seams::ShowMessage(owner, text, AppName().c_str(), type);
}

bool AppSocketInit() {
    if (g_socketsStarted)
        return true;
    WSADATA data;
    if (::WSAStartup(MAKEWORD(1, 1), &data) != 0)
        return false;
    if (LOBYTE(data.wVersion) != 1 || HIBYTE(data.wVersion) != 1) {
        ::WSACleanup();
        return false;
    }
    g_socketsStarted = true;
    return true;
}

bool AppSocketsStarted() { return g_socketsStarted; }

HMODULE AppResourceModule() { return g_resourceModule ? g_resourceModule : ::GetModuleHandleW(nullptr); }

void AppSetResourceModule(HMODULE module) { g_resourceModule = module; }

UniqueHandle AppBeginThread(AppThreadProc proc, void* param) {
    uintptr_t h = ::_beginthreadex(nullptr, 0, proc, param, 0, nullptr);
    return UniqueHandle(reinterpret_cast<HANDLE>(h));
}
