// Reading speed of the value library's property-list reader.
//
//   cf-plist-bench [--seconds S] FILE...
//
// Reads each file into memory, then parses it (and releases the result)
// again and again for at least S seconds (default 3), and prints one line
// per file: "<name> <bytes> bytes <format> <runs> runs <MB/s> MB/s".
#include "values/CoreFoundation.h"

#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

namespace {

double Now() {
    LARGE_INTEGER t, f;
    ::QueryPerformanceCounter(&t);
    ::QueryPerformanceFrequency(&f);
    return static_cast<double>(t.QuadPart) / static_cast<double>(f.QuadPart);
}

bool ReadFile(const wchar_t* path, std::vector<uint8_t>* out) {
    FILE* f = _wfopen(path, L"rb");
    if (!f)
        return false;
    uint8_t buffer[65536];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0)
        out->insert(out->end(), buffer, buffer + n);
    std::fclose(f);
    return true;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    double seconds = 3;
    int status = 0;
    for (int i = 1; i < argc; ++i) {
        if (!std::wcscmp(argv[i], L"--seconds") && i + 1 < argc) {
            seconds = std::wcstod(argv[++i], nullptr);
            continue;
        }
        std::vector<uint8_t> bytes;
        if (!ReadFile(argv[i], &bytes)) {
            std::fwprintf(stderr, L"cannot read %ls\n", argv[i]);
            status = 1;
            continue;
        }
        CFDataRef data = CFDataCreate(nullptr, bytes.data(), static_cast<CFIndex>(bytes.size()));
        CFPropertyListFormat format = 0;
        long runs = 0;
        const double start = Now();
        double elapsed = 0;
        do {
            CFPropertyListRef plist = CFPropertyListCreateWithData(nullptr, data, 0, &format, nullptr);
            if (!plist) {
                std::fwprintf(stderr, L"%ls does not read\n", argv[i]);
                status = 1;
                break;
            }
            CFRelease(plist);
            ++runs;
            elapsed = Now() - start;
        } while (elapsed < seconds || runs < 3);
        CFRelease(data);
        const wchar_t* name = std::wcsrchr(argv[i], L'\\');
        std::wprintf(L"%ls %zu bytes %ls %ld runs %.1f MB/s\n", name ? name + 1 : argv[i], bytes.size(),
                     format == kCFPropertyListBinaryFormat_v1_0 ? L"binary" : L"xml", runs,
                     static_cast<double>(bytes.size()) * runs / elapsed / 1e6);
    }
    return status;
}
