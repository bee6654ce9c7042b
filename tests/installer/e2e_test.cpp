// InstallOrvex.exe driven like a user on the virtual display: the window
// found by its title, controls clicked with the mouse, message boxes read
// and answered by their text, devices plugged in and out of the simulated
// device farm.
#include "platform/file.h"
#include "tests/installer/automation.h"
#include "tests/installer/package_server.h"
#include "tests/support/farm.h"
#include "tests/support/test_util.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace automation;

constexpr wchar_t kHandsetFile[] = L"C:\\Quillon.deb";
constexpr wchar_t kTabletFile[] = L"C:\\QuillonHD.deb";
constexpr int kIdInstall = 1003, kIdMinimize = 1005, kIdClose = 1006;
constexpr wchar_t kAutoInstalled[] = L"/var/root/Media/Cydia/AutoInstall/Quillon.deb";

std::string FileBytes(const std::wstring& path) {
    std::string bytes;
    if (!testutil::ReadFileBytes(path, &bytes))
        return "<absent>";
    return bytes;
}

// The handset package as the build packed it into the program.
std::string EmbeddedHandsetPackage() {
    std::wstring path = L"Z:";
    for (const char* c = ORVEX_EMBEDDED_HANDSET_DEB; *c; ++c)
        path += *c == '/' ? L'\\' : static_cast<wchar_t>(*c);
    return FileBytes(path);
}

// The shell's "open" of web addresses runs url-recorder.exe instead of a
// browser while this exists (the prefix's own setting comes back after).
class BrowserStandIn {
  public:
    BrowserStandIn() {
        std::wstring command =
            L"\"" + testutil::ProgramFolder() + L"\\url-recorder.exe\" \"" + m_folder.path() + L"\\opened.txt\" \"%1\"";
        if (::RegCreateKeyExW(HKEY_CLASSES_ROOT, kCommandKey, 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr, &m_key,
                              nullptr) != ERROR_SUCCESS)
            return;
        wchar_t previous[1024] = {};
        DWORD size = sizeof previous - sizeof(wchar_t);
        m_hadPrevious = ::RegQueryValueExW(m_key, nullptr, nullptr, nullptr, reinterpret_cast<BYTE*>(previous),
                                           &size) == ERROR_SUCCESS;
        m_previous = previous;
        ::RegSetValueExW(m_key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(command.c_str()),
                         static_cast<DWORD>((command.size() + 1) * sizeof(wchar_t)));
    }
    ~BrowserStandIn() {
        if (!m_key)
            return;
        if (m_hadPrevious)
            ::RegSetValueExW(m_key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(m_previous.c_str()),
                             static_cast<DWORD>((m_previous.size() + 1) * sizeof(wchar_t)));
        else
            ::RegDeleteValueW(m_key, nullptr);
        ::RegCloseKey(m_key);
    }
    std::string Opened() const {
        std::string text;
        testutil::ReadFileBytes(m_folder / L"opened.txt", &text);
        return text;
    }

  private:
    static constexpr wchar_t kCommandKey[] = L"http\\shell\\open\\command";
    testutil::TempDir m_folder;
    HKEY m_key = nullptr;
    bool m_hadPrevious = false;
    std::wstring m_previous;
};

// Every file under `folder` with its size, to see whether anything changed.
void ListTree(const std::wstring& folder, std::vector<std::wstring>* entries) {
    for (const auto& name : testutil::ListFolder(folder)) {
        std::wstring path = folder + L"\\" + name;
        if (IsLocalDirectory(path)) {
            entries->push_back(path + L"\\");
            ListTree(path, entries);
        } else {
            std::string bytes;
            testutil::ReadFileBytes(path, &bytes);
            entries->push_back(path + L" " + std::to_wstring(bytes.size()));
        }
    }
}

