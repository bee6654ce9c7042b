// The main dialog with the install worker for real and the device library's
// answers scripted (fake_calls.h): a device plugged in, the install button
// clicked, the window's thread pumped while the worker runs.
#pragma once

#include "installer/install_orvex_dlg.h"
#include "tests/installer/fake_calls.h"
#include "tests/support/test_util.h"
#include "tests/support/ui_util.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace installtest {

constexpr wchar_t kHandsetFile[] = L"C:\\Quillon.deb";
constexpr wchar_t kTabletFile[] = L"C:\\QuillonHD.deb";

class WorkerDlg : public CInstallOrvexDlg {
  public:
    using CInstallOrvexDlg::StartInstallWorker;
    using CInstallOrvexDlg::WaitForInstallWorker;
    bool WorkerRunning() const { return m_hWorker && ::WaitForSingleObject(m_hWorker.get(), 0) == WAIT_TIMEOUT; }
};

// What each push of the window showed: state, text, fraction.
struct Shown {
    int state;
    std::wstring text;
    double fraction;
    bool operator==(const Shown&) const = default;
};
inline std::vector<Shown>& Pushed() {
    static std::vector<Shown> pushed;
    return pushed;
}
inline BOOL WINAPI RecordPush(HWND, HDC, POINT*, SIZE*, HDC, POINT*, COLORREF, BLENDFUNCTION*, DWORD) {
    Pushed().push_back({g_pInstallDlg->m_nState, g_pInstallDlg->m_strStatus, g_pInstallDlg->m_dProgress});
    return TRUE;
}

class InstallFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        static testutil::GdiplusSession gdiplus; // the loader's part, faked here
        ASSERT_TRUE(gdiplus.ok());
        ::SetCursorPos(0, 0); // away from the window's buttons
        ASSERT_TRUE(Restart());
    }
    // Fresh scripted answers and a fresh dialog (the previous one goes
    // first: two windows would be two instances).
    bool Restart() {
        m_dlg.reset();
        fakecalls::Install(L"Software\\OrvexTests\\none");
        m_dlg = std::make_unique<WorkerDlg>();
        if (!m_dlg->CreateModeless())
            return false;
        Pushed().clear();
        m_dlg->m_pfnUpdateLayeredWindow = RecordPush;
        return true;
    }
    void TearDown() override {
        m_dlg.reset();
        fakecalls::Uninstall();
    }

    // A jailbroken device of `productType`, plugged in and shown.
    void PlugIn(const std::wstring& id, const std::wstring& productType = L"iPhone4,1") {
        {
            std::lock_guard<std::mutex> hold(fakecalls::Get().lock);
            fakecalls::Get().devices[id] = {productType, 1, true};
        }
        CInstallOrvexDlg::OnDeviceArrived(id.c_str());
        testutil::PumpMessages(20);
    }
    void Click() {
        ::SendMessageW(m_dlg->m_hWnd, WM_COMMAND, MAKEWPARAM(CSkinDialog::kIdInstall, BN_CLICKED),
                       reinterpret_cast<LPARAM>(m_dlg->GetDlgItem(CSkinDialog::kIdInstall)));
    }
    // Pumps the window's thread until the worker has ended and what it
    // handed over has been shown.
    bool FinishInstall(DWORD ms = 15000) {
        bool ended = testutil::PumpUntil([&] { return !m_dlg->WorkerRunning(); }, ms);
        testutil::PumpMessages(50);
        return ended;
    }
    bool ButtonEnabled() const { return ::IsWindowEnabled(m_dlg->GetDlgItem(CSkinDialog::kIdInstall)) != FALSE; }
    bool WindowClosed(DWORD ms = 2000) {
        HWND hWnd = m_dlg->m_hWnd;
        return testutil::PumpUntil([&] { return !hWnd || !::IsWindow(hWnd); }, ms);
    }

    testutil::SeamRecorder m_seams;
    std::unique_ptr<WorkerDlg> m_dlg;
};

} // namespace installtest
