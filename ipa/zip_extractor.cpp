#include "ipa/zip_extractor.h"

#include "ipa/ipa_exception.h"
#include "platform/file.h"
#include "platform/handles.h"
#include "platform/log.h"
#include "platform/text.h"

#include <windows.h>

#include "ipa/zip_file_io.h"

#include <algorithm>
#include <cstdlib>
#include <cwchar>

namespace {

// The five failure texts of a run, and the two notices of entries that are
// passed over for safety.
constexpr wchar_t kOpenFailed[] = L"打开压缩包或其中的条目失败";
constexpr wchar_t kInfoFailed[] = L"读取压缩包条目信息失败";
constexpr wchar_t kFolderFailed[] = L"创建解压目录失败: %s";
constexpr wchar_t kReadFailed[] = L"读取压缩包条目数据失败: %s";
constexpr wchar_t kParentFailed[] = L"创建文件所在目录失败: %s";
constexpr wchar_t kUnsafeName[] = L"跳过会解压到目标目录之外的条目: %s";
constexpr wchar_t kTooLarge[] = L"跳过超过64MB的条目: %s";

constexpr size_t kChunkBytes = 4096;

unzFile Zip(void* handle) { return static_cast<unzFile>(handle); }

wchar_t AsciiLower(wchar_t c) { return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c + (L'a' - L'A')) : c; }

std::wstring AsciiLower(std::wstring text) {
    for (wchar_t& c : text)
        c = AsciiLower(c);
    return text;
}

bool IsReservedDeviceName(const std::wstring& component) {
    // The device names apply whatever follows a ".", and trailing blanks of
    // the base name are ignored.
    std::wstring base = AsciiLower(component.substr(0, component.find(L'.')));
    while (!base.empty() && base.back() == L' ')
        base.pop_back();
    static const wchar_t* const kNames[] = {L"con", L"prn", L"aux", L"nul", L"conin$", L"conout$"};
    for (const wchar_t* name : kNames) {
        if (base == name)
            return true;
    }
    if (base.size() == 4 && (base.compare(0, 3, L"com") == 0 || base.compare(0, 3, L"lpt") == 0)) {
        wchar_t digit = base[3];
        return (digit >= L'0' && digit <= L'9') || digit == L'\u00b9' || digit == L'\u00b2' || digit == L'\u00b3';
    }
    return false;
}

bool IsSafeComponent(const std::wstring& component) {
    if (component.empty() || component == L"." || component == L"..")
        return false;
    if (component.back() == L'.' || component.back() == L' ')
        return false;
    return !IsReservedDeviceName(component);
}

bool EndsWithSeparator(const std::wstring& path) { return !path.empty() && path.back() == L'\\'; }

} // namespace

bool IsSafeEntryName(const std::wstring& name) {
    if (name.empty() || name.front() == L'\\')
        return false;
    for (wchar_t c : name) {
        if (c < 0x20 || std::wcschr(L"<>:\"|?*/", c))
            return false;
    }
    // A folder entry ends in "\": its last component is the one before.
    size_t end = EndsWithSeparator(name) ? name.size() - 1 : name.size();
    size_t start = 0;
    while (start <= end) {
        size_t separator = name.find(L'\\', start);
        if (separator == std::wstring::npos || separator > end)
            separator = end;
        if (!IsSafeComponent(name.substr(start, separator - start)))
            return false;
        start = separator + 1;
    }
    return true;
}

// ---- SingleFileZipDelegate ------------------------------------------------

SingleFileZipDelegate::~SingleFileZipDelegate() { std::free(m_pTargetName); }

void SingleFileZipDelegate::SetTargetName(const wchar_t* name) {
    std::free(m_pTargetName);
    m_pTargetName = name ? ::_wcsdup(name) : nullptr;
}

int SingleFileZipDelegate::OnMessage(const wchar_t* text) {
    WriteDailyLog(text);
    return 1;
}

int SingleFileZipDelegate::OnQuery(const wchar_t*) { return 1; }

int SingleFileZipDelegate::OnFileExists(const wchar_t*) { return 1; }

int SingleFileZipDelegate::OnFilterEntry(const wchar_t* name) {
    std::wstring entry = name ? name : L"";
    size_t slash = entry.rfind(L'\\');
    std::wstring last = slash == std::wstring::npos ? entry : entry.substr(slash + 1);
    std::wstring target = m_pTargetName ? m_pTargetName : L"";
    return AsciiLower(last) == AsciiLower(target) ? 1 : 3;
}

int SingleFileZipDelegate::OnEntryExtracted(const wchar_t*) { return 0; }

int SingleFileZipDelegate::OnEntrySkipped(const wchar_t*) { return 1; }

void SingleFileZipDelegate::OnCancelled() {}

int SingleFileZipDelegate::ShouldContinue() { return 1; }

// ---- ZipExtractor ---------------------------------------------------------

ZipExtractor::~ZipExtractor() { CloseArchive(); }

