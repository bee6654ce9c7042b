// The main dialog's workflow, driven through its device callbacks and its
// install button, with the device library's answers scripted.
#include "installer/install_orvex_dlg.h"
#include "platform/file.h"
#include "tests/installer/fake_calls.h"
#include "tests/support/test_util.h"
#include "tests/support/ui_util.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

constexpr wchar_t kHandsetFile[] = L"C:\\Quillon.deb";
constexpr wchar_t kTabletFile[] = L"C:\\QuillonHD.deb";
constexpr wchar_t kAsk[] = L"设备未越狱,推荐使用Orvex越狱助手进行越狱，要下载吗";

class TestInstallDlg : public CInstallOrvexDlg {
  public:
    int workersStarted = 0;

  protected:
    void StartInstallWorker() override { ++workersStarted; }
};

class WorkflowTest : public ::testing::Test {
  protected:
    void SetUp() override {
        static testutil::GdiplusSession gdiplus; // the loader's part, faked here
        ASSERT_TRUE(gdiplus.ok());
        fakecalls::Install(L"Software\\OrvexTests\\none");
        ::SetCursorPos(0, 0); // away from the window's buttons
        m_dlg = std::make_unique<TestInstallDlg>();
        ASSERT_TRUE(m_dlg->CreateModeless());
        m_dlg->m_nOfflinePause = 20;
    }
    void TearDown() override {
        m_dlg.reset();
        fakecalls::Uninstall();
    }

    void AddDevice(const std::wstring& id, const std::wstring& productType, int jailbroken = 1) {
        std::lock_guard<std::mutex> hold(fakecalls::Get().lock);
        fakecalls::Get().devices[id] = {productType, jailbroken, true};
    }
    static void Arrive(const std::wstring& id) { CInstallOrvexDlg::OnDeviceArrived(id.c_str()); }
    static void Leave(const std::wstring& id) { CInstallOrvexDlg::OnDeviceRemoved(id.c_str()); }
    bool ButtonEnabled() const { return ::IsWindowEnabled(m_dlg->GetDlgItem(CSkinDialog::kIdInstall)) != FALSE; }
    std::wstring Model() const {
        auto summary = m_dlg->SummaryCopy();
        return summary ? summary->strModelName : L"<none>";
    }
    void Click() {
        ::SendMessageW(m_dlg->m_hWnd, WM_COMMAND, MAKEWPARAM(CSkinDialog::kIdInstall, BN_CLICKED),
                       reinterpret_cast<LPARAM>(m_dlg->GetDlgItem(CSkinDialog::kIdInstall)));
    }
    bool WindowClosed(DWORD ms = 2000) {
        HWND hWnd = m_dlg->m_hWnd;
        return testutil::PumpUntil([&] { return !::IsWindow(hWnd); }, ms);
    }

    testutil::SeamRecorder m_seams;
    std::unique_ptr<TestInstallDlg> m_dlg;
};

TEST_F(WorkflowTest, StartsWaitingForADeviceWithBothPackagesWritten) {
    EXPECT_EQ(m_dlg->m_nState, 0);
    EXPECT_EQ(m_dlg->m_strStatus, L"请将设备连接至电脑");
    EXPECT_FALSE(ButtonEnabled());
    EXPECT_EQ(fakecalls::Get().listens, 1);
    EXPECT_EQ(fakecalls::Get().arrived, &CInstallOrvexDlg::OnDeviceArrived);
    EXPECT_EQ(fakecalls::Get().removed, &CInstallOrvexDlg::OnDeviceRemoved);
    std::string handset, tablet;
    ASSERT_TRUE(testutil::ReadFileBytes(kHandsetFile, &handset));
    ASSERT_TRUE(testutil::ReadFileBytes(kTabletFile, &tablet));
    EXPECT_EQ(handset.substr(0, 8), "!<arch>\n") << "a Debian package";
    EXPECT_EQ(tablet.substr(0, 8), "!<arch>\n");
    EXPECT_NE(handset, tablet);
    EXPECT_EQ(reinterpret_cast<UINT_PTR>(::GetPropW(m_dlg->m_hWnd, L"InstallOrvex_Instance")), 0xEFAAu);
    EXPECT_TRUE(m_seams.boxes().empty());
}

