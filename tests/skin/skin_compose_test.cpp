// The composed frame of each display state, read back pixel by pixel from
// the test skin's flat colours.
#include "tests/skin/skin_test_support.h"

#include <algorithm>

namespace skintest {
namespace {

constexpr int kBarX = 38, kBarY = 90, kBarW = 313, kBarH = 40;
// A bar row above the text and a column clear of spinner and cap.
constexpr int kProbeY = kBarY + 2;

Rgba At(const skin::SkinFrame& f, int x, int y) { return Split(f.Pixel(x, y)); }

// Horizontal extent of the white text ink inside the bar.
std::pair<int, int> InkExtent(const skin::SkinFrame& f) {
    int left = 10000, right = -1;
    for (int y = kBarY; y < kBarY + kBarH; ++y)
        for (int x = kBarX; x < kBarX + kBarW; ++x) {
            Rgba c = At(f, x, y);
            if (c.g > 150 && c.b > 150) { // white ink on any bar colour
                left = std::min(left, x);
                right = std::max(right, x);
            }
        }
    return {left, right};
}

TEST_F(SkinTest, CreationMeasuresTheStartImagesAndLaysTheWindowOut) {
    TestSkinDialog dlg;
    ASSERT_TRUE(dlg.CreateModeless());
    EXPECT_EQ(dlg.m_sizeBackground.cx, 390);
    EXPECT_EQ(dlg.m_sizeBackground.cy, 220);
    EXPECT_EQ(dlg.m_sizeSpinner.cx, 32);
    EXPECT_EQ(dlg.m_blend.SourceConstantAlpha, 235);
    EXPECT_EQ(dlg.m_blend.AlphaFormat, AC_SRC_ALPHA);
    EXPECT_EQ(dlg.m_ptBar.x, 38);
    EXPECT_EQ(dlg.m_ptBar.y, 90);
    EXPECT_EQ(dlg.m_ptMin.x, 306);
    EXPECT_EQ(dlg.m_ptClose.x, 342);
    RECT window;
    ::GetWindowRect(dlg.m_hWnd, &window);
    EXPECT_EQ(window.left, (::GetSystemMetrics(SM_CXSCREEN) - 390) / 2);
    EXPECT_EQ(window.top, (::GetSystemMetrics(SM_CYSCREEN) - 220) / 2);
    EXPECT_EQ(window.right - window.left, 390);
    EXPECT_EQ(::GetWindowLongW(dlg.m_hWnd, GWL_STYLE) & WS_CAPTION, 0);
    RECT bar;
    ::GetWindowRect(dlg.GetDlgItem(CSkinDialog::kIdInstall), &bar);
    EXPECT_EQ(bar.left - window.left, 38);
    EXPECT_EQ(bar.bottom - bar.top, 40);
    EXPECT_FALSE(::IsWindowEnabled(dlg.GetDlgItem(CSkinDialog::kIdInstall)));
}

TEST_F(SkinTest, FirstFrameShowsBackgroundButtonsAndTheMessage) {
    TestSkinDialog dlg;
    ASSERT_TRUE(dlg.CreateModeless());
    dlg.m_nState = 0;
    dlg.m_strStatus = L"请将设备连接至电脑";
    skin::SkinFrame f;
    Compose(dlg, &f);
    EXPECT_EQ(At(f, 100, 200), kBackground);
    EXPECT_EQ(At(f, 2, 2).a, 0) << "transparent margin stays transparent";
    EXPECT_EQ(At(f, 306 + 5, 5), kMinimize);
    EXPECT_EQ(At(f, 342 + 40, 30), kClose);
    EXPECT_EQ(At(f, kBarX + 3, kProbeY), kMessageBar);
    EXPECT_EQ(At(f, kBarX - 1, kProbeY), kBackground);
    auto [left, right] = InkExtent(f);
    EXPECT_LT(left, right) << "no text drawn";
}

TEST_F(SkinTest, BarTextIsCentredByItsInkWidth) {
    // The glyphs' own side bearing and the string's leading padding shift
    // every text by the same few pixels; what varies with the text is
    // compensated by its ink width.
    std::vector<double> offsets;
    for (const wchar_t* text : {L"请将设备连接至电脑", L"HHHH", L"iiii", L"1.50 M/3.67 M", L"W"}) {
        SCOPED_TRACE(testing::Message() << offsets.size());
        TestSkinDialog dlg;
        ASSERT_TRUE(dlg.CreateModeless());
        dlg.m_strStatus = text;
        skin::SkinFrame f;
        Compose(dlg, &f);
        auto [left, right] = InkExtent(f);
        ASSERT_LT(left, right);
        double centre = (left + right + 1) / 2.0;
        EXPECT_NEAR(centre, kBarX + kBarW / 2.0, 6.0);
        offsets.push_back(centre - (kBarX + kBarW / 2.0));
    }
    auto [low, high] = std::minmax_element(offsets.begin(), offsets.end());
    EXPECT_LE(*high - *low, 4.0) << "the same offset whatever the text's width";
}

TEST_F(SkinTest, RenderSkinPushesEachComposedFrame) {
    TestSkinDialog dlg;
    ASSERT_TRUE(dlg.CreateModeless());
    dlg.m_strStatus = L"x";
    dlg.RenderSkin(nullptr, 0.0);
    EXPECT_EQ(TestSkinDialog::s_pushes, 1);
    EXPECT_TRUE(::GetWindowLongW(dlg.m_hWnd, GWL_EXSTYLE) & WS_EX_LAYERED);
    EXPECT_TRUE(m_seams.boxes().empty());
}

struct FillCase {
    double fraction;
    int sourceLeft; // first fill column shown at the bar's left end
    int width;      // columns of fill
};

TEST_F(SkinTest, ProgressFillShowsTheRightHandPartOfTheFillImage) {
    const FillCase cases[] = {{0.0, 0, 0}, {0.5, 156, 156}, {1.0, 0, 313}, {0.25, 234, 78}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fraction);
        TestSkinDialog dlg;
        ASSERT_TRUE(dlg.CreateModeless());
        dlg.m_nState = 5;
        skin::SkinFrame f;
        Compose(dlg, &f, L"1.50 M/3.67 M", c.fraction);
        EXPECT_EQ(dlg.m_dProgress, c.fraction);
        EXPECT_EQ(dlg.m_strStatus, L"1.50 M/3.67 M");
        for (int dx : {32, 60, 100, 155, 156, 200, 312}) {
            Rgba got = At(f, kBarX + dx, kProbeY);
            if (dx < c.width)
                EXPECT_TRUE(Near(got, FillColumn(c.sourceLeft + dx))) << "dx " << dx << " " << got;
            else
                EXPECT_EQ(got, kTrack) << "dx " << dx;
        }
        // The cap over the fill's left end, the spinner's opaque half beside it.
        EXPECT_EQ(At(f, kBarX + 5, kProbeY), kCap);
        EXPECT_EQ(At(f, kBarX + 20, kProbeY), SpinnerColour(0));
        auto [left, right] = InkExtent(f);
        EXPECT_LT(left, right) << "progress text drawn";
    }
}

TEST_F(SkinTest, HoverLightsTheActionBarInStatesOneAndTwoOnly) {
    const struct {
        int state;
        Rgba normal;
        Rgba hovered;
        const wchar_t* text;
    } cases[] = {
        {0, kMessageBar, kMessageBar, L"msg"},
        {1, kActionBar, kActionBarHover, L"点击下载"},
        {2, kActionBar, kActionBarHover, L"点击安装"},
        {3, kActionBar, kActionBar, L"正在安装..."},
        {4, kSuccessBar, kSuccessBar, L"安装成功，请重启设备"},
        {5, kTrack, kTrack, L"t"},
    };
    for (const auto& c : cases) {
        for (bool hover : {false, true}) {
            SCOPED_TRACE(testing::Message() << "state " << c.state << " hover " << hover);
            TestSkinDialog dlg;
            ASSERT_TRUE(dlg.CreateModeless());
            dlg.m_nState = c.state;
            dlg.m_strStatus = L"msg";
            dlg.m_bHoverBar = hover;
            skin::SkinFrame f;
            Compose(dlg, &f, L"t", 0.0);
            EXPECT_EQ(At(f, kBarX + 250, kProbeY), hover ? c.hovered : c.normal);
            EXPECT_EQ(dlg.m_strStatus, c.text);
        }
    }
}

TEST_F(SkinTest, HoveredButtonsSwapTheirPictures) {
    TestSkinDialog dlg;
    ASSERT_TRUE(dlg.CreateModeless());
    dlg.m_strStatus = L"msg";
    dlg.m_bHoverMin = true;
    dlg.m_bHoverClose = true;
    skin::SkinFrame f;
    Compose(dlg, &f);
    EXPECT_EQ(At(f, 306 + 5, 5), kMinimizeHover);
    EXPECT_EQ(At(f, 342 + 40, 30), kCloseHover);
}

TEST_F(SkinTest, SuccessStateDrawsTheArrowAtItsPlace) {
    TestSkinDialog dlg;
    ASSERT_TRUE(dlg.CreateModeless());
    dlg.m_nState = 4;
    skin::SkinFrame f;
    Compose(dlg, &f);
    EXPECT_EQ(At(f, 255, 30), kArrow);
    EXPECT_EQ(At(f, 255 + 23, 30 + 24), kArrow);
    EXPECT_EQ(At(f, 254, 30), kBackground);
    EXPECT_EQ(At(f, 255, 29), kBackground);
    EXPECT_EQ(At(f, 255 + 24, 40), kBackground);
}

TEST_F(SkinTest, StateOutsideTheSixDrawsBackgroundAndButtonsOnly) {
    for (int state : {-1, 6, 42}) {
        SCOPED_TRACE(state);
        TestSkinDialog dlg;
        ASSERT_TRUE(dlg.CreateModeless());
        dlg.m_nState = state;
        dlg.m_strStatus = L"unchanged";
        skin::SkinFrame f;
        Compose(dlg, &f);
        EXPECT_EQ(At(f, kBarX + 100, kProbeY), kBackground);
        EXPECT_EQ(At(f, 306 + 5, 5), kMinimize);
        EXPECT_EQ(dlg.m_strStatus, L"unchanged");
        dlg.RenderSkin(nullptr, 0.0);
        EXPECT_TRUE(m_seams.boxes().empty());
    }
}

TEST_F(SkinTest, EarlyEndsShowTheirWordsAndPushNothing) {
    TestSkinDialog dlg;
    ASSERT_TRUE(dlg.CreateModeless());
    dlg.m_nState = 0;
    dlg.m_strStatus.clear();
    dlg.RenderSkin(nullptr, 0.0);
    dlg.m_nState = 5;
    dlg.m_dProgress = 0.3;
    dlg.RenderSkin(nullptr, 0.8);
    EXPECT_EQ(TestSkinDialog::s_pushes, 0);
    EXPECT_EQ(dlg.m_dProgress, 0.3) << "a null text keeps the last fraction";
    auto boxes = m_seams.boxes();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0].text, L"显示警告信息时，信息为空！");
    EXPECT_EQ(boxes[1].text, L"重画进度条时，速率字符串为空！");
    EXPECT_EQ(boxes[0].owner, dlg.m_hWnd);
    EXPECT_EQ(boxes[0].caption, AppName());
    EXPECT_EQ(boxes[0].type & 0xF, static_cast<UINT>(MB_OK));
}

