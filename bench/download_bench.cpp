// The package download through the installer's own code (DownloadPackage:
// WinINet, 10240-byte chunks, the progress handed to the window, which
// repaints) beside the same WinINet loop without any repaint, in one run,
// taking turns, from the tests' package server on loopback reached through
// the prefix's proxy setting. The program's code runs twice: the program's
// way (progress at most every 40 ms, a count held back by that handed over
// once the 40 ms have passed) and with every chunk's progress handed over.
//
//   download-bench.exe [megabytes] [rounds]     (needs a display)
#include "installer/install_orvex_dlg.h"
#include "installer/installer_calls.h"
#include "installer/package_download.h"
#include "platform/seams.h"
#include "tests/installer/package_server.h"

#include <windows.h>

#include <process.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <functional>
#include <vector>

namespace {

constexpr wchar_t kPlainFile[] = L"C:\\download-bench.bin";

std::atomic<int> g_pushes{0};
UpdateLayeredWindowFn g_push = nullptr;

BOOL WINAPI CountPush(HWND hWnd, HDC dst, POINT* at, SIZE* size, HDC src, POINT* from, COLORREF key,
                      BLENDFUNCTION* blend, DWORD flags) {
    ++g_pushes;
    return g_push(hWnd, dst, at, size, src, from, key, blend, flags);
}

int NoDevices(DeviceEventCallback, DeviceEventCallback) { return 1; }

int PrintMessage(HWND, const wchar_t* text, const wchar_t*, UINT) {
    std::fwprintf(stderr, L"message box: %ls\n", text);
    return IDOK;
}

struct Job {
    std::function<bool()> work;
    bool result = false;
};

unsigned __stdcall RunJob(void* param) {
    auto* job = static_cast<Job*>(param);
    job->result = job->work();
    return 0;
}

// Runs `work` on a thread of its own while this thread, the window's,
// handles its messages; returns the seconds it took and whether it worked.
double OnWorker(const std::function<bool()>& work, bool* ok) {
    Job job{work};
    LARGE_INTEGER freq, start, end;
    ::QueryPerformanceFrequency(&freq);
    ::QueryPerformanceCounter(&start);
    HANDLE thread = reinterpret_cast<HANDLE>(::_beginthreadex(nullptr, 0, RunJob, &job, 0, nullptr));
    if (!thread) {
        *ok = false;
        return 0.0;
    }
    while (::MsgWaitForMultipleObjects(1, &thread, FALSE, INFINITE, QS_ALLINPUT) == WAIT_OBJECT_0 + 1) {
        MSG msg;
        while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            ::TranslateMessage(&msg);
            ::DispatchMessageW(&msg);
        }
    }
    ::QueryPerformanceCounter(&end);
    ::CloseHandle(thread);
    *ok = job.result;
    return static_cast<double>(end.QuadPart - start.QuadPart) / static_cast<double>(freq.QuadPart);
}

// The download loop alone: the same session, request and chunk copy,
// nothing shown.
bool PlainDownload() {
    using namespace download;
    InternetHandle session = OpenSession();
    if (!session)
        return false;
    InternetHandle response = OpenAddress(session.get(), PackageAddress(PackageClass::Handset));
    if (!response || StatusCode(response.get()) != L"200")
        return false;
    UniqueHandle file(
        ::CreateFileW(kPlainFile, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        return false;
    long long bytes = 0;
    CopyEnd end = CopyBody(
        response.get(), file.get(), [] { return true; }, [&bytes](DWORD got) { bytes += got; });
    return end == CopyEnd::Complete && bytes > 0;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// The rounds, taking turns; 0 when every download worked.
int Measure(int megabytes, int rounds) {
    const size_t size = static_cast<size_t>(megabytes) * 1024 * 1024;
    testserver::PackageServer server(3 * rounds + 4, 600);
    if (!server.ok() || !server.Serve({{.body = testserver::PatternBytes(size)}})) {
        std::fwprintf(stderr, L"the package server did not start: %ls\n", server.error().c_str());
        return 1;
    }
    testserver::ProxySetting proxy(server.port());
    CInstallOrvexDlg dlg;
    if (!dlg.CreateModeless()) {
        std::fprintf(stderr, "the window could not be created\n");
        return 1;
    }
    g_push = dlg.m_pfnUpdateLayeredWindow;
    dlg.m_pfnUpdateLayeredWindow = CountPush;

    std::printf("%d MiB from the loopback server, %d rounds, the variants taking turns (MB = 10^6 bytes)\n", megabytes,
                rounds);
    struct Variant {
        const char* name;
        std::function<bool()> run;
        std::vector<double> speeds, repaints;
    } variants[] = {
        {"WinINet loop, no repaint", PlainDownload, {}, {}},
        {"DownloadPackage, the program's way", [&dlg] { return DownloadPackage(dlg, PackageClass::Handset); }, {}, {}},
        {"DownloadPackage, every chunk handed over",
         [&dlg] { return DownloadPackage(dlg, PackageClass::Handset, 0); },
         {},
         {}},
    };
    bool ok = true;
    OnWorker(PlainDownload, &ok); // warm-up
    for (int round = 0; round < rounds && ok; ++round) {
        for (auto& variant : variants) {
            g_pushes = 0;
            const double seconds = OnWorker(variant.run, &ok);
            if (!ok)
                break;
            variant.speeds.push_back(size / seconds / 1e6);
            variant.repaints.push_back(g_pushes);
        }
    }
    ::DeleteFileW(kPlainFile);
    if (!ok) {
        std::fprintf(stderr, "a download failed\n");
        return 1;
    }
    const double plainBest = *std::max_element(variants[0].speeds.begin(), variants[0].speeds.end());
    const double plainMedian = Median(variants[0].speeds);
    std::printf("%-42s %8s %8s %9s %10s %12s\n", "MB/s", "best", "median", "repaints", "best share", "median share");
    for (const auto& variant : variants) {
        const double best = *std::max_element(variant.speeds.begin(), variant.speeds.end());
        std::printf("%-42s %8.1f %8.1f %9.0f %9.0f%% %11.0f%%\n", variant.name, best, Median(variant.speeds),
                    Median(variant.repaints), 100.0 * best / plainBest, 100.0 * Median(variant.speeds) / plainMedian);
    }
    std::printf("%.0f chunks of %lu bytes per download\n", static_cast<double>(size) / download::kChunkSize,
                download::kChunkSize);
    return 0;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    const int megabytes = argc > 1 ? std::max(1, _wtoi(argv[1])) : 20;
    const int rounds = argc > 2 ? std::max(1, _wtoi(argv[2])) : 15;
    seams::Current().messageBox = PrintMessage;
    CurrentInstallerCalls().startListening = NoDevices;
    ULONG_PTR token = 0;
    Gdiplus::GdiplusStartupInput input;
    if (Gdiplus::GdiplusStartup(&token, &input, nullptr) != Gdiplus::Ok) {
        std::fprintf(stderr, "GDI+ did not start\n");
        return 1;
    }
    int status = Measure(megabytes, rounds);
    Gdiplus::GdiplusShutdown(token);
    return status;
}
