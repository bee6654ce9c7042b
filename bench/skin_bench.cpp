// Cost of one RenderSkin (composition and push of a whole frame) of the
// installer window in states 0 and 5, with the skin images decoded once
// (the program's way) side by side with decoding every image a composition
// loads (the reference: a reload from the resources per frame).
//
//   skin-bench.exe [frames]     (needs a display)
#include "skin/skin_dialog.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>

namespace {

class BenchDialog : public CSkinDialog {
  public:
    BenchDialog() : CSkinDialog(IDD_INSTALLORVEX_DIALOG, nullptr) {}

  protected:
    BOOL OnInitDialog() override {
        CSkinDialog::OnInitDialog();
        ApplyLayout();
        return TRUE;
    }
};

double Seconds(LARGE_INTEGER a, LARGE_INTEGER b, LARGE_INTEGER f) {
    return static_cast<double>(b.QuadPart - a.QuadPart) / static_cast<double>(f.QuadPart);
}

// Frames per second of `frames` repaints in `state`.
double Measure(BenchDialog& dlg, int state, bool cache, int frames, bool push) {
    dlg.m_bCacheImages = cache;
    dlg.m_nState = state;
    dlg.m_strStatus = L"请将设备连接至电脑";
    LARGE_INTEGER freq, start, end;
    ::QueryPerformanceFrequency(&freq);
    ::QueryPerformanceCounter(&start);
    for (int i = 0; i < frames; ++i) {
        double fraction = static_cast<double>(i % 100) / 100.0;
        if (push) {
            dlg.RenderSkin(L"1.50 M/3.67 M", fraction);
        } else {
            skin::SkinFrame frame;
            const wchar_t* failure = nullptr;
            dlg.ComposeFrame(L"1.50 M/3.67 M", fraction, &frame, &failure);
        }
    }
    ::QueryPerformanceCounter(&end);
    return frames / Seconds(start, end, freq);
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    int frames = argc > 1 ? _wtoi(argv[1]) : 400;
    if (frames <= 0)
        frames = 400;
    ULONG_PTR token = 0;
    Gdiplus::GdiplusStartupInput input;
    if (Gdiplus::GdiplusStartup(&token, &input, nullptr) != Gdiplus::Ok) {
        std::fprintf(stderr, "GDI+ did not start\n");
        return 1;
    }
    int status = 0;
    {
        BenchDialog dlg;
        if (!dlg.CreateModeless()) {
            std::fprintf(stderr, "the window could not be created\n");
            status = 1;
        } else {
            std::printf("RenderSkin, best of 5 batches of %d frames, frames per second (390 x 220)\n", frames / 5);
            std::printf("%-8s %-22s %12s %12s\n", "state", "images", "compose", "compose+push");
            for (int state : {0, 5}) {
                for (bool cache : {true, false}) {
                    Measure(dlg, state, cache, 20, true); // warm up
                    // The best of five batches: the machine is shared, and
                    // the slow batches measure the neighbours.
                    double compose = 0, render = 0;
                    for (int batch = 0; batch < 5; ++batch) {
                        compose = std::max(compose, Measure(dlg, state, cache, frames / 5, false));
                        render = std::max(render, Measure(dlg, state, cache, frames / 5, true));
                    }
                    std::printf("%-8d %-22s %12.0f %12.0f\n", state, cache ? "decoded once" : "decoded per load",
                                compose, render);
                }
            }
        }
    }
    Gdiplus::GdiplusShutdown(token);
    return status;
}