int ZipExtractor::OpenArchive(const wchar_t* archivePath) {
    CloseArchive();
    if (!archivePath || !*archivePath)
        return 0;
    zlib_filefunc64_def files;
    FillCachedWin32FileFunctions(&files);
    m_hZip = unzOpen2_64(archivePath, &files);
    return m_hZip ? 1 : 0;
}

int ZipExtractor::CloseArchive() {
    if (m_hZip) {
        unzCloseCurrentFile(Zip(m_hZip));
        unzClose(Zip(m_hZip));
        m_hZip = nullptr;
    }
    return 1;
}

int ZipExtractor::Message(const wchar_t* text) { return m_pDelegate->OnMessage(text); }

int ZipExtractor::Message(const wchar_t* format, const std::wstring& subject) {
    std::wstring text = format;
    size_t at = text.find(L"%s");
    if (at != std::wstring::npos)
        text.replace(at, 2, subject);
    return Message(text.c_str());
}

int ZipExtractor::ExtractAllTo(const wchar_t* destinationFolder) {
    if (!m_pDelegate)
        return 0;
    if (!m_hZip || unzGoToFirstFile(Zip(m_hZip)) != UNZ_OK) {
        Message(kOpenFailed);
        return 0;
    }
    std::wstring destination = destinationFolder ? destinationFolder : L"";
    std::vector<char> buffer(kChunkBytes);
    // Stored names are at most 65535 bytes: one read gives the whole name.
    m_nameBuffer.assign(65536, '\0');
    int result = 1;
    m_nExistingState = 1;
    for (;;) {
        if (ExtractCurrent(destination, buffer, &result) == Step::Stop)
            return result;
        if (unzGoToNextFile(Zip(m_hZip)) != UNZ_OK || !m_pDelegate->ShouldContinue())
            return result;
    }
}

ZipExtractor::Step ZipExtractor::ExtractCurrent(const std::wstring& destination, std::vector<char>& buffer,
                                                int* result) {
    // The information comes from the central directory; only an entry the
    // delegate accepts is opened (which reads its local header), so a walk
    // over thousands of entries reads little more than the directory.
    unzFile zip = Zip(m_hZip);
    unz_file_info64 info;
    if (unzGetCurrentFileInfo64(zip, &info, m_nameBuffer.data(), static_cast<uLong>(m_nameBuffer.size()), nullptr, 0,
                                nullptr, 0) != UNZ_OK) {
        Message(kInfoFailed);
        *result = 0;
        return Step::Stop;
    }
    const std::vector<char>& stored = m_nameBuffer;
    size_t storedLength = info.size_filename;
    bool isFolder = storedLength > 0 && (stored[storedLength - 1] == '/' || stored[storedLength - 1] == '\\');
    std::wstring name = Utf8ToWide(stored.data(), storedLength);
    for (wchar_t& c : name) {
        if (c == L'/')
            c = L'\\';
    }

    int filter = m_pDelegate->OnFilterEntry(name.c_str());
    if (filter != 1 && filter != 2)
        return Step::Next;
    if (!IsSafeEntryName(name)) {
        Message(kUnsafeName, name);
        return Step::Next;
    }
    if (!isFolder && info.uncompressed_size > kMaxEntryBytes) {
        Message(kTooLarge, name);
        return Step::Next;
    }
    if (unzOpenCurrentFilePassword(zip, nullptr) != UNZ_OK) {
        Message(kOpenFailed);
        *result = 0;
        return Step::Stop;
    }

    std::wstring target = destination;
    if (!target.empty() && !EndsWithSeparator(target))
        target += L'\\';
    target += name;

    if (!CreateFolderPath(isFolder ? target : destination)) {
        Message(kFolderFailed, isFolder ? target : destination);
        unzCloseCurrentFile(zip);
        *result = 0;
        return Step::Stop;
    }
    if (isFolder) {
        // A folder entry stores no data: its folder is all there is.
        unzCloseCurrentFile(zip);
        m_pDelegate->OnEntryExtracted(name.c_str());
        return Step::Next;
    }
    return WriteCurrent(name, target, buffer, result);
}

namespace {

void SetStoredTime(HANDLE file, const tm_unz& date) {
    SYSTEMTIME time = {};
    time.wYear = static_cast<WORD>(date.tm_year);
    time.wMonth = static_cast<WORD>(date.tm_mon + 1);
    time.wDay = static_cast<WORD>(date.tm_mday);
    time.wHour = static_cast<WORD>(date.tm_hour);
    time.wMinute = static_cast<WORD>(date.tm_min);
    time.wSecond = static_cast<WORD>(date.tm_sec);
    FILETIME written;
    if (::SystemTimeToFileTime(&time, &written))
        ::SetFileTime(file, nullptr, nullptr, &written);
}

void WriteAll(HANDLE file, const char* bytes, DWORD count, const std::wstring& target) {
    DWORD written = 0;
    if (!::WriteFile(file, bytes, count, &written, nullptr) || written != count)
        throw FileError(L"写入文件失败", target, ::GetLastError());
}

} // namespace