class EndToEnd : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(m_farm.ok()) << std::string(m_farm.error().begin(), m_farm.error().end());
        ::DeleteFileW(kHandsetFile);
        ::DeleteFileW(kTabletFile);
        ASSERT_TRUE(m_app.Start());
        m_window = m_app.WaitForWindow(15000);
        ASSERT_TRUE(m_window) << "no window titled Orvex助手安装器; exit status "
                              << (m_app.Running() ? -1 : static_cast<long>(m_app.WaitForExit(0).value_or(999)));
    }
    void TearDown() override {
        ::SetCursorPos(0, 0); // out of the way of the next window
        if (m_app.Running() && m_window)
            ::PostMessageW(m_window, WM_CLOSE, 0, 0);
        m_app.WaitForExit(5000);
    }
    // The colour the screen shows on the bar, right of its text.
    COLORREF BarColour() const {
        RECT rect;
        ::GetWindowRect(m_window, &rect);
        HDC screen = ::GetDC(nullptr);
        COLORREF colour = ::GetPixel(screen, rect.left + 38 + 290, rect.top + 90 + 20);
        ::ReleaseDC(nullptr, screen);
        return colour;
    }
    bool InstallEnabled() const { return ::IsWindowEnabled(::GetDlgItem(m_window, kIdInstall)) != FALSE; }
    // The colour the screen shows on the progress bar at `fraction` of the
    // fill's length, below the text, where the fill's end is still square.
    COLORREF FillColour(double fraction) const {
        RECT rect;
        ::GetWindowRect(m_window, &rect);
        HDC screen = ::GetDC(nullptr);
        COLORREF colour = ::GetPixel(screen, rect.left + 38 + static_cast<int>(313 * fraction), rect.top + 90 + 24);
        ::ReleaseDC(nullptr, screen);
        return colour;
    }
    // The colour the screen shows where state 4 draws its arrow.
    COLORREF ArrowColour() const {
        RECT rect;
        ::GetWindowRect(m_window, &rect);
        HDC screen = ::GetDC(nullptr);
        COLORREF colour = ::GetPixel(screen, rect.left + 266, rect.top + 42);
        ::ReleaseDC(nullptr, screen);
        return colour;
    }

    testfarm::SimulatedFarm m_farm; // the installer's stand-in finds it through the environment
    Installer m_app;
    HWND m_window = nullptr;
};

TEST_F(EndToEnd, StartsWithBothPackagesAndNoDevice) {
    EXPECT_TRUE(IsLocalFile(kHandsetFile));
    EXPECT_TRUE(IsLocalFile(kTabletFile));
    EXPECT_FALSE(InstallEnabled());
    EXPECT_TRUE(::GetWindowLongW(m_window, GWL_EXSTYLE) & WS_EX_LAYERED);
    RECT rect;
    ::GetWindowRect(m_window, &rect);
    EXPECT_EQ(rect.right - rect.left, 390);
    EXPECT_EQ(rect.bottom - rect.top, 220);
}

TEST_F(EndToEnd, SecondStartBringsTheFirstForwardAndEndsWithOne) {
    Click(::GetDlgItem(m_window, kIdMinimize));
    ASSERT_TRUE(WaitUntil([&] { return ::IsIconic(m_window) != FALSE; }, 3000)) << "minimise button";
    ::DeleteFileW(kTabletFile); // a second instance must not write it again
    Installer second;
    ASSERT_TRUE(second.Start());
    auto status = second.WaitForExit(15000);
    ASSERT_TRUE(status);
    EXPECT_EQ(*status, 1u);
    EXPECT_FALSE(IsLocalFile(kTabletFile));
    EXPECT_TRUE(WaitUntil([&] { return !::IsIconic(m_window); }, 2000)) << "restored";
    EXPECT_EQ(::GetForegroundWindow(), m_window);
}

// The bar's colours on screen: amber for a message, green for an offer.
bool IsAmber(COLORREF c) { return GetRValue(c) > GetGValue(c) && GetGValue(c) > GetBValue(c) + 40; }
bool IsGreen(COLORREF c) { return GetGValue(c) > GetRValue(c) + 40 && GetGValue(c) > GetBValue(c) + 40; }
// The arrow that points at the device's power button after an install.
bool IsDark(COLORREF c) { return GetRValue(c) < 140 && GetGValue(c) < 140 && GetBValue(c) < 140; }

