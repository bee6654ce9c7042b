#include "installer/package_download.h"

#include "installer/framework/app.h"
#include "installer/install_orvex_dlg.h"
#include "installer/installer_calls.h"
#include "installer/web_addresses.h"

#include <climits>
#include <cstdio>
#include <utility>
#include <vector>

namespace {

constexpr wchar_t kProxyAuthentication[] = L"下载错误：407！";

// What the user is told when a download fails; each names the step.
constexpr wchar_t kErrSession[] = L"下载失败：无法建立网络连接，请检查网络连接后重试";
constexpr wchar_t kErrAddress[] = L"下载失败：无法连接下载服务器，请检查网络连接后重试";
constexpr wchar_t kErrResend[] = L"下载失败：重新发送下载请求失败，请检查网络连接后重试";
constexpr wchar_t kErrStatus[] = L"下载失败：下载服务器应答 %s，请稍后重试";
constexpr wchar_t kErrNoStatus[] = L"下载失败：下载服务器没有应答状态，请稍后重试";
constexpr wchar_t kErrLocalFile[] = L"下载失败：无法创建文件 %s，请检查磁盘后重试";
constexpr wchar_t kErrRead[] = L"下载失败：接收数据时出错，请检查网络连接后重试";
constexpr wchar_t kErrWrite[] = L"下载失败：写入文件 %s 时出错，请检查磁盘空间后重试";
constexpr wchar_t kErrShort[] = L"下载失败：下载的数据不完整（收到 %s），请检查网络连接后重试";
constexpr wchar_t kErrLong[] = L"下载失败：下载的数据多于服务器所说的大小（收到 %s），请稍后重试";

constexpr DWORD kConnectTimeout = 30000;
constexpr DWORD kConnectBackoff = 1000;
constexpr DWORD kConnectRetries = 1;
constexpr DWORD_PTR kRequestContext = 1;

std::wstring Format(const wchar_t* pattern, const std::wstring& value) {
    std::vector<wchar_t> text(wcslen(pattern) + value.size() + 1);
    _snwprintf(text.data(), text.size(), pattern, value.c_str());
    text.back() = L'\0';
    return text.data();
}

std::wstring QueryText(HINTERNET response, DWORD what) {
    wchar_t text[64] = {};
    DWORD size = sizeof text - sizeof(wchar_t);
    if (!::HttpQueryInfoW(response, what, text, &size, nullptr))
        return std::wstring();
    return std::wstring(text, size / sizeof(wchar_t));
}

// The window after a failed download: the partial file gone, the animation
// stopped, the failure told, and the download offered again. A window that
// is closing is left alone.
void DownloadFailed(CInstallOrvexDlg& dlg, const PackageInfo& package, const std::wstring& words) {
    ::DeleteFileW(package.localPath);
    dlg.StopAnimation();
    if (!dlg.WorkerMessage(words.c_str()))
        return;
    // Only while the device is still the single one: a removal meanwhile has
    // shown its own state, which the offer must not cover.
    if (dlg.DeviceList().size() == 1) {
        dlg.ShowState(1);
        dlg.EnableInstallButton(true);
    }
}

} // namespace

std::wstring FormatByteSize(uint32_t count) {
    wchar_t text[32] = {};
    if (count < 1024u)
        _snwprintf(text, 31, L"%u B", count);
    else if (count < 1048576u)
        _snwprintf(text, 31, L"%.2f K", count / 1024.0);
    else if (count < 1073741824u)
        _snwprintf(text, 31, L"%.2f M", count / 1048576.0);
    else
        _snwprintf(text, 31, L"%.2f G", count / 1073741824.0);
    return text;
}

std::wstring DownloadProgressText(uint32_t done, uint32_t total) {
    return FormatByteSize(done) + L"/" + FormatByteSize(total);
}

double DownloadFraction(int32_t done, int32_t total) { return total ? static_cast<double>(done) / total : 0.0; }

int32_t ParseContentLength(const std::wstring& header) {
    int64_t total = 0;
    for (wchar_t c : header) {
        if (c < L'0' || c > L'9')
            break;
        total = total * 10 + (c - L'0');
        if (total > INT32_MAX)
            return INT32_MAX;
    }
    return static_cast<int32_t>(total);
}

