#include "platform/log.h"

#include "platform/file.h"
#include "platform/localtime.h"
#include "platform/seams.h"
#include "platform/text.h"

#include <windows.h>

#include <cstdio>

namespace {

bool EnsureFolder(const std::wstring& path) {
    return IsLocalDirectory(path) || ::CreateDirectoryW(path.c_str(), nullptr);
}

// "%Y%m%d.log"
std::wstring LogFileName(const SYSTEMTIME& t) {
    wchar_t text[32];
    std::swprintf(text, 32, L"%04u%02u%02u.log", t.wYear, t.wMonth, t.wDay);
    return text;
}

// "%Y-%m-%d %H:%M:%S: "
std::wstring LinePrefix(const SYSTEMTIME& t) {
    wchar_t text[32];
    std::swprintf(text, 32, L"%04u-%02u-%02u %02u:%02u:%02u: ", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute,
                  t.wSecond);
    return text;
}

void AppendLine(const std::wstring& path, const std::string& line) {
    UniqueHandle file(::CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        return;
    // One write per line, so lines of concurrent writers never interleave.
    DWORD written = 0;
    ::WriteFile(file.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}

void WriteLine(const wchar_t* message) {
    SYSTEMTIME now;
    if (!UnixSecondsToLocalTime(seams::Now(), &now))
        return;
    std::wstring documents = seams::DocumentsFolder();
    if (documents.empty())
        return;
    std::wstring tevrin = documents + L"\\Tevrin";
    if (!EnsureFolder(tevrin))
        return;
    std::wstring logs = tevrin + L"\\Logs";
    if (!EnsureFolder(logs))
        return;
    std::wstring line = LinePrefix(now) + (message ? message : L"") + L"\r\n";
    AppendLine(logs + L"\\" + LogFileName(now), WideToUtf8(line.c_str()));
}

} // namespace

void WriteDailyLog(const wchar_t* message) {
    try {
        WriteLine(message);
    } catch (...) {
        // The log never fails towards its caller.
    }
}

void WriteDailyLog(const std::wstring& message) { WriteDailyLog(message.c_str()); }
