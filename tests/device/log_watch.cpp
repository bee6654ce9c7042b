#include "tests/device/log_watch.h"

#include "platform/loader_log.h"
#include "platform/text.h"
#include "tests/support/test_util.h"

#include <windows.h>

#include <shlobj.h>

#include <algorithm>
#include <cwchar>

namespace testutil {

namespace {

std::wstring LogFolder() {
    wchar_t documents[MAX_PATH] = {};
    if (FAILED(::SHGetFolderPathW(nullptr, CSIDL_PERSONAL, nullptr, SHGFP_TYPE_CURRENT, documents)))
        return std::wstring();
    return std::wstring(documents) + L"\\Tevrin\\Logs";
}

uint64_t FileSize(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data))
        return 0;
    return (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

// The messages of `bytes` (complete lines only), prefixes cut off.
void SplitMessages(const std::string& bytes, std::vector<std::wstring>* out) {
    const size_t kPrefix = 21; // "YYYY-MM-DD HH:MM:SS: "
    size_t start = 0;
    for (;;) {
        size_t end = bytes.find("\r\n", start);
        if (end == std::string::npos)
            break;
        std::string line = bytes.substr(start, end - start);
        out->push_back(Utf8ToWide(line.size() >= kPrefix ? line.substr(kPrefix).c_str() : line.c_str()));
        start = end + 2;
    }
}

} // namespace

std::wstring TodaysLogPath() {
    SYSTEMTIME now;
    ::GetLocalTime(&now);
    wchar_t name[32];
    std::swprintf(name, 32, L"%04u%02u%02u.log", now.wYear, now.wMonth, now.wDay);
    return LogFolder() + L"\\" + name;
}

LogWatch::LogWatch() { Restart(); }

void LogWatch::Restart() {
    m_file = TodaysLogPath();
    m_offset = FileSize(m_file);
}

std::vector<std::wstring> LogWatch::Messages() const {
    std::vector<std::wstring> messages;
    std::string bytes;
    if (ReadFileBytes(m_file, &bytes) && bytes.size() > m_offset)
        SplitMessages(bytes.substr(static_cast<size_t>(m_offset)), &messages);
    std::wstring today = TodaysLogPath();
    if (today != m_file && ReadFileBytes(today, &bytes)) // midnight passed meanwhile
        SplitMessages(bytes, &messages);
    return messages;
}

std::vector<std::wstring> LogWatch::LibraryMessages() const {
    std::vector<std::wstring> messages = Messages();
    messages.erase(std::remove_if(messages.begin(), messages.end(),
                                  [](const std::wstring& m) { return m.rfind(kBackendDetailLogPrefix, 0) == 0; }),
                   messages.end());
    return messages;
}

bool LogWatch::Saw(const std::wstring& message) const {
    std::vector<std::wstring> messages = Messages();
    return std::find(messages.begin(), messages.end(), message) != messages.end();
}

} // namespace testutil