TEST_F(EndToEnd, DeviceArrivalAndRemovalShowWithinASecond) {
    ASSERT_TRUE(WaitUntil([&] { return IsAmber(BarColour()); }, 2000)) << "waiting for a device";
    std::wstring id = m_farm.Create(testfarm::kIPhone4S);
    ASSERT_FALSE(id.empty());
    EXPECT_TRUE(WaitUntil([&] { return IsGreen(BarColour()) && InstallEnabled(); }, 1000)) << "plugged in";
    ASSERT_TRUE(m_farm.Detach(id));
    EXPECT_TRUE(WaitUntil([&] { return IsAmber(BarColour()) && !InstallEnabled(); }, 1000)) << "unplugged";
}

TEST_F(EndToEnd, NotJailbrokenDeviceAnsweredNoClosesTheWindow) {
    std::wstring id = m_farm.Create(testfarm::kIPad2);
    ASSERT_TRUE(WaitUntil([&] { return InstallEnabled(); }, 3000));
    std::vector<std::wstring> before, after;
    ListTree(m_farm.HostPath(id, L"/"), &before);
    ASSERT_FALSE(before.empty());
    Click(::GetDlgItem(m_window, kIdInstall));
    auto ask = WaitForMessageBox(m_app.pid(), 5000);
    ASSERT_TRUE(ask);
    EXPECT_EQ(ask->text, L"设备未越狱,推荐使用Orvex越狱助手进行越狱，要下载吗");
    ASSERT_TRUE(Answer(*ask, IDNO));
    auto advice = WaitForMessageBox(m_app.pid(), 5000);
    ASSERT_TRUE(advice);
    EXPECT_EQ(advice->text, L"请先对设备进行越狱后，再运行本程序.");
    ASSERT_TRUE(Answer(*advice, IDOK));
    auto status = m_app.WaitForExit(5000);
    ASSERT_TRUE(status) << "the window closes and the program ends";
    EXPECT_FALSE(IsLocalFile(kHandsetFile));
    EXPECT_FALSE(IsLocalFile(kTabletFile));
    ListTree(m_farm.HostPath(id, L"/"), &after);
    EXPECT_EQ(after, before) << "nothing sent to the device";
}

TEST_F(EndToEnd, NotJailbrokenDeviceAnsweredYesOpensTheJailbreakToolsPage) {
    BrowserStandIn browser;
    std::wstring id = m_farm.Create(testfarm::kIPad2);
    ASSERT_TRUE(WaitUntil([&] { return InstallEnabled(); }, 3000));
    std::vector<std::wstring> before, after;
    ListTree(m_farm.HostPath(id, L"/"), &before);
    Click(::GetDlgItem(m_window, kIdInstall));
    auto ask = WaitForMessageBox(m_app.pid(), 5000);
    ASSERT_TRUE(ask);
    EXPECT_EQ(ask->text, L"设备未越狱,推荐使用Orvex越狱助手进行越狱，要下载吗");
    ASSERT_TRUE(Answer(*ask, IDYES));
    auto thanks = WaitForMessageBox(m_app.pid(), 5000);
    ASSERT_TRUE(thanks);
    EXPECT_EQ(thanks->text, L"谢谢您的支持！请越狱完成后再运行本程序.");
    ASSERT_TRUE(Answer(*thanks, IDOK));
    ASSERT_TRUE(m_app.WaitForExit(5000)) << "the window closes and the program ends";
    EXPECT_TRUE(WaitUntil([&] { return !browser.Opened().empty(); }, 10000)) << "the page was opened";
    EXPECT_EQ(browser.Opened(),
              "http://download.orvex.example.com/downloadassistant.ashx?device=pc&type=green&clientid=tandrel\n");
    EXPECT_FALSE(IsLocalFile(kHandsetFile));
    EXPECT_FALSE(IsLocalFile(kTabletFile));
    ListTree(m_farm.HostPath(id, L"/"), &after);
    EXPECT_EQ(after, before) << "nothing sent to the device";
}

