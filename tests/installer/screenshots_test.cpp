// Pictures of the installer window in each of its six states, composed by
// the program's own skin from the program's resources, with the window's
// constant alpha applied, saved as PNG files for the README:
//   build/screenshots/state-N.png   (folder: ORVEX_SCREENSHOTS, if set)
#include "skin/skin_dialog.h"
#include "tests/support/test_util.h"
#include "tests/support/ui_util.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

class ShotDialog : public CSkinDialog {
  public:
    ShotDialog() : CSkinDialog(IDD_INSTALLORVEX_DIALOG, nullptr) {}

  protected:
    BOOL OnInitDialog() override {
        CSkinDialog::OnInitDialog();
        ApplyLayout();
        return TRUE;
    }
};

std::wstring OutputFolder() {
    wchar_t folder[MAX_PATH] = {};
    if (::GetEnvironmentVariableW(L"ORVEX_SCREENSHOTS", folder, MAX_PATH))
        return folder;
    return testutil::ProgramFolder() + L"\\..\\screenshots";
}

// Saves the frame as the screen shows it: every pixel times 235 / 255.
bool SavePng(const skin::SkinFrame& frame, const std::wstring& path) {
    const int w = frame.width(), h = frame.height();
    std::vector<uint32_t> pixels(static_cast<size_t>(w) * h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            uint32_t p = frame.Pixel(x, y), out = 0;
            for (int shift = 0; shift < 32; shift += 8)
                out |= ((((p >> shift) & 0xFF) * 235 + 127) / 255) << shift;
            pixels[static_cast<size_t>(y) * w + x] = out;
        }
    Gdiplus::GpBitmap* bitmap = nullptr;
    if (Gdiplus::DllExports::GdipCreateBitmapFromScan0(w, h, w * 4, PixelFormat32bppPARGB,
                                                       reinterpret_cast<BYTE*>(pixels.data()), &bitmap) != Gdiplus::Ok)
        return false;
    const CLSID png = {0x557cf406, 0x1a04, 0x11d3, {0x9a, 0x73, 0x00, 0x00, 0xf8, 0x1e, 0xf3, 0x2e}};
    bool saved = Gdiplus::DllExports::GdipSaveImageToFile(bitmap, path.c_str(), &png, nullptr) == Gdiplus::Ok;
    Gdiplus::DllExports::GdipDisposeImage(bitmap);
    return saved;
}

TEST(Screenshots, EachStateOfTheWindow) {
    testutil::GdiplusSession gdiplus;
    testutil::SeamRecorder seams;
    ShotDialog dlg;
    ASSERT_TRUE(dlg.CreateModeless());
    std::wstring folder = OutputFolder();
    ::CreateDirectoryW(folder.c_str(), nullptr);
    const struct {
        int state;
        const wchar_t* text;
        double fraction;
        bool hover;
    } shots[] = {
        {0, L"请将设备连接至电脑", 0.0, false},
        {1, nullptr, 0.0, false},
        {2, nullptr, 0.0, true},
        {3, nullptr, 0.0, false},
        {4, nullptr, 0.0, false},
        {5, L"1.50 M/3.67 M", 0.409, false},
    };
    g_nSpinnerTick = 0;
    for (const auto& shot : shots) {
        SCOPED_TRACE(shot.state);
        dlg.m_nState = shot.state;
        if (shot.state == 0)
            dlg.m_strStatus = shot.text;
        dlg.m_bHoverBar = shot.hover;
        if (shot.state == 5) {
            for (int i = 0; i < 3; ++i)
                dlg.AnimationStep();
        }
        skin::SkinFrame frame;
        const wchar_t* failure = nullptr;
        ASSERT_TRUE(dlg.ComposeFrame(shot.text, shot.fraction, &frame, &failure));
        std::wstring path = folder + L"\\state-" + std::to_wstring(shot.state) + L".png";
        EXPECT_TRUE(SavePng(frame, path));
        std::string bytes;
        ASSERT_TRUE(testutil::ReadFileBytes(path, &bytes));
        EXPECT_EQ(bytes.substr(1, 3), "PNG");
    }
    EXPECT_TRUE(seams.boxes().empty());
}

} // namespace
