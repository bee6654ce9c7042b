// The package download: when the package file that fits the attached
// device was missing, the install worker fetches it from the maker's
// download server into that file, with progress on the window, before the
// upload. Runs on the worker's thread.
#pragma once

#include "installer/device_summary.h"
#include "installer/download_link.h"
#include "platform/handles.h"

#include <windows.h>

#include <wininet.h>

#include <cstdint>
#include <functional>
#include <string>

class CInstallOrvexDlg;

// A byte count as the progress text shows it: "1023 B", "1.00 K",
// "1024.00 K", "1.50 M", "1.00 G".
std::wstring FormatByteSize(uint32_t count);

// The download's progress text, "1.50 M/3.67 M", and fraction.
std::wstring DownloadProgressText(uint32_t done, uint32_t total);
double DownloadFraction(int32_t done, int32_t total);

// The total of a Content-Length header: its leading decimal digits, 0 when
// there are none; values beyond 2^31 - 1 are held at 2^31 - 1.
int32_t ParseContentLength(const std::wstring& header);

// The shortest time between two progress texts handed to the window, in
// milliseconds. A count that comes sooner is handed over once the time has
// passed, whether more bytes have come by then or not.
constexpr DWORD kDownloadProgressInterval = 40;

// Fetches the package of `packageClass` into its local file. True when the
// package is there, every byte the server announced and no more, and the
// install goes on; false when the install worker must end (nothing to
// download, the window is closing, or a failure that has been shown and the
// window returned to the download offer). The blocking calls go through the
// dialog's download link, so the window's close ends the download at once.
// `progressInterval` is for measurements: 0 hands over every chunk's progress.
bool DownloadPackage(CInstallOrvexDlg& dlg, PackageClass packageClass,
                     DWORD progressInterval = kDownloadProgressInterval);

// The steps of the download, shared with the benchmark.
namespace download {

struct InternetHandleTraits {
    using Type = HINTERNET;
    static Type Invalid() { return nullptr; }
    static bool IsValid(Type h) { return h != nullptr; }
    static void Close(Type h) { ::InternetCloseHandle(h); }
};
using InternetHandle = ScopedHandle<InternetHandleTraits>;

// The copy buffer, one read's worth.
constexpr DWORD kChunkSize = 10240;

// A session named after the application, with the system's proxy settings
// and the connect time-out, back-off and retry count of the download.
InternetHandle OpenSession();
// A GET of `url` that bypasses every cache, read as binary.
HINTERNET OpenRequest(HINTERNET session, const std::wstring& url);
InternetHandle OpenAddress(HINTERNET session, const std::wstring& url);
// The response's status code as text ("200"); empty when unreadable.
std::wstring StatusCode(HINTERNET response);
// The response's Content-Length header as text; empty when absent.
std::wstring ContentLengthHeader(HINTERNET response);

enum class CopyEnd { Complete, Cancelled, ReadFailed, WriteFailed };
// Copies the body into `file` in chunks of kChunkSize: reads a chunk, stops
// at the body's end (a read of 0 bytes), stops when `goOn()` is false before
// the chunk is written, writes it and tells `written(bytes)`. With a link,
// each read runs through it (a cancel ends the copy as Cancelled), and
// `waiting` runs while a read waits for the server (see DownloadLink::Run).
CopyEnd CopyBody(HINTERNET response, HANDLE file, const std::function<bool()>& goOn,
                 const std::function<void(DWORD)>& written, DownloadLink* link = nullptr,
                 const std::function<DWORD()>& waiting = nullptr);

// Paces the progress a download hands to the window: at most one count
// every `interval` milliseconds, and never the latest held back for longer.
// A count that comes too soon is kept, and handed on by Due once the
// interval has passed, whether a later chunk has come by then or not (a
// server that sends a burst and then pauses). One thread only.
class ProgressPacer {
  public:
    ProgressPacer(
        DWORD interval, std::function<void(int32_t)> show,
        std::function<DWORD()> clock = [] { return ::GetTickCount(); });

    // The count received so far: handed on now when the interval has passed
    // since the last one (or `now` is set), else kept.
    void Update(int32_t count, bool now = false);
    // Hands on a kept count whose interval has passed. The milliseconds
    // until the kept count is due; INFINITE when none is kept.
    DWORD Due();

  private:
    void Hand(int32_t count);

    DWORD m_interval;
    std::function<void(int32_t)> m_show;
    std::function<DWORD()> m_clock;
    bool m_handed = false; // a count has been handed on
    DWORD m_handedAt = 0;
    int32_t m_shown = 0; // the last count handed on
    bool m_kept = false;
    int32_t m_latest = 0;
};

// The download address of a package class.
std::wstring PackageAddress(PackageClass packageClass);

} // namespace download
