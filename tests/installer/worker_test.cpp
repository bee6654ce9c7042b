// The install worker with the device library's answers scripted: the
// device's folder chain, the stale staged copy, the upload and its progress,
// the upload's failure, and a window that closes while the worker runs.
#include "platform/file.h"
#include "tests/installer/install_fixture.h"

#include <algorithm>
#include <atomic>

namespace {

using namespace installtest;

const std::vector<std::string> kChain = {
    "//var", "//var//root", "//var//root//Media", "//var//root//Media//Cydia", "//var//root//Media//Cydia//AutoInstall",
};

class WorkerTest : public InstallFixture {
  protected:
    void SetDeviceFiles(const std::wstring& id, std::set<std::wstring> paths) {
        std::lock_guard<std::mutex> hold(fakecalls::Get().lock);
        fakecalls::Get().files[id] = std::move(paths);
    }
    // The device calls of the install, in order, without the upload's details.
    static std::vector<std::string> DeviceCalls() {
        std::vector<std::string> calls;
        for (const auto& event : fakecalls::Get().events) {
            if (event.rfind("info ", 0) == 0 || event.rfind("mkdir ", 0) == 0 || event.rfind("delete ", 0) == 0)
                calls.push_back(event);
            else if (event.rfind("upload ", 0) == 0)
                calls.push_back("upload");
        }
        return calls;
    }
};

TEST_F(WorkerTest, FolderChainIsMadeShallowestFirstWhereItIsMissing) {
    const struct {
        const char* name;
        std::set<std::wstring> present;
        std::vector<std::string> made;
    } cases[] = {
        {"none present", {}, kChain},
        {"all present",
         {L"//var", L"//var//root", L"//var//root//Media", L"//var//root//Media//Cydia",
          L"//var//root//Media//Cydia//AutoInstall"},
         {}},
        {"the last two missing", {L"//var", L"//var//root", L"//var//root//Media"}, {kChain[3], kChain[4]}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(Restart());
        SetDeviceFiles(L"phone", c.present);
        PlugIn(L"phone");
        Click();
        ASSERT_TRUE(FinishInstall());
        std::vector<std::string> asked, made;
        for (const auto& event : fakecalls::EventsStartingWith("info //"))
            asked.push_back(event.substr(5));
        for (const auto& event : fakecalls::EventsStartingWith("mkdir "))
            made.push_back(event.substr(6));
        EXPECT_EQ(asked, kChain) << "each level asked for, in order";
        EXPECT_EQ(made, c.made);
        EXPECT_EQ(m_dlg->m_nState, 4);
    }
}

TEST_F(WorkerTest, PackageGoesToTheAutoInstallFolderAndTheWindowSaysRestart) {
    PlugIn(L"phone");
    ASSERT_EQ(m_dlg->m_nState, 2);
    Click();
    EXPECT_FALSE(ButtonEnabled()) << "disabled for the whole install";
    ASSERT_TRUE(FinishInstall());
    EXPECT_EQ(fakecalls::EventsStartingWith("upload "),
              std::vector<std::string>{"upload phone C:\\Quillon.deb var/root/Media/Cydia/AutoInstall"});
    EXPECT_EQ(m_dlg->m_nState, 4);
    EXPECT_EQ(m_dlg->m_strStatus, L"安装成功，请重启设备");
    EXPECT_FALSE(ButtonEnabled()) << "stays disabled after the install";
    EXPECT_TRUE(m_seams.boxes().empty());
    EXPECT_TRUE(fakecalls::EventsStartingWith("internet open").empty()) << "the package was there: no download";
    EXPECT_TRUE(IsLocalFile(kHandsetFile));
}

TEST_F(WorkerTest, TabletGetsItsOwnPackageAndStagedName) {
    SetDeviceFiles(L"pad", {L"/var/mobile/Media/PublicStaging/QuillonHD.deb"});
    PlugIn(L"pad", L"iPad2,5");
    Click();
    ASSERT_TRUE(FinishInstall());
    EXPECT_EQ(fakecalls::EventsStartingWith("delete "),
              std::vector<std::string>{"delete /var/mobile/Media/PublicStaging/QuillonHD.deb"});
    EXPECT_EQ(fakecalls::EventsStartingWith("upload "),
              std::vector<std::string>{"upload pad C:\\QuillonHD.deb var/root/Media/Cydia/AutoInstall"});
}

TEST_F(WorkerTest, StaleStagedCopyIsRemovedBeforeTheUpload) {
    for (bool stale : {true, false}) {
        SCOPED_TRACE(stale ? "stale copy present" : "no stale copy");
        ASSERT_TRUE(Restart());
        std::set<std::wstring> files;
        if (stale)
            files.insert(L"/var/mobile/Media/PublicStaging/Quillon.deb");
        SetDeviceFiles(L"phone", files);
        PlugIn(L"phone");
        Click();
        ASSERT_TRUE(FinishInstall());
        std::vector<std::string> expected = {
            "info //var",
            "mkdir //var",
            "info //var//root",
            "mkdir //var//root",
            "info //var//root//Media",
            "mkdir //var//root//Media",
            "info //var//root//Media//Cydia",
            "mkdir //var//root//Media//Cydia",
            "info //var//root//Media//Cydia//AutoInstall",
            "mkdir //var//root//Media//Cydia//AutoInstall",
            "info /var/mobile/Media/PublicStaging/Quillon.deb",
        };
        if (stale)
            expected.push_back("delete /var/mobile/Media/PublicStaging/Quillon.deb");
        expected.push_back("upload");
        EXPECT_EQ(DeviceCalls(), expected);
        EXPECT_EQ(m_dlg->m_nState, 4);
    }
}

// After each progress report, waits until the window's thread has shown
// everything handed over before it, so that no repaint is merged away.
void WaitForTheWindow() {
    HANDLE shown = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    g_pInstallDlg->RunOnWindowThread([shown] { ::SetEvent(shown); });
    ::WaitForSingleObject(shown, 5000);
    ::CloseHandle(shown);
}

TEST_F(WorkerTest, UploadProgressRepaintsOnlyWhenThePercentageChanges) {
    fakecalls::Get().uploadProgress = {0, 0, 37, 37, 100};
    fakecalls::Get().afterProgress = WaitForTheWindow;
    PlugIn(L"phone");
    Pushed().clear();
    Click();
    ASSERT_TRUE(FinishInstall());
    const std::vector<Shown> expected = {
        {3, L"正在安装...", 0.0},
        {5, L"正在安装...", 0.37},
        {5, L"正在安装...", 1.0},
        {4, L"安装成功，请重启设备", 1.0},
    };
    EXPECT_EQ(Pushed(), expected) << "the first reports of 0 draw nothing new";
    EXPECT_EQ(m_dlg->m_nLastPercent, 100);
}

// The fill the window last pushed, and how long after the upload reported
// 60% it first showed 60%.
std::atomic<double> g_pushedFraction{-1.0};
std::atomic<DWORD> g_sixtyShownAfter{INFINITE};

BOOL WINAPI NoteFraction(HWND, HDC, POINT*, SIZE*, HDC, POINT*, COLORREF, BLENDFUNCTION*, DWORD) {
    g_pushedFraction = g_pInstallDlg->m_nState == 5 ? g_pInstallDlg->m_dProgress : -1.0;
    return TRUE;
}

// After the report of 60%, the upload pauses for 600 ms (a slow device) and
// notes when the window showed 60%.
void PauseAtSixty() {
    if (g_pInstallDlg->m_nLastPercent != 60)
        return;
    const DWORD start = ::GetTickCount();
    while (::GetTickCount() - start < 600) {
        if (g_sixtyShownAfter == INFINITE && g_pushedFraction == 0.60)
            g_sixtyShownAfter = ::GetTickCount() - start;
        ::Sleep(2);
    }
}

TEST_F(WorkerTest, UploadProgressShowsTheLatestPercentageAlsoWhenTheUploadPauses) {
    g_pushedFraction = -1.0;
    g_sixtyShownAfter = INFINITE;
    m_dlg->m_pfnUpdateLayeredWindow = NoteFraction;
    fakecalls::Get().uploadProgress = {10, 20, 30, 40, 50, 60, 100};
    fakecalls::Get().afterProgress = PauseAtSixty;
    PlugIn(L"phone");
    Click();
    ASSERT_TRUE(FinishInstall());
    EXPECT_LE(g_sixtyShownAfter.load(), 100u) << "60% on the window within 100 ms of the report";
    EXPECT_EQ(m_dlg->m_nState, 4);
}

TEST_F(WorkerTest, LastPercentageIsKeptFromOneInstallToTheNext) {
    fakecalls::Get().uploadProgress = {100};
    fakecalls::Get().afterProgress = WaitForTheWindow;
    PlugIn(L"phone");
    Click();
    ASSERT_TRUE(FinishInstall());
    CInstallOrvexDlg::OnDeviceRemoved(L"phone");
    PlugIn(L"phone");
    Pushed().clear();
    Click();
    ASSERT_TRUE(FinishInstall());
    const auto progress = std::count_if(Pushed().begin(), Pushed().end(), [](const Shown& s) { return s.state == 5; });
    EXPECT_EQ(progress, 0) << "100 again is no change";
    EXPECT_EQ(m_dlg->m_nState, 4);
}

TEST_F(WorkerTest, FailedUploadSaysSoAndClosesTheWindowDeletingBothPackages) {
    fakecalls::Get().uploadResult = 0;
    PlugIn(L"phone");
    Click();
    ASSERT_TRUE(FinishInstall());
    EXPECT_EQ(m_seams.texts(), std::vector<std::wstring>{L"上传失败"});
    EXPECT_TRUE(WindowClosed());
    EXPECT_FALSE(IsLocalFile(kHandsetFile));
    EXPECT_FALSE(IsLocalFile(kTabletFile));
}

// The device that was prepared leaves during the install and another one
// takes its place: the upload must not go to a device nobody checked.
void SwapDevicesOnce(const std::string& event) {
    if (event != "info //var")
        return;
    {
        std::lock_guard<std::mutex> hold(fakecalls::Get().lock);
        fakecalls::Get().onFileCall = nullptr;
    }
    CInstallOrvexDlg::OnDeviceRemoved(L"phone");
    CInstallOrvexDlg::OnDeviceArrived(L"other");
}

TEST_F(WorkerTest, UploadGoesOnlyToTheDeviceThatWasPrepared) {
    {
        std::lock_guard<std::mutex> hold(fakecalls::Get().lock);
        fakecalls::Get().devices[L"other"] = {L"iPad2,5", 1, true};
    }
    PlugIn(L"phone");
    fakecalls::Get().onFileCall = SwapDevicesOnce;
    Click();
    ASSERT_TRUE(FinishInstall());
    EXPECT_TRUE(fakecalls::EventsStartingWith("upload ").empty());
    EXPECT_EQ(m_seams.texts(), std::vector<std::wstring>{L"上传失败"});
    EXPECT_TRUE(WindowClosed());
}

TEST_F(WorkerTest, NoSummaryMeansNoInstall) {
    PlugIn(L"phone");
    CInstallOrvexDlg::OnDeviceRemoved(L"phone");
    m_dlg->StartInstallWorker();
    ASSERT_TRUE(FinishInstall());
    EXPECT_TRUE(fakecalls::EventsStartingWith("info ").empty());
    EXPECT_TRUE(m_seams.boxes().empty());
}

// The window closes while the upload runs; the upload then reports once more
// and fails.
HWND g_window = nullptr;
void CloseDuringUpload(const std::string& event) {
    if (event.rfind("upload ", 0) != 0)
        return;
    ::PostMessageW(g_window, WM_CLOSE, 0, 0);
    for (int i = 0; i < 250 && !g_pInstallDlg->Closing(); ++i)
        ::Sleep(20);
}

TEST_F(WorkerTest, WindowClosedDuringTheUploadEndsTheWorkerWithoutAWord) {
    g_window = m_dlg->m_hWnd;
    fakecalls::Get().onFileCall = CloseDuringUpload;
    fakecalls::Get().uploadProgress = {50};
    fakecalls::Get().uploadResult = 0;
    PlugIn(L"phone");
    Click();
    ASSERT_TRUE(FinishInstall());
    EXPECT_TRUE(WindowClosed());
    EXPECT_TRUE(m_seams.boxes().empty()) << "no 上传失败 for a window that is gone";
    EXPECT_EQ(m_dlg->m_nLastPercent, 0) << "the late report reached nothing";
    EXPECT_FALSE(IsLocalFile(kHandsetFile));
}

// The dialog is destroyed while the worker is in the middle of a step: the
// destructor waits for it, and the worker touches nothing of the window.
HANDLE g_inStep = nullptr;
HANDLE g_release = nullptr;
void HoldTheFirstStep(const std::string& event) {
    if (event != "info //var")
        return;
    ::SetEvent(g_inStep);
    ::WaitForSingleObject(g_release, 5000);
}
DWORD WINAPI ReleaseLater(void*) {
    ::Sleep(200);
    fakecalls::Event("released");
    ::SetEvent(g_release);
    return 0;
}

TEST_F(WorkerTest, DestroyingTheDialogWaitsForTheWorkerWhichStopsAtItsNextStep) {
    g_inStep = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    g_release = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    fakecalls::Get().onFileCall = HoldTheFirstStep;
    PlugIn(L"phone");
    Click();
    ASSERT_EQ(::WaitForSingleObject(g_inStep, 5000), WAIT_OBJECT_0);
    HANDLE releaser = ::CreateThread(nullptr, 0, ReleaseLater, nullptr, 0, nullptr);
    m_dlg.reset();
    fakecalls::Event("dialog destroyed");
    ::WaitForSingleObject(releaser, 5000);
    ::CloseHandle(releaser);
    ::CloseHandle(g_inStep);
    ::CloseHandle(g_release);
    const auto& events = fakecalls::Get().events;
    auto at = [&](const char* what) { return std::find(events.begin(), events.end(), what) - events.begin(); };
    EXPECT_LT(at("released"), at("dialog destroyed")) << "the destructor did not wait for the worker";
    EXPECT_EQ(fakecalls::EventsStartingWith("info "), std::vector<std::string>{"info //var"});
    EXPECT_TRUE(fakecalls::EventsStartingWith("mkdir ").empty()) << "the worker went on after the window had gone";
    EXPECT_TRUE(fakecalls::EventsStartingWith("upload ").empty());
    EXPECT_TRUE(m_seams.boxes().empty());
    EXPECT_FALSE(IsLocalFile(kHandsetFile));
}

} // namespace

namespace {

using namespace installtest;

TEST_F(WorkerTest, SecondClickWhileAnInstallRunsStartsNoSecondOne) {
    g_inStep = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    g_release = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    fakecalls::Get().onFileCall = HoldTheFirstStep;
    PlugIn(L"phone");
    Click();
    ASSERT_EQ(::WaitForSingleObject(g_inStep, 5000), WAIT_OBJECT_0);
    // The button came back (the device was plugged in again) and is clicked.
    ::EnableWindow(m_dlg->GetDlgItem(CSkinDialog::kIdInstall), TRUE);
    Click();
    ::SetEvent(g_release);
    ASSERT_TRUE(FinishInstall());
    ::CloseHandle(g_inStep);
    ::CloseHandle(g_release);
    EXPECT_EQ(fakecalls::EventsStartingWith("upload ").size(), 1u) << "one install, one upload";
    EXPECT_EQ(m_dlg->m_nState, 4);
}

} // namespace
