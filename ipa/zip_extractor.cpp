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
#include <cstring>
#include <cwchar>
#include <mutex>

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
// The most name text (UTF-16 units) a listing of the entries keeps.
constexpr size_t kMaxListedNameUnits = 4 * 1024 * 1024;

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

// Appends a stored entry name (UTF-8) as UTF-16 with "\" for "/"; names in
// plain ASCII, most of them, without a conversion call.
void AppendEntryName(const char* bytes, size_t length, std::vector<wchar_t>* out) {
    bool ascii = true;
    for (size_t i = 0; i < length && ascii; ++i)
        ascii = (static_cast<unsigned char>(bytes[i]) & 0x80) == 0;
    if (ascii) {
        for (size_t i = 0; i < length; ++i)
            out->push_back(bytes[i] == '/' ? L'\\' : static_cast<wchar_t>(static_cast<unsigned char>(bytes[i])));
        return;
    }
    for (wchar_t c : Utf8ToWide(bytes, length))
        out->push_back(c == L'/' ? L'\\' : c);
}

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
    // Called for every entry of every pass: no copies.
    const wchar_t* entry = name ? name : L"";
    const wchar_t* slash = std::wcsrchr(entry, L'\\');
    const wchar_t* last = slash ? slash + 1 : entry;
    const wchar_t* target = m_pTargetName ? m_pTargetName : L"";
    for (; *last && *target; ++last, ++target) {
        if (AsciiLower(*last) != AsciiLower(*target))
            return 3;
    }
    return *last == *target ? 1 : 3;
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
    FillCachedWin32FileFunctions(&files, &m_file);
    m_hZip = unzOpen2_64(archivePath, &files);
    if (!m_hZip)
        return 0;
    // What tells this archive file from another, or from itself changed.
    m_opened = Stamp{};
    WIN32_FILE_ATTRIBUTE_DATA data;
    unz_global_info64 global;
    if (::GetFileAttributesExW(archivePath, GetFileExInfoStandard, &data) &&
        unzGetGlobalInfo64(Zip(m_hZip), &global) == UNZ_OK) {
        m_opened.path = archivePath;
        m_opened.size = (uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow;
        m_opened.written = (uint64_t{data.ftLastWriteTime.dwHighDateTime} << 32) | data.ftLastWriteTime.dwLowDateTime;
        m_opened.entries = global.number_entry;
    }
    return 1;
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
    if (!m_hZip) {
        Message(kOpenFailed);
        return 0;
    }
    std::wstring destination = destinationFolder ? destinationFolder : L"";
    std::vector<char> buffer(kChunkBytes);
    m_nExistingState = 1;
    const bool listed = m_listed && !m_opened.path.empty() && m_opened == m_listedStamp;
    if (listed || TakeSharedListing() || ListDirectory())
        return WalkListed(destination, buffer);
    return WalkDirectory(destination, buffer);
}

namespace {

constexpr uint32_t kHeaderSignature = 0x02014b50;
constexpr uint32_t kEndSignature = 0x06054b50;
constexpr uint32_t kEnd64LocatorSignature = 0x07064b50;
constexpr size_t kHeaderBytes = 46, kEndBytes = 22;
constexpr uint64_t kMaxBack = 0xffff; // how far from the end minizip looks for the end record
constexpr size_t kMaxDirectoryBytes = 16 * 1024 * 1024;

uint32_t Le16(const uint8_t* p) { return uint32_t{p[0]} | (uint32_t{p[1]} << 8); }
uint32_t Le32(const uint8_t* p) { return Le16(p) | (Le16(p + 2) << 16); }

// Where minizip finds the end record: its backward search, block by block
// (the blocks overlap so that a few positions are never looked at: so be
// it, here too). `tail` holds the last bytes of the file from `tailStart`.
// 0 when there is none.
uint64_t FindEndRecord(const std::vector<uint8_t>& tail, uint64_t tailStart, uint64_t size) {
    const uint64_t maxBack = std::min<uint64_t>(kMaxBack, size);
    const uint64_t block = 0x400;
    uint64_t backRead = 4;
    while (backRead < maxBack) {
        backRead = backRead + block > maxBack ? maxBack : backRead + block;
        const uint64_t readPos = size - backRead;
        const int readSize = static_cast<int>(std::min<uint64_t>(block + 4, size - readPos));
        const uint8_t* bytes = tail.data() + (readPos - tailStart);
        for (int i = readSize - 3; (i--) > 0;) {
            if (Le32(bytes + i) == kEndSignature)
                return readPos + static_cast<unsigned>(i);
        }
    }
    return 0;
}

} // namespace

namespace {
std::mutex g_sharedListingLock;
} // namespace

ZipExtractor::Listing& ZipExtractor::SharedListing() {
    static Listing listing;
    return listing;
}

