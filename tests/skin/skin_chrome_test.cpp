// The window chrome: hover notices of the skinned buttons, dragging and the
// link by hit-testing, the Enter key, minimise and close.
#include "installer/web_addresses.h"
#include "tests/skin/skin_test_support.h"

#include <utility>
#include <vector>

namespace skintest {
namespace {

// Records every hover and leave notice with its role before handling it.
class NoticeDialog : public TestSkinDialog {
  public:
    std::vector<std::pair<UINT, int>> notices;

  protected:
    bool OnMessage(UINT msg, WPARAM wParam, LPARAM lParam, LRESULT* result) override {
        if (msg == WM_BUTTON_HOVER || msg == WM_BUTTON_LEAVE)
            notices.emplace_back(msg, wParam ? *reinterpret_cast<const int*>(wParam) : -1);
        return TestSkinDialog::OnMessage(msg, wParam, lParam, result);
    }
};

DWORD WINAPI RenderFromWorker(void* p) {
    auto* d = static_cast<TestSkinDialog*>(p);
    for (int i = 1; i <= 10; ++i)
        d->RenderSkin(L"worker", i / 10.0);
    return 0;
}

LPARAM ClientToScreenParam(HWND hWnd, int x, int y) {
    POINT pt = {x, y};
    ::ClientToScreen(hWnd, &pt);
    return MAKELPARAM(pt.x, pt.y);
}

TEST_F(SkinTest, OneHoverAndOneLeaveNoticePerVisit) {
    const struct {
        int id;
        int role;
        bool NoticeDialog::*flag;
    } buttons[] = {
        {CSkinDialog::kIdMinimize, kRoleMinimize, &CSkinDialog::m_bHoverMin},
        {CSkinDialog::kIdClose, kRoleClose, &CSkinDialog::m_bHoverClose},
        {CSkinDialog::kIdInstall, kRoleInstall, &CSkinDialog::m_bHoverBar},
    };
    for (const auto& b : buttons) {
        SCOPED_TRACE(b.role);
        TestSkinDialog::s_pushes = 0;
        NoticeDialog dlg;
        ASSERT_TRUE(dlg.CreateModeless());
        dlg.m_strStatus = L"msg";
        HWND button = dlg.GetDlgItem(b.id);
        for (int i = 0; i < 5; ++i)
            ::SendMessageW(button, WM_MOUSEMOVE, 0, MAKELPARAM(3 + i, 3));
        EXPECT_TRUE(dlg.*(b.flag));
        ::SendMessageW(button, WM_MOUSELEAVE, 0, 0);
        ::SendMessageW(button, WM_MOUSELEAVE, 0, 0);
        EXPECT_FALSE(dlg.*(b.flag));
        // A second visit gives a second pair.
        ::SendMessageW(button, WM_MOUSEMOVE, 0, MAKELPARAM(4, 4));
        ::SendMessageW(button, WM_MOUSELEAVE, 0, 0);
        const std::vector<std::pair<UINT, int>> expected = {
            {WM_BUTTON_HOVER, b.role}, {WM_BUTTON_LEAVE, b.role}, {WM_BUTTON_HOVER, b.role}, {WM_BUTTON_LEAVE, b.role}};
        EXPECT_EQ(dlg.notices, expected);
        EXPECT_EQ(TestSkinDialog::s_pushes, 4) << "each notice repaints";
    }
}

TEST_F(SkinTest, NoticeWithAnUnknownRoleOnlyRepaints) {
    TestSkinDialog dlg;
    ASSERT_TRUE(dlg.CreateModeless());
    dlg.m_strStatus = L"msg";
    int role = 7;
    ::SendMessageW(dlg.m_hWnd, WM_BUTTON_HOVER, reinterpret_cast<WPARAM>(&role), 0);
    EXPECT_FALSE(dlg.m_bHoverMin || dlg.m_bHoverClose || dlg.m_bHoverBar);
    EXPECT_EQ(TestSkinDialog::s_pushes, 1);
}

TEST_F(SkinTest, HoverInProgressStateRedrawsTheSameProgress) {
    TestSkinDialog dlg;
    ASSERT_TRUE(dlg.CreateModeless());
    dlg.m_nState = 5;
    dlg.RenderSkin(L"5.00 K/10.00 K", 0.5);
    int role = kRoleMinimize;
    ::SendMessageW(dlg.m_hWnd, WM_BUTTON_HOVER, reinterpret_cast<WPARAM>(&role), 0);
    EXPECT_EQ(TestSkinDialog::s_pushes, 2);
    EXPECT_EQ(dlg.m_strStatus, L"5.00 K/10.00 K");
    EXPECT_EQ(dlg.m_dProgress, 0.5);
    skin::SkinFrame f;
    Compose(dlg, &f, dlg.m_strStatus.c_str(), dlg.m_dProgress);
    EXPECT_EQ(Split(f.Pixel(306 + 5, 5)), kMinimizeHover);
    EXPECT_TRUE(Near(Split(f.Pixel(38 + 100, 92)), FillColumn(156 + 100)));
}

TEST_F(SkinTest, DraggingEverywhereButTheLink) {
    TestSkinDialog dlg;
    ASSERT_TRUE(dlg.CreateModeless());
    const struct {
        int x, y;
        LRESULT expected;
    } cases[] = {
        {206, 157, HTCLIENT},  {205, 157, HTCAPTION}, {338, 168, HTCLIENT},
        {339, 168, HTCAPTION}, {206, 156, HTCAPTION}, {206, 169, HTCAPTION},
        {270, 160, HTCLIENT},  {100, 200, HTCAPTION}, {20, 20, HTCAPTION},
    };
    for (const auto& c : cases) {
        LRESULT got = ::SendMessageW(dlg.m_hWnd, WM_NCHITTEST, 0, ClientToScreenParam(dlg.m_hWnd, c.x, c.y));
        EXPECT_EQ(got, c.expected) << "(" << c.x << ", " << c.y << ")";
    }
}

TEST_F(SkinTest, LinkShowsTheHandAndOpensTheMakersSite) {
    TestSkinDialog dlg;
    ASSERT_TRUE(dlg.CreateModeless());
    HCURSOR hand = ::LoadCursorW(nullptr, IDC_HAND);
    HCURSOR arrow = ::LoadCursorW(nullptr, IDC_ARROW);
    const struct {
        int x, y;
        bool hand;
    } cases[] = {{206, 157, true},  {338, 168, true},  {205, 160, false},
                 {339, 160, false}, {250, 156, false}, {250, 169, false}};
    for (const auto& c : cases) {
        ::SetCursor(arrow);
        ::SendMessageW(dlg.m_hWnd, WM_MOUSEMOVE, 0, MAKELPARAM(c.x, c.y));
        EXPECT_EQ(::GetCursor() == hand, c.hand) << "(" << c.x << ", " << c.y << ")";
    }
    ::SendMessageW(dlg.m_hWnd, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(250, 160));
    EXPECT_EQ(m_seams.opened(), std::vector<std::wstring>{web::kMakerSite});
}

TEST_F(SkinTest, EnterShowsTheLetterAAndTheWindowStays) {
    TestSkinDialog dlg;
    ASSERT_TRUE(dlg.CreateModeless());
    MSG msg = {};
    msg.hwnd = dlg.m_hWnd;
    msg.message = WM_KEYDOWN;
    msg.wParam = VK_RETURN;
    EXPECT_TRUE(::IsDialogMessageW(dlg.m_hWnd, &msg));
    testutil::PumpMessages(50);
    auto boxes = m_seams.boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, L"a");
    EXPECT_EQ(boxes[0].owner, dlg.m_hWnd);
    EXPECT_TRUE(::IsWindow(dlg.m_hWnd));
}

TEST_F(SkinTest, MinimiseAndCloseButtons) {
    TestSkinDialog dlg;
    ASSERT_TRUE(dlg.CreateModeless());
    HWND hWnd = dlg.m_hWnd;
    ::SendMessageW(hWnd, WM_COMMAND, MAKEWPARAM(CSkinDialog::kIdMinimize, BN_CLICKED),
                   reinterpret_cast<LPARAM>(dlg.GetDlgItem(CSkinDialog::kIdMinimize)));
    EXPECT_TRUE(::IsIconic(hWnd));
    EXPECT_EQ(reinterpret_cast<HICON>(::SendMessageW(hWnd, WM_QUERYDRAGICON, 0, 0)), dlg.m_hIcon);
    ::SendMessageW(hWnd, WM_COMMAND, MAKEWPARAM(CSkinDialog::kIdClose, BN_CLICKED),
                   reinterpret_cast<LPARAM>(dlg.GetDlgItem(CSkinDialog::kIdClose)));
    EXPECT_TRUE(::IsWindow(hWnd)) << "the close request is posted";
    testutil::PumpUntil([&] { return !::IsWindow(hWnd); }, 2000);
    EXPECT_FALSE(::IsWindow(hWnd));
    EXPECT_EQ(dlg.m_hWnd, nullptr);
}

TEST_F(SkinTest, RenderFromAnotherThreadRunsOnTheWindowsThread) {
    TestSkinDialog dlg;
    ASSERT_TRUE(dlg.CreateModeless());
    dlg.m_nState = 5;
    HANDLE thread = ::CreateThread(nullptr, 0, RenderFromWorker, &dlg, 0, nullptr);
    ASSERT_TRUE(thread);
    ::WaitForSingleObject(thread, 5000);
    ::CloseHandle(thread);
    EXPECT_EQ(TestSkinDialog::s_pushes, 0) << "nothing composed away from the window's thread";
    testutil::PumpUntil([] { return TestSkinDialog::s_pushes == 10; }, 2000);
    EXPECT_EQ(TestSkinDialog::s_pushes, 10);
    EXPECT_EQ(dlg.m_dProgress, 1.0) << "in call order";
    EXPECT_EQ(dlg.m_strStatus, L"worker");
}

} // namespace
} // namespace skintest
