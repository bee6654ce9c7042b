#include "tools/orvexctl/daily_log.h"

#include "platform/handles.h"
#include "platform/loader_log.h"
#include "tools/orvexctl/output.h"

#include <shlobj.h>

#include <cwchar>

namespace orvexctl {

namespace {

// More than this much growth during one call is not printed whole.
const uint64_t kMostBytesRead = 1 << 20;

bool FileLength(const std::wstring& path, uint64_t* length) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data))
        return false;
    *length = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    return true;
}

// The bytes of `path` from `offset` on (at most kMostBytesRead of them).
std::string ReadFrom(const std::wstring& path, uint64_t offset) {
    UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        return std::string();
    LARGE_INTEGER size;
    if (!::GetFileSizeEx(file.get(), &size))
        return std::string();
    uint64_t length = static_cast<uint64_t>(size.QuadPart);
    if (length < offset)
        offset = 0; // the file was replaced meanwhile: all of it is new
    uint64_t want = length - offset;
    if (want > kMostBytesRead) {
        offset = length - kMostBytesRead;
        want = kMostBytesRead;
    }
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(offset);
    if (!::SetFilePointerEx(file.get(), at, nullptr, FILE_BEGIN))
        return std::string();
    std::string bytes(static_cast<size_t>(want), '\0');
    DWORD got = 0;
    if (want && !::ReadFile(file.get(), bytes.data(), static_cast<DWORD>(want), &got, nullptr))
        return std::string();
    bytes.resize(got);
    return bytes;
}

} // namespace

std::wstring DefaultLogFolder() {
    wchar_t documents[MAX_PATH] = {};
    if (FAILED(::SHGetFolderPathW(nullptr, CSIDL_PERSONAL, nullptr, SHGFP_TYPE_CURRENT, documents)))
        return std::wstring();
    std::wstring folder = documents;
    if (!folder.empty() && folder.back() == L'\\')
        folder.pop_back();
    return folder + L"\\Tevrin\\Logs";
}

LogWatch::LogWatch(std::wstring folder) : m_folder(folder.empty() ? DefaultLogFolder() : std::move(folder)) {}

std::wstring LogWatch::FileFor(const SYSTEMTIME& localDate) const {
    wchar_t name[32];
    std::swprintf(name, 32, L"%04u%02u%02u.log", localDate.wYear, localDate.wMonth, localDate.wDay);
    return m_folder + L"\\" + name;
}

void LogWatch::Mark() {
    SYSTEMTIME now;
    ::GetLocalTime(&now);
    m_markedFile = m_folder.empty() ? std::wstring() : FileFor(now);
    m_markedLength = 0;
    if (!m_markedFile.empty() && !FileLength(m_markedFile, &m_markedLength))
        m_markedLength = 0; // no line yet today: everything that comes is new
}

std::vector<std::wstring> LogWatch::NewLines() const {
    if (m_markedFile.empty())
        return {};
    std::string bytes = ReadFrom(m_markedFile, m_markedLength);
    SYSTEMTIME now;
    ::GetLocalTime(&now);
    std::wstring today = FileFor(now);
    if (today != m_markedFile) {
        if (!bytes.empty() && bytes.back() != '\n')
            bytes += '\n';
        bytes += ReadFrom(today, 0);
    }
    return SplitLogLines(bytes);
}

std::vector<std::wstring> SplitLogLines(const std::string& bytes) {
    std::vector<std::wstring> lines;
    size_t start = 0;
    while (start < bytes.size()) {
        size_t end = bytes.find('\n', start);
        if (end == std::string::npos)
            end = bytes.size();
        std::string line = bytes.substr(start, end - start);
        while (!line.empty() && (line.back() == '\r' || line.back() == ' '))
            line.pop_back();
        if (line.size() >= 3 && line.compare(0, 3, "\xEF\xBB\xBF") == 0)
            line.erase(0, 3);
        if (!line.empty())
            lines.push_back(FromUtf8(line));
        start = end + 1;
    }
    return lines;
}

std::wstring BackendNamedIn(const std::vector<std::wstring>& lines) {
    for (auto line = lines.rbegin(); line != lines.rend(); ++line) {
        if (line->find(kVendorLibrariesLogPrefix) != std::wstring::npos)
            return L"vendor";
        if (line->find(kBuiltInBackendLogPrefix) != std::wstring::npos)
            return L"built-in";
    }
    return L"unknown";
}

} // namespace orvexctl