namespace download {

InternetHandle OpenSession() {
    InternetHandle session(
        CurrentInstallerCalls().internetOpen(AppName().c_str(), INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
    if (!session)
        return session;
    const struct {
        DWORD option;
        DWORD value;
    } options[] = {
        {INTERNET_OPTION_CONNECT_TIMEOUT, kConnectTimeout},
        {INTERNET_OPTION_CONNECT_BACKOFF, kConnectBackoff},
        {INTERNET_OPTION_CONNECT_RETRIES, kConnectRetries},
    };
    for (const auto& item : options) {
        DWORD value = item.value;
        ::InternetSetOptionExW(session.get(), item.option, &value, sizeof value, 0);
    }
    return session;
}

HINTERNET OpenRequest(HINTERNET session, const std::wstring& url) {
    const DWORD flags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_DONT_CACHE | INTERNET_FLAG_TRANSFER_BINARY;
    return ::InternetOpenUrlW(session, url.c_str(), nullptr, 0, flags, kRequestContext);
}

InternetHandle OpenAddress(HINTERNET session, const std::wstring& url) {
    return InternetHandle(OpenRequest(session, url));
}

std::wstring StatusCode(HINTERNET response) { return QueryText(response, HTTP_QUERY_STATUS_CODE); }

std::wstring ContentLengthHeader(HINTERNET response) { return QueryText(response, HTTP_QUERY_CONTENT_LENGTH); }

CopyEnd CopyBody(HINTERNET response, HANDLE file, const std::function<bool()>& goOn,
                 const std::function<void(DWORD)>& written, DownloadLink* link, const std::function<DWORD()>& waiting) {
    // The chunk belongs to the read: after a cancel the read may still
    // fill it when this copy has long ended.
    struct Chunk {
        std::vector<char> bytes = std::vector<char>(kChunkSize);
        DWORD got = 0;
        BOOL ok = FALSE;
    };
    for (;;) {
        auto chunk = std::make_shared<Chunk>();
        auto read = [response, chunk]() -> HINTERNET {
            chunk->ok = ::InternetReadFile(response, chunk->bytes.data(), kChunkSize, &chunk->got);
            return nullptr;
        };
        if (link) {
            if (!link->Run(read, waiting))
                return CopyEnd::Cancelled;
        } else {
            read();
        }
        if (!chunk->ok)
            return goOn() ? CopyEnd::ReadFailed : CopyEnd::Cancelled;
        if (chunk->got == 0)
            return CopyEnd::Complete;
        if (!goOn())
            return CopyEnd::Cancelled;
        DWORD put = 0;
        if (!::WriteFile(file, chunk->bytes.data(), chunk->got, &put, nullptr) || put != chunk->got)
            return CopyEnd::WriteFailed;
        written(chunk->got);
    }
}

ProgressPacer::ProgressPacer(DWORD interval, std::function<void(int32_t)> show, std::function<DWORD()> clock)
    : m_interval(interval), m_show(std::move(show)), m_clock(std::move(clock)) {}

void ProgressPacer::Update(int32_t count, bool now) {
    m_latest = count;
    m_kept = false;
    if (m_handed && count == m_shown)
        return;
    if (now || !m_handed || m_clock() - m_handedAt >= m_interval)
        Hand(count);
    else
        m_kept = true;
}

DWORD ProgressPacer::Due() {
    if (!m_kept)
        return INFINITE;
    const DWORD since = m_clock() - m_handedAt;
    if (since < m_interval)
        return m_interval - since;
    Hand(m_latest);
    return INFINITE;
}

void ProgressPacer::Hand(int32_t count) {
    m_kept = false;
    m_handed = true;
    m_shown = count;
    m_handedAt = m_clock();
    m_show(count);
}

std::wstring PackageAddress(PackageClass packageClass) {
    return std::wstring(web::kDownloadServer) + PackageFor(packageClass).downloadPath;
}

} // namespace download

namespace {

// The download's steps with its handles held by the link; false when the
// worker must end (told already, or the window is closing).
bool Fetch(CInstallOrvexDlg& dlg, DownloadLink& link, PackageClass packageClass, DWORD progressInterval) {
    using namespace download;
    const PackageInfo& package = PackageFor(packageClass);
    // The window closing: the partial file goes, nothing is shown.
    auto closing = [&dlg, &package] {
        dlg.m_bDownloading = false;
        ::DeleteFileW(package.localPath);
        dlg.StopAnimation();
        return false;
    };
    InternetHandle opened = OpenSession();
    if (!opened) {
        DownloadFailed(dlg, package, kErrSession);
        return false;
    }
    const HINTERNET session = opened.get();
    if (!link.Adopt(opened.release()))
        return closing();
    auto request = std::make_shared<HINTERNET>(nullptr);
    const std::wstring address = PackageAddress(packageClass);
    if (!link.Run([session, address, request] { return *request = OpenRequest(session, address); }))
        return closing();
    const HINTERNET response = *request;
    if (!response) {
        if (link.Cancelled() || dlg.Closing())
            return closing();
        DownloadFailed(dlg, package, kErrAddress);
        return false;
    }
    std::wstring status = StatusCode(response);
    if (status == L"407") {
        // The proxy asks for credentials; the request goes once more without.
        if (!dlg.WorkerMessage(kProxyAuthentication))
            return closing();
        auto sent = std::make_shared<BOOL>(FALSE);
        if (!link.Run([response, sent]() -> HINTERNET {
                *sent = ::HttpSendRequestW(response, nullptr, 0, nullptr, 0);
                return nullptr;
            }))
            return closing();
        if (!*sent) {
            link.CloseHandles();
            DownloadFailed(dlg, package, kErrResend);
            return false;
        }
        status = StatusCode(response);
    }
    if (status != L"200") {
        link.CloseHandles();
        DownloadFailed(dlg, package, status.empty() ? std::wstring(kErrNoStatus) : Format(kErrStatus, status));
        return false;
    }

    const int32_t total = ParseContentLength(ContentLengthHeader(response));
    if (total == 0) {
        // Nothing to fetch: the install ends without a word.
        link.CloseHandles();
        ::DeleteFileW(package.localPath);
        dlg.StopAnimation();
        return false;
    }
    dlg.m_nDownloadTotal = total;
    dlg.m_nDownloaded = 0;
    dlg.StartAnimation();

    CopyEnd end = CopyEnd::Cancelled;
    {
        UniqueHandle file(
            ::CreateFileW(package.localPath, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file) {
            DownloadFailed(dlg, package, Format(kErrLocalFile, package.localPath));
            return false;
        }
        dlg.m_bDownloading = true;
        // A close that came before the flag was raised still counts.
        auto goOn = [&dlg, &link] { return dlg.m_bDownloading && !dlg.Closing() && !link.Cancelled(); };
        // The window shows what has arrived: every chunk's count, no more
        // often than the window can sensibly show it, and a count kept back
        // by that is handed over while the next read still waits for the
        // server. The whole size and the last count go over at once.
        ProgressPacer pacer(progressInterval, [&dlg, total](int32_t done) {
            dlg.ShowProgress(DownloadProgressText(static_cast<uint32_t>(done), static_cast<uint32_t>(total)),
                             DownloadFraction(done, total));
        });
        auto written = [&dlg, total, &pacer](DWORD bytes) {
            const int32_t done = dlg.m_nDownloaded += static_cast<int32_t>(bytes);
            pacer.Update(done, done >= total);
        };
        end = CopyBody(response, file.get(), goOn, written, &link, [&pacer] { return pacer.Due(); });
        if (end == CopyEnd::Complete)
            pacer.Update(dlg.m_nDownloaded, true);
    }
    link.CloseHandles();

    const bool cancelled = !dlg.m_bDownloading || dlg.Closing() || link.Cancelled();
    if (cancelled || end == CopyEnd::Cancelled)
        return closing();
    dlg.m_bDownloading = false;
    if (end == CopyEnd::ReadFailed) {
        DownloadFailed(dlg, package, kErrRead);
        return false;
    }
    if (end == CopyEnd::WriteFailed) {
        DownloadFailed(dlg, package, Format(kErrWrite, package.localPath));
        return false;
    }
    // Complete means every announced byte: a server that closes early looks
    // to WinINet like the body's end, and a cut package must never reach the
    // device.
    const int32_t received = dlg.m_nDownloaded;
    if (received != total) {
        const std::wstring counts = std::to_wstring(received) + L"/" + std::to_wstring(total) + L" 字节";
        DownloadFailed(dlg, package, Format(received < total ? kErrShort : kErrLong, counts));
        return false;
    }
    dlg.m_bDownloaded = true;
    return true;
}

} // namespace

bool DownloadPackage(CInstallOrvexDlg& dlg, PackageClass packageClass, DWORD progressInterval) {
    std::shared_ptr<DownloadLink> link = dlg.DownloadLinkOf();
    const bool done = Fetch(dlg, *link, packageClass, progressInterval);
    link->CloseHandles();
    return done;
}
