// A skinned dialog made from the test skin, shown modelessly on the test's
// thread, with its pushes counted.
#pragma once

#include "installer/framework/app.h"
#include "skin/skin_dialog.h"
#include "tests/support/test_util.h"
#include "tests/support/ui_util.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace skintest {

struct Rgba {
    int r, g, b, a;
    bool operator==(const Rgba& o) const { return r == o.r && g == o.g && b == o.b && a == o.a; }
};
inline Rgba Split(uint32_t argb) {
    return {static_cast<int>((argb >> 16) & 0xFF), static_cast<int>((argb >> 8) & 0xFF), static_cast<int>(argb & 0xFF),
            static_cast<int>(argb >> 24)};
}
inline std::ostream& operator<<(std::ostream& os, const Rgba& c) {
    return os << "rgba(" << c.r << "," << c.g << "," << c.b << "," << c.a << ")";
}
// Colours of the test skin (tests/skin/make_test_skin.py).
constexpr Rgba kBackground = {10, 20, 30, 255};
constexpr Rgba kMessageBar = {200, 0, 0, 255};
constexpr Rgba kActionBar = {0, 200, 0, 255};
constexpr Rgba kActionBarHover = {0, 250, 0, 255};
constexpr Rgba kSuccessBar = {0, 0, 200, 255};
constexpr Rgba kTrack = {100, 100, 100, 255};
constexpr Rgba kCap = {255, 0, 255, 255};
constexpr Rgba kMinimize = {0, 0, 100, 255};
constexpr Rgba kMinimizeHover = {0, 0, 150, 255};
constexpr Rgba kClose = {100, 0, 100, 255};
constexpr Rgba kCloseHover = {150, 0, 150, 255};
constexpr Rgba kArrow = {255, 255, 0, 255};
inline Rgba FillColumn(int column) { return {column % 256, column >= 256 ? 150 : 50, 77, 255}; }
inline Rgba SpinnerColour(int index) { return {index * 20, 255 - index * 20, 128, 255}; }

// Within one step per channel (sampling may round).
inline bool Near(const Rgba& a, const Rgba& b, int tolerance = 1) {
    return std::abs(a.r - b.r) <= tolerance && std::abs(a.g - b.g) <= tolerance && std::abs(a.b - b.b) <= tolerance &&
           std::abs(a.a - b.a) <= tolerance;
}

class TestSkinDialog : public CSkinDialog {
  public:
    TestSkinDialog() : CSkinDialog(102, nullptr) {}
    static int s_pushes;

  protected:
    BOOL OnInitDialog() override {
        CSkinDialog::OnInitDialog();
        ApplyLayout();
        m_pfnUpdateLayeredWindow = CountingPush;
        return TRUE;
    }

  private:
    static BOOL WINAPI CountingPush(HWND hWnd, HDC dst, POINT* pt, SIZE* size, HDC src, POINT* srcPt, COLORREF key,
                                    BLENDFUNCTION* blend, DWORD flags) {
        ++s_pushes;
        return ::UpdateLayeredWindow(hWnd, dst, pt, size, src, srcPt, key, blend, flags);
    }
};
inline int TestSkinDialog::s_pushes = 0;

class SkinTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(m_gdiplus.ok());
        // The pointer away from the window, whose buttons would light up under it.
        ::SetCursorPos(0, 0);
        AppSetResourceModule(nullptr);
        TestSkinDialog::s_pushes = 0;
    }
    void TearDown() override { AppSetResourceModule(nullptr); }

    // Composes the current state into `frame`; fails the test on an early end.
    void Compose(TestSkinDialog& dlg, skin::SkinFrame* frame, const wchar_t* text = nullptr, double fraction = 0.0) {
        const wchar_t* failure = nullptr;
        ASSERT_TRUE(dlg.ComposeFrame(text, fraction, frame, &failure)) << (failure ? "early end" : "no surface");
    }

    testutil::GdiplusSession m_gdiplus;
    testutil::SeamRecorder m_seams;
};

} // namespace skintest