ZipExtractor::Step ZipExtractor::WriteCurrent(const std::wstring& name, const std::wstring& target,
                                              std::vector<char>& buffer, int* result) {
    unzFile zip = Zip(m_hZip);
    if (IsLocalFile(target)) {
        if (m_nExistingState == 1 || m_nExistingState == 3)
            m_nExistingState = m_pDelegate->OnFileExists(name.c_str());
        if (m_nExistingState == 0) {
            unzCloseCurrentFile(zip);
            m_pDelegate->OnCancelled();
            return Step::Stop;
        }
        if (m_nExistingState == 3 || m_nExistingState == 4) {
            unzCloseCurrentFile(zip);
            m_pDelegate->OnEntrySkipped(name.c_str());
            return Step::Next;
        }
    }

    int got = unzReadCurrentFile(zip, buffer.data(), static_cast<unsigned>(buffer.size()));
    if (got < 0) {
        Message(kReadFailed, name);
        unzCloseCurrentFile(zip);
        *result = 0;
        return Step::Stop;
    }
    size_t lastSeparator = target.rfind(L'\\');
    if (lastSeparator != std::wstring::npos && lastSeparator != 0 &&
        !CreateFolderPath(target.substr(0, lastSeparator))) {
        Message(kParentFailed, target.substr(0, lastSeparator));
        unzCloseCurrentFile(zip);
        *result = 0;
        return Step::Stop;
    }

    UniqueHandle file(
        ::CreateFileW(target.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        throw FileError(L"创建文件失败", target, ::GetLastError());
    uint64_t total = 0;
    while (got > 0) {
        total += static_cast<unsigned>(got);
        if (total > kMaxEntryBytes) {
            // More data than declared: never let it fill the disk.
            file.reset();
            ::DeleteFileW(target.c_str());
            Message(kTooLarge, name);
            unzCloseCurrentFile(zip);
            return Step::Next;
        }
        WriteAll(file.get(), buffer.data(), static_cast<DWORD>(got), target);
        got = unzReadCurrentFile(zip, buffer.data(), static_cast<unsigned>(buffer.size()));
    }
    unz_file_info64 info;
    if (unzGetCurrentFileInfo64(zip, &info, nullptr, 0, nullptr, 0, nullptr, 0) == UNZ_OK)
        SetStoredTime(file.get(), info.tmu_date);
    file.reset();
    unzCloseCurrentFile(zip);
    m_pDelegate->OnEntryExtracted(name.c_str());
    return Step::Next;
}

int ZipExtractor::IsDriveRoot(const std::wstring& path) {
    if (path == L"\\")
        return 1;
    size_t separator = path.find(L'\\');
    if (separator != std::wstring::npos && separator != path.size() - 1)
        return 0;
    return path.find(L':', 1) != std::wstring::npos ? 1 : 0;
}

namespace {

// Length of the part of a path that names a volume and is never created:
// "\\server\share\" of a UNC path, "\\?\" or "\\.\" with what follows up to
// the next "\" (a drive or "UNC\server\share"). 0 for other paths.
size_t VolumePrefixLength(const std::wstring& path) {
    if (path.compare(0, 2, L"\\\\") != 0)
        return 0;
    size_t skip = 2;
    if (path.compare(0, 4, L"\\\\?\\") == 0 || path.compare(0, 4, L"\\\\.\\") == 0) {
        skip = 4;
        if (AsciiLower(path.substr(4, 4)) != L"unc\\")
            return std::min(path.find(L'\\', skip), path.size());
        skip = 8;
    }
    size_t server = path.find(L'\\', skip);
    if (server == std::wstring::npos)
        return path.size();
    size_t share = path.find(L'\\', server + 1);
    return share == std::wstring::npos ? path.size() : share;
}

bool CreateLevel(const std::wstring& path) {
    return ::CreateDirectoryW(path.c_str(), nullptr) || ::GetLastError() == ERROR_ALREADY_EXISTS
               ? IsLocalDirectory(path)
               : false;
}

} // namespace

int ZipExtractor::CreateFolderPath(const std::wstring& folder) {
    if (folder.empty())
        return 0;
    if (IsDriveRoot(folder))
        return 1;
    std::wstring path = folder;
    if (EndsWithSeparator(path))
        path.pop_back();
    if (IsLocalDirectory(path))
        return 1;
    size_t volume = VolumePrefixLength(path);
    if (volume >= path.size())
        return 0;
    for (size_t separator = path.find(L'\\', volume + 1); separator != std::wstring::npos;
         separator = path.find(L'\\', separator + 1)) {
        std::wstring prefix = path.substr(0, separator);
        if (prefix.empty() || IsDriveRoot(prefix) || IsLocalDirectory(prefix))
            continue;
        if (!CreateLevel(prefix))
            return 0;
    }
    return CreateLevel(path) ? 1 : 0;
}