TEST_F(EndToEnd, WholeRoadOnAJailbrokenIPhoneEndsInstalled) {
    const std::string embedded = EmbeddedHandsetPackage();
    ASSERT_NE(embedded, "<absent>");
    std::wstring id = m_farm.Create(testfarm::kIPhone4S);
    ASSERT_FALSE(id.empty());
    ASSERT_TRUE(WaitUntil([&] { return IsGreen(BarColour()) && InstallEnabled(); }, 3000)) << "点击安装";
    EXPECT_FALSE(IsDark(ArrowColour()));
    Click(::GetDlgItem(m_window, kIdInstall));
    ASSERT_TRUE(WaitUntil([&] { return IsDark(ArrowColour()); }, 20000)) << "安装成功，请重启设备, with its arrow";
    EXPECT_TRUE(IsGreen(BarColour()));
    EXPECT_FALSE(InstallEnabled());
    EXPECT_TRUE(FileBytes(m_farm.HostPath(id, kAutoInstalled)) == embedded)
        << "the device's copy equals the embedded package byte for byte";
    EXPECT_FALSE(WaitForMessageBox(m_app.pid(), 300));
    EXPECT_TRUE(m_app.Running());
}

TEST_F(EndToEnd, WholeRoadWithTheDownloadFirst) {
    testserver::PackageServer server(10, 90);
    ASSERT_TRUE(server.ok()) << std::string(server.error().begin(), server.error().end());
    testserver::ProxySetting proxy(server.port());
    const std::string embedded = EmbeddedHandsetPackage();
    ASSERT_NE(embedded, "<absent>");
    ASSERT_TRUE(server.Serve({{.body = embedded}}));
    ASSERT_TRUE(::DeleteFileW(kHandsetFile));
    std::wstring id = m_farm.Create(testfarm::kIPhone4S);
    ASSERT_TRUE(WaitUntil([&] { return IsGreen(BarColour()) && InstallEnabled(); }, 3000)) << "点击下载";
    Click(::GetDlgItem(m_window, kIdInstall));
    ASSERT_TRUE(WaitUntil([&] { return IsDark(ArrowColour()); }, 20000)) << "安装成功，请重启设备";
    ASSERT_EQ(server.Requests().size(), 1u);
    EXPECT_NE(server.Requests()[0].find("/DownloadAssistant.ashx?type=deb&clientid=com.zephant.QuillonDeb "),
              std::string::npos);
    EXPECT_TRUE(FileBytes(kHandsetFile) == embedded) << "downloaded";
    EXPECT_TRUE(FileBytes(m_farm.HostPath(id, kAutoInstalled)) == embedded) << "and installed";
    EXPECT_FALSE(WaitForMessageBox(m_app.pid(), 300));
}

// The window closed while the package downloads: the program ends at once
// and cleanly, nothing reaches the device, no file is left.
void CloseDuringTheDownload(testfarm::SimulatedFarm& farm, automation::Installer& app, HWND window, bool escape) {
    testserver::PackageServer server(10, 90);
    ASSERT_TRUE(server.ok());
    testserver::ProxySetting proxy(server.port());
    ASSERT_TRUE(server.Serve({{.body = testserver::PatternBytes(2 * 1024 * 1024), .chunk = 4096, .delayMs = 10}}));
    ASSERT_TRUE(::DeleteFileW(kHandsetFile));
    std::wstring id = farm.Create(testfarm::kIPhone4S);
    ASSERT_TRUE(WaitUntil([&] { return ::IsWindowEnabled(::GetDlgItem(window, kIdInstall)) != FALSE; }, 3000));
    Click(::GetDlgItem(window, kIdInstall));
    ASSERT_TRUE(WaitUntil([&] { return !server.Requests().empty(); }, 5000));
    ::Sleep(500); // well into the download
    if (escape)
        PressEscape(window);
    else
        Click(::GetDlgItem(window, kIdClose));
    auto status = app.WaitForExit(5000);
    ASSERT_TRUE(status) << "the program ended";
    EXPECT_EQ(*status, 0u);
    EXPECT_FALSE(IsLocalFile(kHandsetFile)) << "the partial download is gone";
    EXPECT_FALSE(IsLocalFile(kTabletFile));
    EXPECT_EQ(FileBytes(farm.HostPath(id, kAutoInstalled)), "<absent>") << "nothing uploaded";
}

