// Our side of the archive benchmark: GetAppInfoFromIPA on the benchmark
// archive with an empty icon cache (the first call) and with the icon cached,
// the PNG normaliser on the icon, and the peak memory the calls committed.
// bench/ipa_bench.sh runs it beside the npm reference packages.
//
//   orvex-ipa-bench ARCHIVE ICON RUNS
//
// Prints "name value" lines (milliseconds, megabytes).
#include "ipa/app_info.h"
#include "ipa/png_fixer.h"
#include "platform/file.h"
#include "platform/seams.h"
#include "platform/vendor_calls.h"

#include <windows.h>

#include <objidl.h>
#include <psapi.h>

#include <gdiplus.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace {

// Binds the value library stand-in beside the program: the reader calls
// nothing else of the vendor libraries.
bool BindValueLibrary() {
    wchar_t program[MAX_PATH] = {};
    DWORD n = ::GetModuleFileNameW(nullptr, program, MAX_PATH);
    std::wstring folder(program, n);
    folder.resize(folder.find_last_of(L'\\'));
    HMODULE library = ::LoadLibraryW((folder + L"\\CoreFoundation.dll").c_str());
    return library && vendor::BindLibrary(vendor::Library::Cf, library) == nullptr;
}

std::wstring g_temp, g_documents;

// Processor time is counted in scheduler ticks: the mean over the runs
// says more than the median of a few ticks.
double Mean(const std::vector<double>& values) {
    double sum = 0;
    for (double v : values)
        sum += v;
    return sum / values.size();
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

double ProcessCpuMs() {
    FILETIME created, exited, kernel, user;
    ::GetProcessTimes(::GetCurrentProcess(), &created, &exited, &kernel, &user);
    auto ms = [](const FILETIME& t) { return ((uint64_t{t.dwHighDateTime} << 32) | t.dwLowDateTime) / 10000.0; };
    return ms(kernel) + ms(user);
}

// Wall-clock and processor time of one piece of work, in milliseconds.
struct Times {
    std::vector<double> wall, cpu;
};

template <typename Work> void Time(Times& times, Work&& work) {
    double cpu = ProcessCpuMs();
    auto start = std::chrono::steady_clock::now();
    work();
    times.wall.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
    times.cpu.push_back(ProcessCpuMs() - cpu);
}

double CommittedMb(bool peak) {
    PROCESS_MEMORY_COUNTERS counters = {};
    counters.cb = sizeof counters;
    ::GetProcessMemoryInfo(::GetCurrentProcess(), &counters, sizeof counters);
    return (peak ? counters.PeakPagefileUsage : counters.PagefileUsage) / (1024.0 * 1024.0);
}

double FileMb(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data))
        return 0;
    return (static_cast<double>(data.nFileSizeHigh) * 4294967296.0 + data.nFileSizeLow) / (1024.0 * 1024.0);
}

} // namespace

// A new write time for the file: the process sees it as a changed archive.
bool Touch(const std::wstring& path) {
    HANDLE file = ::CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    static uint64_t bump = 0;
    FILETIME now;
    ::GetSystemTimeAsFileTime(&now);
    uint64_t time = ((uint64_t{now.dwHighDateTime} << 32) | now.dwLowDateTime) + ++bump * 10000000ull;
    FILETIME written{static_cast<DWORD>(time), static_cast<DWORD>(time >> 32)};
    bool ok = ::SetFileTime(file, nullptr, nullptr, &written) != 0;
    ::CloseHandle(file);
    return ok;
}

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: orvex-ipa-bench ARCHIVE ICON [RUNS]\n");
        return 2;
    }
    std::wstring archive = argv[1], icon = argv[2];
    int runs = argc > 3 ? std::max(1, _wtoi(argv[3])) : 5;

    wchar_t temp[MAX_PATH + 1] = {};
    ::GetTempPathW(MAX_PATH + 1, temp);
    std::wstring root = std::wstring(temp) + L"orvex-ipa-bench-" + std::to_wstring(::GetCurrentProcessId());
    g_temp = root + L"\\temp\\";
    g_documents = root + L"\\documents";
    ::CreateDirectoryW(root.c_str(), nullptr);
    ::CreateDirectoryW(g_temp.c_str(), nullptr);
    ::CreateDirectoryW(g_documents.c_str(), nullptr);
    seams::Current().tempFolder = [] { return g_temp; };
    seams::Current().documentsFolder = [] { return g_documents; };
    ULONG_PTR gdiplus = 0;
    Gdiplus::GdiplusStartupInput input;
    Gdiplus::GdiplusStartup(&gdiplus, &input, nullptr);
    if (!BindValueLibrary()) {
        std::fprintf(stderr, "the value library could not be bound\n");
        return 1;
    }

    // First calls: each with the icon cache emptied and the archive touched,
    // so that no listing of its entries kept from an earlier call is used.
    double before = CommittedMb(false);
    Times first, cached, normalise;
    __IOS_APP app = {};
    for (int i = 0; i < runs; ++i) {
        RemoveLocalTree(g_documents + L"\\Tevrin\\AppIcons");
        if (!Touch(archive)) {
            std::fprintf(stderr, "the archive's write time could not be changed\n");
            return 1;
        }
        int result = 0;
        Time(first, [&] { result = GetAppInfoFromIPA(archive.c_str(), &app); });
        if (result != 1 || !app.IconFile[0]) {
            std::fprintf(stderr, "the archive was not read\n");
            return 1;
        }
    }
    double peak = CommittedMb(true) - before;
    for (int i = 0; i < runs * 4; ++i)
        Time(cached, [&] { GetAppInfoFromIPA(archive.c_str(), &app); });
    std::wstring output = root + L"\\icon-out.png";
    for (int i = 0; i < runs * 4; ++i) {
        Time(normalise, [&] {
            CPngFixer fixer(icon.c_str());
            fixer.ConvertToFile(output.c_str());
        });
    }

    std::printf("archive-mb %.1f\n", FileMb(archive));
    std::printf("icon-mb %.2f\n", FileMb(icon));
    std::printf("first-call-first %.1f\n", first.wall[0]);
    std::printf("first-call-median %.1f\n", Median(first.wall));
    std::printf("cached-call-median %.2f\n", Median(cached.wall));
    std::printf("normalise-median %.1f\n", Median(normalise.wall));
    std::printf("first-call-cpu %.1f\n", Mean(first.cpu));
    std::printf("cached-call-cpu %.2f\n", Mean(cached.cpu));
    std::printf("normalise-cpu %.1f\n", Mean(normalise.cpu));
    std::printf("peak-commit-growth-mb %.1f\n", peak);
    vendor::ClearSlots();
    Gdiplus::GdiplusShutdown(gdiplus);
    RemoveLocalTree(root);
    return 0;
}