bool ZipExtractor::TakeSharedListing() {
    if (m_opened.path.empty())
        return false;
    std::lock_guard<std::mutex> guard(g_sharedListingLock);
    const Listing& shared = SharedListing();
    if (shared.entries.empty() || !(shared.stamp == m_opened))
        return false;
    m_entries = shared.entries;
    m_names = shared.names;
    m_listed = true;
    m_listedStamp = m_opened;
    return true;
}

void ZipExtractor::KeepSharedListing() const {
    std::lock_guard<std::mutex> guard(g_sharedListingLock);
    Listing& shared = SharedListing();
    shared.stamp = m_listedStamp;
    shared.entries = m_entries;
    shared.names = m_names;
}

// Reads the central directory in one go and lists its entries, exactly as
// a walk with minizip would find them. Only plain directories are read so:
// no zip64 records or sizes, no extra field minizip would read past the end
// of the file in, between 1 and 65534 entries. Anything else, or a first
// entry minizip describes otherwise, gives false: minizip walks it.
bool ZipExtractor::ListDirectory() {
    if (!m_file || m_opened.path.empty() || m_opened.entries == 0 || m_opened.entries >= 0xffff)
        return false;
    const uint64_t size = ArchiveSize(m_file);
    const uint64_t tailStart = size - std::min<uint64_t>(kMaxBack, size);
    std::vector<uint8_t> tail(static_cast<size_t>(size - tailStart));
    if (tail.empty() || !ReadArchive(m_file, tailStart, tail.data(), tail.size()))
        return false;
    for (size_t i = 0; i + 4 <= tail.size(); ++i) {
        if (Le32(tail.data() + i) == kEnd64LocatorSignature)
            return false;
    }
    const uint64_t end = FindEndRecord(tail, tailStart, size);
    if (end == 0 || size - end < kEndBytes)
        return false;
    const uint8_t* record = tail.data() + (end - tailStart);
    const uint64_t count = Le16(record + 8), directorySize = Le32(record + 12), directoryOffset = Le32(record + 16);
    if (count != m_opened.entries || end < directoryOffset + directorySize)
        return false;
    // Bytes before the archive proper (a program in front of it) move every offset.
    const uint64_t start = end - directorySize;
    if (size - start > kMaxDirectoryBytes)
        return false;
    std::vector<uint8_t> bytes(static_cast<size_t>(size - start));
    if (!ReadArchive(m_file, start, bytes.data(), bytes.size()))
        return false;

    std::vector<Entry> entries;
    std::vector<wchar_t> names;
    entries.reserve(static_cast<size_t>(count));
    uint64_t at = 0;
    for (uint64_t index = 0; index < count; ++index) {
        if (at > bytes.size() || bytes.size() - at < kHeaderBytes)
            return false;
        const uint8_t* header = bytes.data() + at;
        if (Le32(header) != kHeaderSignature || Le32(header + 20) == 0xffffffff || Le32(header + 24) == 0xffffffff ||
            Le32(header + 42) == 0xffffffff)
            return false;
        const size_t nameLength = Le16(header + 28), extraLength = Le16(header + 30), commentLength = Le16(header + 32);
        if (bytes.size() - at - kHeaderBytes < nameLength)
            return false;
        // minizip reads each extra block's id and size: none may lie past
        // the end of the file, and a zip64 block is minizip's to read.
        const uint64_t extraAt = at + kHeaderBytes + nameLength;
        for (uint64_t used = 0; used < extraLength;) {
            const uint64_t block = extraAt + used;
            if (block > bytes.size() || bytes.size() - block < 4 || Le16(bytes.data() + block) == 0x0001)
                return false;
            used += 4 + Le16(bytes.data() + block + 2);
        }
        const char* stored = reinterpret_cast<const char*>(header + kHeaderBytes);
        Entry entry;
        entry.isFolder = nameLength > 0 && (stored[nameLength - 1] == '/' || stored[nameLength - 1] == '\\');
        entry.uncompressedSize = Le32(header + 24);
        entry.directoryOffset = directoryOffset + at;
        entry.index = index;
        entry.name = names.size();
        AppendEntryName(stored, nameLength, &names);
        entry.length = names.size() - entry.name;
        names.push_back(L'\0');
        if (names.size() > kMaxListedNameUnits)
            return false;
        entries.push_back(entry);
        at += kHeaderBytes + nameLength + extraLength + commentLength;
    }

    // minizip must see the first entry where and as it was read here.
    unzFile zip = Zip(m_hZip);
    unz_file_info64 info;
    unz64_file_pos position;
    m_nameBuffer.resize(65536);
    if (unzGoToFirstFile(zip) != UNZ_OK ||
        unzGetCurrentFileInfo64(zip, &info, m_nameBuffer.data(), static_cast<uLong>(m_nameBuffer.size()), nullptr, 0,
                                nullptr, 0) != UNZ_OK ||
        unzGetFilePos64(zip, &position) != UNZ_OK)
        return false;
    const uint8_t* first = bytes.data();
    if (position.pos_in_zip_directory != directoryOffset || info.size_filename != Le16(first + 28) ||
        info.uncompressed_size != entries[0].uncompressedSize ||
        std::memcmp(m_nameBuffer.data(), first + kHeaderBytes, info.size_filename) != 0)
        return false;
    m_entries = std::move(entries);
    m_names = std::move(names);
    m_listed = true;
    m_listedStamp = m_opened;
    KeepSharedListing();
    return true;
}