TEST_F(EndToEnd, CloseButtonDuringTheDownloadEndsTheProgramCleanly) {
    CloseDuringTheDownload(m_farm, m_app, m_window, false);
}

TEST_F(EndToEnd, EscDuringTheDownloadEndsTheProgramCleanly) { CloseDuringTheDownload(m_farm, m_app, m_window, true); }

// The window closed while the server is silent, before its answer or in the
// middle of the body: the program ends within seconds all the same.
void CloseWhileTheServerIsSilent(testfarm::SimulatedFarm& farm, automation::Installer& app, HWND window,
                                 const testserver::Answer& answer) {
    testserver::PackageServer server(5, 90);
    ASSERT_TRUE(server.ok());
    testserver::ProxySetting proxy(server.port());
    ASSERT_TRUE(server.Serve({answer}));
    ASSERT_TRUE(::DeleteFileW(kHandsetFile));
    std::wstring id = farm.Create(testfarm::kIPhone4S);
    ASSERT_TRUE(WaitUntil([&] { return ::IsWindowEnabled(::GetDlgItem(window, kIdInstall)) != FALSE; }, 3000));
    Click(::GetDlgItem(window, kIdInstall));
    ASSERT_TRUE(WaitUntil([&] { return !server.Requests().empty(); }, 5000));
    ::Sleep(1000); // the server has fallen silent
    ASSERT_TRUE(app.Running());
    const DWORD start = ::GetTickCount();
    Click(::GetDlgItem(window, kIdClose));
    auto status = app.WaitForExit(5000);
    ASSERT_TRUE(status) << "the program ended within 5 s of the close";
    std::printf("[ measure  ] the program ended %lu ms after the close\n", ::GetTickCount() - start);
    EXPECT_EQ(*status, 0u);
    EXPECT_FALSE(IsLocalFile(kHandsetFile)) << "the partial download is gone";
    EXPECT_FALSE(IsLocalFile(kTabletFile));
    EXPECT_EQ(FileBytes(farm.HostPath(id, kAutoInstalled)), "<absent>") << "nothing uploaded";
}

TEST_F(EndToEnd, CloseWhileTheServerHasNotAnsweredEndsTheProgramWithinSeconds) {
    CloseWhileTheServerIsSilent(m_farm, m_app, m_window, {.stall = "headers"});
}

TEST_F(EndToEnd, CloseWhileTheBodyHasStalledEndsTheProgramWithinSeconds) {
    CloseWhileTheServerIsSilent(m_farm, m_app, m_window,
                                {.body = testserver::PatternBytes(200000, 7), .stall = "body", .stallAfter = 60000});
}

// Asks the window for an answer (WM_NULL) every 100 ms from a thread of its
// own while it lives, and keeps the longest wait; a window that does not
// answer within 2 s counts as frozen.
class Watchdog {
  public:
    explicit Watchdog(HWND window)
        : m_thread([this, window] {
              while (!m_stop) {
                  const DWORD start = ::GetTickCount();
                  DWORD_PTR result = 0;
                  if (!::SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_NORMAL, 2000, &result) && ::IsWindow(window))
                      ++m_frozen;
                  m_longest = std::max<DWORD>(m_longest, ::GetTickCount() - start);
                  ++m_asked;
                  ::Sleep(100);
              }
          }) {}
    ~Watchdog() { Stop(); }
    void Stop() {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
    }
    int frozen() const { return m_frozen; }
    int asked() const { return m_asked; }
    DWORD longest() const { return m_longest; }

  private:
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_frozen{0}, m_asked{0};
    std::atomic<DWORD> m_longest{0};
    std::thread m_thread;
};

