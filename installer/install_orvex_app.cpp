#include "installer/install_orvex_app.h"

#include "installer/install_orvex_dlg.h"
#include "installer/installer_calls.h"
#include "installer/web_addresses.h"
#include "platform/handles.h"
#include "platform/seams.h"

#include <commctrl.h>

#include <cstring>

namespace {

constexpr wchar_t kNoITunes[] = L"检测到您的电脑没有安装iTunes, 请先下载安装iTunes.";
constexpr wchar_t kNoITunesCaption[] = L"Orvex越狱助手";
constexpr wchar_t kErrSockets[] = L"Socket init error!";
constexpr wchar_t kErrLibraries[] = L"dll加载失败，请先安装8.0以上版本的 Apple iTunes。";

// The trace file, opened (created anew) while the program image loads.
StartupTrace g_startupTrace(L"C:\\ZOrod.txt");

// A value read into `data` (`size` bytes, `type`) is a well-formed string:
// empty, REG_SZ / REG_EXPAND_SZ ending in a zero unit, or REG_MULTI_SZ ending
// in two zero units (or a single zero unit).
bool IsStringValue(DWORD type, const BYTE* data, DWORD size) {
    if (size == 0)
        return true;
    if (size % 2 != 0)
        return false;
    const size_t units = size / 2;
    auto unit = [&](size_t i) {
        wchar_t c;
        std::memcpy(&c, data + 2 * i, 2);
        return c;
    };
    if (type == REG_SZ || type == REG_EXPAND_SZ)
        return unit(units - 1) == L'\0';
    if (type == REG_MULTI_SZ)
        return units == 1 ? unit(0) == L'\0' : unit(units - 1) == L'\0' && unit(units - 2) == L'\0';
    return false;
}

} // namespace

StartupTrace::StartupTrace(const wchar_t* path)
    : m_file(::CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                           nullptr)) {}

void StartupTrace::WriteBannerAndClose() {
    if (!m_file)
        return;
    static const char kBanner[] = "Imbry's log:\r\n";
    DWORD written = 0;
    ::WriteFile(m_file.get(), kBanner, sizeof kBanner - 1, &written, nullptr);
    m_file.reset();
}

void WriteStartupTrace() { g_startupTrace.WriteBannerAndClose(); }

bool IsAppleMobileDeviceInstalled() {
    const InstallerCalls& calls = CurrentInstallerCalls();
    HKEY raw = nullptr;
    if (calls.regOpenKey(calls.serviceRoot, calls.serviceKey, 0, KEY_READ | KEY_WRITE, &raw) != ERROR_SUCCESS)
        return false;
    UniqueRegKey key(raw);
    BYTE data[260];
    DWORD size = sizeof data;
    DWORD type = REG_NONE;
    if (::RegQueryValueExW(key.get(), L"ImagePath", nullptr, &type, data, &size) != ERROR_SUCCESS)
        return false;
    return size <= sizeof data && IsStringValue(type, data, size);
}

bool IsVendorSoftwareInstalled() {
    // The multiplexer is asked last: it may take its second to answer.
    const InstallerCalls& calls = CurrentInstallerCalls();
    return IsAppleMobileDeviceInstalled() || calls.storePackageInstalled() || calls.multiplexerAnswers();
}

CInstallOrvexApp::CInstallOrvexApp() { m_dwRestartManagerSupportFlags = kRestartManagerSupportRestart; }

BOOL CInstallOrvexApp::InitInstance() {
    WriteStartupTrace();
    if (!IsVendorSoftwareInstalled()) {
        seams::ShowMessage(nullptr, kNoITunes, kNoITunesCaption, MB_OK | MB_ICONWARNING);
        seams::ShellOpen(web::kMediaPlayerPage);
        return FALSE;
    }
    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_WIN95_CLASSES};
    ::InitCommonControlsEx(&controls);
    CApplication::InitInstance();

    const InstallerCalls& calls = CurrentInstallerCalls();
    if (!calls.socketInit()) {
        AppMessageBox(kErrSockets);
        return FALSE;
    }
    if (!calls.loadDllFunctions()) {
        AppMessageBox(kErrLibraries);
        return FALSE;
    }
    {
        CInstallOrvexDlg dlg;
        m_pMainWnd = &dlg;
        dlg.DoModal();
        m_pMainWnd = nullptr;
    }
    return FALSE;
}

int CInstallOrvexApp::ExitInstance() {
    CurrentInstallerCalls().unloadDllFunctions();
    return CApplication::ExitInstance();
}