// Walks the central directory with minizip, listing the entries as it goes;
// the list counts once the walk has reached the last entry.
int ZipExtractor::WalkDirectory(const std::wstring& destination, std::vector<char>& buffer) {
    unzFile zip = Zip(m_hZip);
    if (unzGoToFirstFile(zip) != UNZ_OK) {
        Message(kOpenFailed);
        return 0;
    }
    // Stored names are at most 65535 bytes: one read gives the whole name.
    m_nameBuffer.resize(65536);
    m_listed = false;
    m_entries.clear();
    m_names.clear();
    bool listing = !m_opened.path.empty();
    int result = 1;
    for (;;) {
        if (!listing)
            m_names.clear();
        Entry entry;
        if (!ReadCurrent(&entry)) {
            Message(kInfoFailed);
            return 0;
        }
        if (listing && m_names.size() > kMaxListedNameUnits) {
            listing = false;
            m_entries.clear();
        }
        if (listing)
            m_entries.push_back(entry);
        if (ExtractEntry(entry, true, destination, buffer, &result) == Step::Stop)
            return result;
        int next = unzGoToNextFile(zip);
        if (next == UNZ_END_OF_LIST_OF_FILE && listing) {
            m_listed = true;
            m_listedStamp = m_opened;
            KeepSharedListing();
        }
        if (next != UNZ_OK || !m_pDelegate->ShouldContinue())
            return result;
    }
}

// The same walk over the listed entries: the delegate sees the same calls.
int ZipExtractor::WalkListed(const std::wstring& destination, std::vector<char>& buffer) {
    int result = 1;
    for (size_t i = 0; i < m_entries.size(); ++i) {
        if (ExtractEntry(m_entries[i], false, destination, buffer, &result) == Step::Stop)
            return result;
        if (i + 1 == m_entries.size() || !m_pDelegate->ShouldContinue())
            return result;
    }
    return result;
}

// The current entry's description, its name appended to m_names.
bool ZipExtractor::ReadCurrent(Entry* entry) {
    // The information comes from the central directory; only an entry the
    // delegate accepts is opened (which reads its local header), so a walk
    // over thousands of entries reads little more than the directory.
    unzFile zip = Zip(m_hZip);
    unz_file_info64 info;
    unz64_file_pos position;
    if (unzGetCurrentFileInfo64(zip, &info, m_nameBuffer.data(), static_cast<uLong>(m_nameBuffer.size()), nullptr, 0,
                                nullptr, 0) != UNZ_OK ||
        unzGetFilePos64(zip, &position) != UNZ_OK)
        return false;
    const size_t storedLength = info.size_filename;
    entry->isFolder =
        storedLength > 0 && (m_nameBuffer[storedLength - 1] == '/' || m_nameBuffer[storedLength - 1] == '\\');
    entry->uncompressedSize = info.uncompressed_size;
    entry->directoryOffset = position.pos_in_zip_directory;
    entry->index = position.num_of_file;
    entry->name = m_names.size();
    AppendEntryName(m_nameBuffer.data(), storedLength, &m_names);
    entry->length = m_names.size() - entry->name;
    m_names.push_back(L'\0');
    return true;
}

// `positioned`: minizip stands on the entry already (the directory walk);
// otherwise it is moved there when the entry is to be opened.
ZipExtractor::Step ZipExtractor::ExtractEntry(const Entry& entry, bool positioned, const std::wstring& destination,
                                              std::vector<char>& buffer, int* result) {
    int filter = m_pDelegate->OnFilterEntry(m_names.data() + entry.name);
    if (filter != 1 && filter != 2)
        return Step::Next;
    const std::wstring name(m_names.data() + entry.name, entry.length);
    const bool isFolder = entry.isFolder;
    if (!IsSafeEntryName(name)) {
        Message(kUnsafeName, name);
        return Step::Next;
    }
    if (!isFolder && entry.uncompressedSize > kMaxEntryBytes) {
        Message(kTooLarge, name);
        return Step::Next;
    }
    unzFile zip = Zip(m_hZip);
    unz64_file_pos position{entry.directoryOffset, entry.index};
    if ((!positioned && unzGoToFilePos64(zip, &position) != UNZ_OK) ||
        unzOpenCurrentFilePassword(zip, nullptr) != UNZ_OK) {
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