// Twenty clicks on a slow device link, with a download server that cuts,
// refuses and trickles, then serves the package: bursts of clicks while a
// download runs, one more after each failure, and the window answers
// within 2 s throughout.
TEST_F(EndToEnd, TwentyClicksAcrossFailuresAndRetriesNeverFreezeTheWindow) {
    testserver::PackageServer server(20, 200);
    ASSERT_TRUE(server.ok());
    testserver::ProxySetting proxy(server.port());
    const std::string embedded = EmbeddedHandsetPackage();
    ASSERT_NE(embedded, "<absent>");
    const std::string half = embedded.substr(0, embedded.size() / 2);
    const std::string total = std::to_string(embedded.size());
    ASSERT_TRUE(server.Serve({
        {.body = half, .length = total},                                    // cut at half
        {.status = 503},                                                    // refused
        {.body = embedded.substr(0, embedded.size() - 1), .length = total}, // one byte short
        {.body = half, .length = total, .chunk = 2048, .delayMs = 40},      // trickles, then cut
        {.body = embedded, .chunk = 8192, .delayMs = 20},                   // the whole package
    }));
    ASSERT_TRUE(::DeleteFileW(kHandsetFile));
    std::wstring id = m_farm.Create(testfarm::kIPhone4S);
    ASSERT_FALSE(id.empty());
    ASSERT_TRUE(m_farm.SetFault(id, L"latency", 300));
    ASSERT_TRUE(WaitUntil([&] { return InstallEnabled(); }, 10000)) << "点击下载";

    Watchdog watchdog(m_window);
    int clicks = 0;
    DWORD slowestDisable = 0;
    constexpr int kAttempts = 5; // four failures, then the whole package
    for (int attempt = 1; attempt <= kAttempts; ++attempt) {
        SCOPED_TRACE(attempt);
        // One more click as soon as the offer is back after a failure.
        ASSERT_TRUE(WaitUntil([&] { return InstallEnabled(); }, 10000)) << "offered again";
        const DWORD clicked = ::GetTickCount();
        Click(::GetDlgItem(m_window, kIdInstall));
        ++clicks;
        ASSERT_TRUE(WaitUntil([&] { return !InstallEnabled(); }, 2000)) << "the click was taken at once";
        slowestDisable = std::max<DWORD>(slowestDisable, ::GetTickCount() - clicked);
        // A burst of clicks while the install runs: the button is disabled.
        for (int more = 0; more < 3; ++more, ++clicks) {
            ::Sleep(60);
            Click(::GetDlgItem(m_window, kIdInstall));
        }
        if (attempt == kAttempts)
            break;
        auto box = WaitForMessageBox(m_app.pid(), 20000);
        ASSERT_TRUE(box) << "the failure is told";
        EXPECT_EQ(box->text.rfind(L"下载失败：", 0), 0u) << std::string(box->text.begin(), box->text.end());
        ASSERT_TRUE(Answer(*box, IDOK));
        EXPECT_FALSE(IsLocalFile(kHandsetFile)) << "no partial file";
        EXPECT_EQ(FileBytes(m_farm.HostPath(id, kAutoInstalled)), "<absent>") << "nothing on the device";
        EXPECT_EQ(server.Requests().size(), static_cast<size_t>(attempt)) << "one download per taken click";
    }
    ASSERT_TRUE(WaitUntil([&] { return IsDark(ArrowColour()); }, 60000)) << "安装成功，请重启设备";
    watchdog.Stop();
    std::printf("[ measure  ] %d clicks; the window answered %d times, the longest in %lu ms; a click disabled "
                "the button within %lu ms\n",
                clicks, watchdog.asked(), watchdog.longest(), slowestDisable);
    EXPECT_GE(clicks, 20);
    EXPECT_EQ(watchdog.frozen(), 0) << "the window never froze";
    EXPECT_GT(watchdog.asked(), 20);
    EXPECT_TRUE(FileBytes(m_farm.HostPath(id, kAutoInstalled)) == embedded) << "the whole package, once";
    EXPECT_TRUE(m_app.Running());
}