TEST_F(SkinTest, AnimationWalksTheTwelveSpinnerFramesAndWrapsAround) {
    TestSkinDialog dlg;
    ASSERT_TRUE(dlg.CreateModeless());
    g_nSpinnerTick = 0;
    const UINT expected[13] = {187, 188, 189, 190, 191, 192, 7, 194, 195, 196, 197, 198, 187};
    for (int step = 0; step < 13; ++step) {
        ::SendMessageW(dlg.m_hWnd, WM_TIMER, CSkinDialog::kAnimationTimer, 0);
        EXPECT_EQ(dlg.m_pImgSpinner.nId, expected[step]) << "step " << step + 1;
        if (step == 6) {
            dlg.m_nState = 5;
            skin::SkinFrame f;
            Compose(dlg, &f, L"t", 0.0);
            EXPECT_EQ(At(f, kBarX + 20, kProbeY), SpinnerColour(6)) << "the seventh frame is drawn";
        }
    }
    EXPECT_EQ(g_nSpinnerTick, 13);
    ::SendMessageW(dlg.m_hWnd, WM_TIMER, 999, 0);
    EXPECT_EQ(g_nSpinnerTick, 13) << "other timers do not animate";
}

TEST_F(SkinTest, AStepWithoutItsFrameImageKeepsTheCounter) {
    TestSkinDialog dlg;
    ASSERT_TRUE(dlg.CreateModeless());
    dlg.m_bCacheImages = false;
    HMODULE partial = ::LoadLibraryW((testutil::ProgramFolder() + L"\\skin_partial_res.dll").c_str());
    ASSERT_TRUE(partial);
    AppSetResourceModule(partial);
    g_nSpinnerTick = 1; // resource 188 is not in the partial module
    EXPECT_FALSE(dlg.AnimationStep());
    EXPECT_EQ(g_nSpinnerTick, 1);
    EXPECT_EQ(m_seams.texts(), std::vector<std::wstring>{L"加载消息bar图片失败！"});
    AppSetResourceModule(nullptr);
    ::FreeLibrary(partial);
}