TEST_F(WorkflowTest, SingleDeviceGetsTheOfferOfItsPackageClass) {
    const struct {
        const wchar_t* productType;
        const wchar_t* model;
        bool handset;
    } cases[] = {
        {L"iPhone4,1", L"iPhone 4S", true}, {L"IPOD3,1", L"iPod 3", true}, {L"iPad2,5", L"iPad 2", false},
        {L"iPad1,1", L"iPad 1", false},     {L"iPhone5,1", L"", false},    {L"", L"", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "product type '" << std::wstring(c.productType) << "'");
        // The other class's file is gone: only the device's own class counts.
        ::DeleteFileW(c.handset ? kTabletFile : kHandsetFile);
        ASSERT_TRUE(CInstallOrvexDlg::ExtractDebResource(c.handset ? IDR_DEB_HANDSET : IDR_DEB_TABLET,
                                                         c.handset ? kHandsetFile : kTabletFile));
        AddDevice(L"dev", c.productType);
        Arrive(L"dev");
        EXPECT_EQ(Model(), c.model);
        EXPECT_EQ(m_dlg->m_nState, 2) << "its package file exists";
        EXPECT_EQ(m_dlg->m_strStatus, L"点击安装");
        EXPECT_FALSE(m_dlg->m_bNeedDownload);
        EXPECT_TRUE(ButtonEnabled());
        Leave(L"dev");
        EXPECT_EQ(Model(), L"<none>");
    }
}

TEST_F(WorkflowTest, MissingPackageFileOffersTheDownload) {
    ::DeleteFileW(kHandsetFile);
    AddDevice(L"phone", L"iPhone4,1");
    Arrive(L"phone");
    EXPECT_EQ(m_dlg->m_nState, 1);
    EXPECT_EQ(m_dlg->m_strStatus, L"点击下载");
    EXPECT_TRUE(m_dlg->m_bNeedDownload);
    EXPECT_TRUE(IsLocalFile(kTabletFile)) << "the tablet file is not consulted";
}

TEST_F(WorkflowTest, UnreadableDeviceCountsAsNotJailbroken) {
    {
        std::lock_guard<std::mutex> hold(fakecalls::Get().lock);
        fakecalls::Get().devices[L"locked"] = {L"iPhone4,1", 1, false};
    }
    Arrive(L"locked");
    auto summary = m_dlg->SummaryCopy();
    ASSERT_TRUE(summary);
    EXPECT_EQ(summary->nJailbroken, 0);
    EXPECT_EQ(summary->strModelName, L"");
    EXPECT_EQ(summary->strIdentifier, L"locked");
    m_seams.SetAnswerFor(kAsk, IDNO);
    Click();
    ASSERT_FALSE(m_seams.texts().empty());
    EXPECT_EQ(m_seams.texts()[0], kAsk);
}

TEST_F(WorkflowTest, SecondDeviceAsksToKeepOnlyOneAndKeepsTheButton) {
    AddDevice(L"a", L"iPhone4,1");
    AddDevice(L"b", L"iPad2,5");
    Arrive(L"a");
    ASSERT_EQ(m_dlg->m_nState, 2);
    int reads = fakecalls::Get().infoReads;
    Arrive(L"b");
    EXPECT_EQ(m_dlg->m_nState, 0);
    EXPECT_EQ(m_dlg->m_strStatus, L"发现多个设备，请只保留一个设备");
    EXPECT_TRUE(ButtonEnabled());
    EXPECT_EQ(Model(), L"iPhone 4S") << "the summary stays";
    EXPECT_EQ(fakecalls::Get().infoReads, reads) << "a second device is not read";
    EXPECT_EQ(m_dlg->DeviceList(), (std::vector<std::wstring>{L"a", L"b"}));
}

TEST_F(WorkflowTest, OneOfTwoRemovedOffersByWhetherAPackageWasDownloaded) {
    for (bool downloaded : {false, true}) {
        SCOPED_TRACE(downloaded);
        m_dlg->m_bDownloaded = downloaded;
        AddDevice(L"a", L"iPhone4,1");
        AddDevice(L"b", L"iPhone4,1");
        Arrive(L"a");
        Arrive(L"b");
        Leave(L"b");
        EXPECT_EQ(m_dlg->m_nState, downloaded ? 2 : 1) << "even though the package file exists";
        EXPECT_TRUE(ButtonEnabled());
        Leave(L"a");
    }
}

TEST_F(WorkflowTest, SummaryFollowsTheDeviceThatStays) {
    AddDevice(L"phone", L"iPhone4,1");
    AddDevice(L"pad", L"iPad2,5", 0);
    Arrive(L"phone");
    Arrive(L"pad");
    Leave(L"pad"); // not the summarised one: nothing to read again
    EXPECT_EQ(Model(), L"iPhone 4S");
    Arrive(L"pad");
    Leave(L"phone"); // the summarised one leaves
    auto summary = m_dlg->SummaryCopy();
    ASSERT_TRUE(summary);
    EXPECT_EQ(summary->strIdentifier, L"pad");
    EXPECT_EQ(summary->strModelName, L"iPad 2");
    EXPECT_EQ(summary->nJailbroken, 0);
    EXPECT_EQ(m_dlg->m_nState, 1);
}