// A burst of 1,536,000 of 3,848,290 bytes, then 6 s of silence (a stalled
// mobile link): during the pause the bar's fill on screen stands at what has
// arrived, 0.40 of the bar, and the window answers throughout.
TEST_F(EndToEnd, BarShowsWhatHasArrivedWhileTheServerPauses) {
    testserver::PackageServer server(10, 90);
    ASSERT_TRUE(server.ok());
    testserver::ProxySetting proxy(server.port());
    const std::string body = testserver::PatternBytes(3848290, 8);
    ASSERT_TRUE(server.Serve({{.body = body, .pauseAfter = 1536000, .pauseMs = 6000}}));
    ASSERT_TRUE(::DeleteFileW(kHandsetFile));
    std::wstring id = m_farm.Create(testfarm::kIPhone4S);
    ASSERT_TRUE(WaitUntil([&] { return InstallEnabled(); }, 3000)) << "点击下载";
    Watchdog watchdog(m_window);
    Click(::GetDlgItem(m_window, kIdInstall));
    ASSERT_TRUE(WaitUntil([&] { return !server.Requests().empty(); }, 5000));
    const double arrived = 1536000.0 / 3848290.0;
    // The fill ends at 0.40 of the bar: green 4 pixels left of its end,
    // the grey track 4 pixels right.
    auto filledTo = [&] { return IsGreen(FillColour(arrived - 0.015)) && !IsGreen(FillColour(arrived + 0.015)); };
    // The burst itself may take a few seconds on a busy machine; the pause
    // is long enough that the samples below still fall inside it.
    ASSERT_TRUE(WaitUntil(filledTo, 4000)) << "the burst is on the bar";
    for (int sample = 0; sample < 15; ++sample) {
        EXPECT_TRUE(filledTo()) << "fill at " << sample * 100 << " ms into the pause";
        ::Sleep(100);
    }
    ASSERT_TRUE(WaitUntil([&] { return IsDark(ArrowColour()); }, 30000)) << "安装成功，请重启设备";
    watchdog.Stop();
    std::printf("[ measure  ] the window answered %d times, the longest in %lu ms\n", watchdog.asked(),
                watchdog.longest());
    EXPECT_EQ(watchdog.frozen(), 0) << "the window never froze";
    EXPECT_LT(watchdog.longest(), 500u);
    EXPECT_EQ(FileBytes(kHandsetFile).size(), body.size());
    EXPECT_TRUE(FileBytes(kHandsetFile) == body) << "downloaded";
    EXPECT_TRUE(FileBytes(m_farm.HostPath(id, kAutoInstalled)) == body) << "and installed";
}

TEST_F(EndToEnd, EnterShowsTheLetterAAndTheWindowStays) {
    PressEnter(m_window);
    auto box = WaitForMessageBox(m_app.pid(), 5000);
    ASSERT_TRUE(box);
    EXPECT_EQ(box->text, L"a");
    ASSERT_TRUE(Answer(*box, IDOK));
    EXPECT_TRUE(m_app.Running());
    EXPECT_TRUE(::IsWindow(m_window));
}

TEST_F(EndToEnd, CloseButtonEndsTheProgramAndDeletesBothPackages) {
    ASSERT_TRUE(IsLocalFile(kHandsetFile));
    Click(::GetDlgItem(m_window, kIdClose));
    auto status = m_app.WaitForExit(5000);
    ASSERT_TRUE(status);
    EXPECT_EQ(*status, 0u);
    EXPECT_FALSE(IsLocalFile(kHandsetFile));
    EXPECT_FALSE(IsLocalFile(kTabletFile));
}

} // namespace