TEST_F(SkinTest, MissingImagesEndTheCompositionWithTheirWords) {
    HMODULE partial = ::LoadLibraryW((testutil::ProgramFolder() + L"\\skin_partial_res.dll").c_str());
    ASSERT_TRUE(partial);
    const struct {
        int state;
        bool hoverMin;
        const wchar_t* words;
    } cases[] = {
        {1, false, L"加载消息bar图片失败！"}, // 172 missing
        {4, false, L"加载箭头图片失败！"},    // 176 present, 186 missing
        {0, true, L"加载消息Min图片失败！"},  // 183 missing
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.state);
        m_seams.Clear();
        TestSkinDialog::s_pushes = 0;
        TestSkinDialog dlg;
        ASSERT_TRUE(dlg.CreateModeless());
        dlg.m_bCacheImages = false;
        AppSetResourceModule(partial);
        dlg.m_nState = c.state;
        dlg.m_strStatus = L"msg";
        dlg.m_bHoverMin = c.hoverMin;
        dlg.RenderSkin(nullptr, 0.0);
        EXPECT_EQ(TestSkinDialog::s_pushes, 0);
        EXPECT_EQ(m_seams.texts(), std::vector<std::wstring>{c.words});
        AppSetResourceModule(nullptr);
    }
    ::FreeLibrary(partial);
}

TEST_F(SkinTest, CreationFailsWithoutTheBackgroundImage) {
    HMODULE partial = ::LoadLibraryW((testutil::ProgramFolder() + L"\\skin_partial_res.dll").c_str());
    ASSERT_TRUE(partial);
    AppSetResourceModule(partial);
    {
        TestSkinDialog dlg;
        EXPECT_FALSE(dlg.CreateModeless());
        EXPECT_EQ(dlg.m_hWnd, nullptr);
    }
    EXPECT_EQ(m_seams.texts(), std::vector<std::wstring>{L"加载背景图片失败！"});
    AppSetResourceModule(nullptr);
    ::FreeLibrary(partial);
}

} // namespace
} // namespace skintest