TEST_F(WorkflowTest, LastDeviceRemovedDisablesTheButtonAndForgetsTheDevice) {
    AddDevice(L"a", L"iPhone4,1");
    Arrive(L"a");
    Leave(L"unknown"); // removes nothing
    EXPECT_EQ(m_dlg->DeviceList(), std::vector<std::wstring>{L"a"});
    Leave(L"a");
    EXPECT_EQ(m_dlg->m_nState, 0);
    EXPECT_EQ(m_dlg->m_strStatus, L"请将设备连接至电脑");
    EXPECT_FALSE(ButtonEnabled());
    EXPECT_FALSE(m_dlg->SummaryCopy());
    m_dlg->OnBnClickedInstall();
    testutil::PumpMessages(50);
    EXPECT_TRUE(m_seams.boxes().empty());
    EXPECT_TRUE(::IsWindow(m_dlg->m_hWnd));
    EXPECT_EQ(m_dlg->workersStarted, 0);
}

TEST_F(WorkflowTest, NotJailbrokenAnswersCloseTheWindowAndDeleteThePackages) {
    const struct {
        int answer;
        std::vector<std::wstring> texts;
        size_t pagesOpened;
    } cases[] = {
        {IDNO, {kAsk, L"请先对设备进行越狱后，再运行本程序."}, 0},
        {IDYES, {kAsk, L"谢谢您的支持！请越狱完成后再运行本程序."}, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.answer);
        if (!m_dlg->m_hWnd) {
            m_dlg = std::make_unique<TestInstallDlg>();
            ASSERT_TRUE(m_dlg->CreateModeless());
        }
        m_seams.Clear();
        m_seams.SetAnswerFor(kAsk, c.answer);
        AddDevice(L"pad", L"iPad2,5", 0);
        Arrive(L"pad");
        int reads = fakecalls::Get().infoReads;
        Click();
        EXPECT_EQ(m_seams.texts(), c.texts);
        EXPECT_EQ(m_seams.boxes()[0].type & MB_TYPEMASK, static_cast<UINT>(MB_YESNO));
        ASSERT_EQ(m_seams.opened().size(), c.pagesOpened);
        if (c.pagesOpened) {
            EXPECT_NE(m_seams.opened()[0].find(L"/downloadassistant.ashx?device=pc&type=green&clientid=tandrel"),
                      std::wstring::npos);
        }
        EXPECT_TRUE(WindowClosed());
        EXPECT_FALSE(IsLocalFile(kHandsetFile));
        EXPECT_FALSE(IsLocalFile(kTabletFile));
        EXPECT_EQ(m_dlg->workersStarted, 0);
        EXPECT_EQ(fakecalls::Get().infoReads, reads) << "nothing more asked of the device";
        Leave(L"pad");
    }
}

TEST_F(WorkflowTest, NoInternetShowsItPausesAndCloses) {
    AddDevice(L"a", L"iPhone4,1");
    Arrive(L"a");
    fakecalls::Get().internet = false;
    Click();
    EXPECT_EQ(m_dlg->m_nState, 0);
    EXPECT_EQ(m_dlg->m_strStatus, L"联接互联网失败，请检查网络连接");
    EXPECT_TRUE(WindowClosed());
    EXPECT_EQ(m_dlg->workersStarted, 0);
}

TEST_F(WorkflowTest, JailbrokenAndOnlineStartsTheInstallWork) {
    AddDevice(L"a", L"iPhone4,1");
    Arrive(L"a");
    Click();
    EXPECT_EQ(m_dlg->workersStarted, 1);
    EXPECT_TRUE(m_seams.boxes().empty());
}

TEST_F(WorkflowTest, CloseClearsTheDownloadFlagAndDeletesBothPackages) {
    m_dlg->m_bDownloading = true;
    HWND hWnd = m_dlg->m_hWnd;
    ::SendMessageW(hWnd, WM_CLOSE, 0, 0);
    EXPECT_FALSE(m_dlg->m_bDownloading);
    EXPECT_FALSE(IsLocalFile(kHandsetFile));
    EXPECT_FALSE(IsLocalFile(kTabletFile));
    EXPECT_TRUE(WindowClosed()) << "the framework's cancel ends the dialog";
}

TEST_F(WorkflowTest, DestructionDeletesThePackagesEvenWithoutClose) {
    ASSERT_TRUE(IsLocalFile(kHandsetFile));
    m_dlg.reset();
    EXPECT_FALSE(IsLocalFile(kHandsetFile));
    EXPECT_FALSE(IsLocalFile(kTabletFile));
    EXPECT_EQ(g_pInstallDlg, nullptr);
}

