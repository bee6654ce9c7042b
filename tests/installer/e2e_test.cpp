// InstallOrvex.exe driven like a user on the virtual display: the window
// found by its title, controls clicked with the mouse, message boxes read
// and answered by their text, devices plugged in and out of the simulated
// device farm.
#include "platform/file.h"
#include "tests/installer/automation.h"
#include "tests/support/farm.h"
#include "tests/support/test_util.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace automation;

constexpr wchar_t kHandsetFile[] = L"C:\\Quillon.deb";
constexpr wchar_t kTabletFile[] = L"C:\\QuillonHD.deb";
constexpr int kIdInstall = 1003, kIdMinimize = 1005, kIdClose = 1006;

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