// Device events from the notification thread.
DWORD WINAPI ArriveAndLeave(void*) {
    CInstallOrvexDlg::OnDeviceArrived(L"a");
    CInstallOrvexDlg::OnDeviceArrived(L"b");
    CInstallOrvexDlg::OnDeviceRemoved(L"a");
    return 0;
}

TEST_F(WorkflowTest, EventsFromAnotherThreadShowOnTheWindowsThreadInOrder) {
    AddDevice(L"a", L"iPhone4,1");
    AddDevice(L"b", L"iPad1,1");
    HANDLE thread = ::CreateThread(nullptr, 0, ArriveAndLeave, nullptr, 0, nullptr);
    ASSERT_TRUE(thread);
    ::WaitForSingleObject(thread, 5000);
    ::CloseHandle(thread);
    EXPECT_EQ(m_dlg->m_nState, 0) << "nothing shown before the window's thread runs";
    EXPECT_FALSE(ButtonEnabled());
    testutil::PumpMessages(100);
    EXPECT_EQ(m_dlg->m_nState, 1);
    EXPECT_EQ(Model(), L"iPad 1");
    EXPECT_TRUE(ButtonEnabled());
}

// A device read that takes its time while the dialog goes away.
HANDLE g_readStarted = nullptr;
void SlowRead(const wchar_t*) {
    ::SetEvent(g_readStarted);
    ::Sleep(300);
    fakecalls::Event("read done");
}
DWORD WINAPI ArriveSlowly(void*) {
    CInstallOrvexDlg::OnDeviceArrived(L"a");
    fakecalls::Event("callback returned");
    CInstallOrvexDlg::OnDeviceArrived(L"b"); // after the dialog is gone
    return 0;
}

TEST_F(WorkflowTest, NoDeviceEventReachesADestroyedDialog) {
    AddDevice(L"a", L"iPhone4,1");
    g_readStarted = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    fakecalls::Get().onInfoRead = SlowRead;
    HANDLE thread = ::CreateThread(nullptr, 0, ArriveSlowly, nullptr, 0, nullptr);
    ASSERT_TRUE(thread);
    ASSERT_EQ(::WaitForSingleObject(g_readStarted, 5000), WAIT_OBJECT_0);
    m_dlg.reset(); // waits for the callback that is working on the dialog
    fakecalls::Event("dialog destroyed");
    ::WaitForSingleObject(thread, 5000);
    ::CloseHandle(thread);
    ::CloseHandle(g_readStarted);
    testutil::PumpMessages(50);
    const auto& events = fakecalls::Get().events;
    auto at = [&](const char* what) { return std::find(events.begin(), events.end(), what) - events.begin(); };
    EXPECT_LT(at("read done"), at("dialog destroyed")) << "the dialog outlived the callback working on it";
    EXPECT_LT(at("callback returned"), static_cast<long>(events.size()));
    EXPECT_EQ(fakecalls::Get().infoReads, 1) << "the later event found no dialog";
}

// Progress from the install work, faster than the window repaints.
std::vector<std::pair<int, std::wstring>> g_pushed;
BOOL WINAPI RecordPush(HWND, HDC, POINT*, SIZE*, HDC, POINT*, COLORREF, BLENDFUNCTION*, DWORD) {
    g_pushed.emplace_back(g_pInstallDlg->m_nState, g_pInstallDlg->m_strStatus);
    return TRUE;
}
DWORD WINAPI ReportProgress(void* p) {
    auto* dlg = static_cast<CInstallOrvexDlg*>(p);
    for (int i = 1; i <= 500; ++i)
        dlg->ShowProgress(std::to_wstring(i) + L" K", i / 1000.0);
    dlg->ShowState(3);
    for (int i = 501; i <= 1000; ++i)
        dlg->ShowProgress(std::to_wstring(i) + L" K", i / 1000.0);
    return 0;
}

TEST_F(WorkflowTest, ProgressFasterThanRepaintsIsMergedInOrder) {
    g_pushed.clear();
    m_dlg->m_pfnUpdateLayeredWindow = RecordPush;
    HANDLE thread = ::CreateThread(nullptr, 0, ReportProgress, m_dlg.get(), 0, nullptr);
    ASSERT_TRUE(thread);
    ::WaitForSingleObject(thread, 10000);
    ::CloseHandle(thread);
    testutil::PumpMessages(100);
    const std::vector<std::pair<int, std::wstring>> expected = {{5, L"500 K"}, {3, L"正在安装..."}, {5, L"1000 K"}};
    EXPECT_EQ(g_pushed, expected) << "one repaint for each run of progress, states in their order";
    EXPECT_EQ(m_dlg->m_dProgress, 1.0);
}

} // namespace
