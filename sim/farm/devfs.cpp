#include "sim/farm/devfs.h"

#include "platform/text.h"
#include "sim/farm/status.h"

#include <cwchar>
#include <cwctype>
#include <deque>

namespace simfarm {

const wchar_t kLinkSuffix[] = L".symlink";

namespace {

const size_t kLinkSuffixLength = 8;
const int kMaxLinkHops = 32;
const size_t kMaxLinkTarget = 4096;

bool EndsWithLinkSuffix(const std::wstring& name) {
    if (name.size() < kLinkSuffixLength)
        return false;
    return _wcsicmp(name.c_str() + name.size() - kLinkSuffixLength, kLinkSuffix) == 0;
}

bool EqualNoCase(const std::wstring& a, const std::wstring& b) {
    return a.size() == b.size() && _wcsicmp(a.c_str(), b.c_str()) == 0;
}

// Splits a device path into its components; empty ones (repeated or
// leading "/") are dropped.
std::deque<std::wstring> SplitPath(const std::string& path) {
    std::deque<std::wstring> parts;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos)
            end = path.size();
        if (end > start)
            parts.push_back(Utf8ToWide(path.data() + start, end - start));
        start = end + 1;
    }
    return parts;
}

std::string DecimalText(int64_t value) { return std::to_string(value); }

bool IsReservedDeviceName(const std::wstring& name) {
    std::wstring base = name.substr(0, name.find(L'.'));
    for (wchar_t& c : base)
        c = static_cast<wchar_t>(std::towupper(c));
    static const wchar_t* const reserved[] = {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$"};
    for (const wchar_t* r : reserved) {
        if (base == r)
            return true;
    }
    if (base.size() == 4 && (base.compare(0, 3, L"COM") == 0 || base.compare(0, 3, L"LPT") == 0) && base[3] >= L'0' &&
        base[3] <= L'9')
        return true;
    return false;
}

} // namespace

bool IsStorableName(const std::wstring& name) {
    if (name.empty() || name.size() > 255 || name == L"." || name == L"..")
        return false;
    for (wchar_t c : name) {
        if (c < 0x20 || std::wcschr(L"\\/:*?\"<>|", c))
            return false;
    }
    if (name.back() == L'.' || name.back() == L' ')
        return false;
    return !IsReservedDeviceName(name) && !EndsWithLinkSuffix(name);
}

int AfcStatusFromWin32(unsigned long error) {
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
        return kAfcObjectNotFound;
    case ERROR_ACCESS_DENIED:
        return kAfcPermissionDenied;
    case ERROR_ALREADY_EXISTS:
    case ERROR_FILE_EXISTS:
        return kAfcObjectExists;
    case ERROR_DIR_NOT_EMPTY:
        return kAfcDirectoryNotEmpty;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        return kAfcNoSpaceLeft;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
        return kAfcObjectBusy;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
        return kAfcNoResources;
    default:
        return kAfcIoError;
    }
}

int64_t FileTimeToUnixNanoseconds(const FILETIME& time) {
    int64_t ticks = static_cast<int64_t>((static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime);
    return (ticks - 116444736000000000LL) * 100;
}

DeviceFs::DeviceFs(const std::wstring& hostRoot) {
    m_root = hostRoot;
    while (!m_root.empty() && (m_root.back() == L'\\' || m_root.back() == L'/'))
        m_root.pop_back();
    if (m_root.compare(0, 4, L"\\\\?\\") != 0) {
        if (m_root.compare(0, 2, L"\\\\") == 0)
            m_root = L"\\\\?\\UNC\\" + m_root.substr(2);
        else
            m_root = L"\\\\?\\" + m_root;
    }
}

std::wstring DeviceFs::HostFolder(const std::vector<std::wstring>& components) const {
    std::wstring path = m_root;
    for (const std::wstring& c : components) {
        path += L'\\';
        path += c;
    }
    return path;
}

std::wstring DeviceFs::HostPath(const Location& location) const {
    if (location.name.empty())
        return HostFolder(location.parent);
    std::wstring path = HostFolder(location.parent) + L'\\' + location.name;
    if (location.kind == EntryKind::Link)
        path += kLinkSuffix;
    return path;
}

EntryKind DeviceFs::Probe(const std::wstring& folder, const std::wstring& name, std::string* linkTarget) const {
    if (!IsStorableName(name))
        return EntryKind::Missing;
    std::wstring path = folder + L'\\' + name;
    DWORD attributes = ::GetFileAttributesW(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES)
        return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? EntryKind::Folder : EntryKind::File;
    path += kLinkSuffix;
    UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, 0, nullptr));
    if (!file)
        return EntryKind::Missing;
    char buffer[kMaxLinkTarget];
    DWORD got = 0;
    if (!::ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr))
        got = 0;
    if (linkTarget)
        linkTarget->assign(buffer, got);
    return EntryKind::Link;
}

int DeviceFs::Confine(const std::string& devicePath) {
    Location where;
    m_jail.clear();
    int status = Resolve(devicePath, true, &where);
    if (status != kAfcSuccess)
        return status;
    if (where.kind != EntryKind::Folder)
        return kAfcObjectNotFound;
    std::vector<std::wstring> jail = where.parent;
    if (!where.name.empty())
        jail.push_back(where.name);
    m_jail = std::move(jail);
    return kAfcSuccess;
}

int DeviceFs::Resolve(const std::string& path, bool followLast, Location* out) const {
    std::deque<std::wstring> queue = SplitPath(path);
    std::vector<std::wstring> current = m_jail;
    int hops = 0;
    while (!queue.empty()) {
        std::wstring name = std::move(queue.front());
        queue.pop_front();
        if (name == L".")
            continue;
        if (name == L"..") {
            if (current.size() > m_jail.size())
                current.pop_back();
            continue;
        }
        const bool last = queue.empty();
        std::string target;
        EntryKind kind = Probe(HostFolder(current), name, &target);
        if (last && (kind != EntryKind::Link || !followLast)) {
            out->parent = std::move(current);
            out->name = std::move(name);
            out->kind = kind;
            out->linkTarget = std::move(target);
            return kAfcSuccess;
        }
        switch (kind) {
        case EntryKind::Missing:
        case EntryKind::File:
            return kAfcObjectNotFound;
        case EntryKind::Folder:
            current.push_back(std::move(name));
            break;
        case EntryKind::Link: {
            if (++hops > kMaxLinkHops)
                return kAfcTooManyLinks;
            if (target.empty())
                return kAfcObjectNotFound;
            std::deque<std::wstring> parts = SplitPath(target);
            queue.insert(queue.begin(), parts.begin(), parts.end());
            if (target[0] == '/')
                current = m_jail;
            break;
        }
        }
    }
    // The path names a folder reached through "." / ".." / links, or the root.
    out->linkTarget.clear();
    out->kind = EntryKind::Folder;
    if (current.size() == m_jail.size()) {
        out->parent = std::move(current);
        out->name.clear();
        return kAfcSuccess;
    }
    out->name = std::move(current.back());
    current.pop_back();
    out->parent = std::move(current);
    return kAfcSuccess;
}

int DeviceFs::Info(const std::string& path, KeyValues* out) const {
    Location where;
    int status = Resolve(path, false, &where);
    if (status != kAfcSuccess)
        return status;
    if (where.kind == EntryKind::Missing)
        return kAfcObjectNotFound;
    std::wstring host = HostPath(where);
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!::GetFileAttributesExW(host.c_str(), GetFileExInfoStandard, &data))
        return AfcStatusFromWin32(::GetLastError());
    int64_t size = static_cast<int64_t>((static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow);
    int64_t blocks = 0;
    int64_t links = 1;
    const char* format = "S_IFREG";
    if (where.kind == EntryKind::Folder) {
        std::vector<std::string> names;
        status = List(path, &names);
        if (status != kAfcSuccess)
            return status;
        // As the device's file system counts them: "." and ".." included.
        links = static_cast<int64_t>(names.size());
        size = links * 34;
        format = "S_IFDIR";
    } else if (where.kind == EntryKind::Link) {
        size = static_cast<int64_t>(where.linkTarget.size());
        format = "S_IFLNK";
    } else {
        blocks = (size + 4095) / 4096 * 8;
    }
    KeyValues keys;
    keys.emplace_back("st_size", DecimalText(size));
    keys.emplace_back("st_blocks", DecimalText(blocks));
    keys.emplace_back("st_nlink", DecimalText(links));
    keys.emplace_back("st_ifmt", format);
    keys.emplace_back("st_mtime", DecimalText(FileTimeToUnixNanoseconds(data.ftLastWriteTime)));
    keys.emplace_back("st_birthtime", DecimalText(FileTimeToUnixNanoseconds(data.ftCreationTime)));
    if (where.kind == EntryKind::Link)
        keys.emplace_back("LinkTarget", where.linkTarget);
    *out = std::move(keys);
    return kAfcSuccess;
}

int DeviceFs::List(const std::string& path, std::vector<std::string>* names) const {
    Location where;
    int status = Resolve(path, true, &where);
    if (status != kAfcSuccess)
        return status;
    if (where.kind == EntryKind::Missing)
        return kAfcObjectNotFound;
    if (where.kind != EntryKind::Folder)
        return kAfcInvalidArgument;
    std::wstring folder = HostPath(where);
    std::vector<std::wstring> plain, links;
    WIN32_FIND_DATAW entry;
    UniqueFindHandle find(::FindFirstFileW((folder + L"\\*").c_str(), &entry));
    if (!find) {
        DWORD error = ::GetLastError();
        if (error != ERROR_FILE_NOT_FOUND && error != ERROR_NO_MORE_FILES)
            return AfcStatusFromWin32(error);
    } else {
        do {
            std::wstring name = entry.cFileName;
            if (name == L"." || name == L"..")
                continue;
            if (EndsWithLinkSuffix(name) && !(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
                links.push_back(name.substr(0, name.size() - kLinkSuffixLength));
            else
                plain.push_back(std::move(name));
        } while (::FindNextFileW(find.get(), &entry));
    }
    std::vector<std::string> result = {".", ".."};
    for (const std::wstring& name : plain)
        result.push_back(WideToUtf8(name.c_str(), name.size()));
    for (const std::wstring& name : links) {
        bool shadowed = false;
        for (const std::wstring& p : plain)
            shadowed = shadowed || EqualNoCase(p, name);
        if (!shadowed && IsStorableName(name))
            result.push_back(WideToUtf8(name.c_str(), name.size()));
    }
    *names = std::move(result);
    return kAfcSuccess;
}

int DeviceFs::MakeFolder(const std::string& path) const {
    Location where;
    int status = Resolve(path, false, &where);
    if (status != kAfcSuccess)
        return status;
    if (where.kind == EntryKind::Folder)
        return kAfcSuccess;
    if (where.kind == EntryKind::Link) {
        Location target;
        if (Resolve(path, true, &target) == kAfcSuccess && target.kind == EntryKind::Folder)
            return kAfcSuccess;
        return kAfcObjectExists;
    }
    if (where.kind == EntryKind::File)
        return kAfcObjectExists;
    if (!IsStorableName(where.name))
        return kAfcInvalidArgument;
    if (!::CreateDirectoryW(HostPath(where).c_str(), nullptr))
        return AfcStatusFromWin32(::GetLastError());
    return kAfcSuccess;
}

int DeviceFs::Remove(const std::string& path) const {
    Location where;
    int status = Resolve(path, false, &where);
    if (status != kAfcSuccess)
        return status;
    if (where.kind == EntryKind::Missing)
        return kAfcObjectNotFound;
    if (where.name.empty())
        return kAfcPermissionDenied;
    std::wstring host = HostPath(where);
    if (where.kind == EntryKind::Folder) {
        if (!::RemoveDirectoryW(host.c_str())) {
            DWORD error = ::GetLastError();
            return error == ERROR_DIR_NOT_EMPTY ? kAfcDirectoryNotEmpty : AfcStatusFromWin32(error);
        }
        return kAfcSuccess;
    }
    ::SetFileAttributesW(host.c_str(), FILE_ATTRIBUTE_NORMAL);
    if (!::DeleteFileW(host.c_str()))
        return AfcStatusFromWin32(::GetLastError());
    return kAfcSuccess;
}

namespace {

bool IsInside(const std::vector<std::wstring>& inner, const std::vector<std::wstring>& outer) {
    if (inner.size() < outer.size())
        return false;
    for (size_t i = 0; i < outer.size(); ++i) {
        if (!EqualNoCase(inner[i], outer[i]))
            return false;
    }
    return true;
}

} // namespace

int DeviceFs::Rename(const std::string& from, const std::string& to) const {
    Location source, target;
    int status = Resolve(from, false, &source);
    if (status != kAfcSuccess)
        return status;
    if (source.kind == EntryKind::Missing)
        return kAfcObjectNotFound;
    status = Resolve(to, false, &target);
    if (status != kAfcSuccess)
        return status;
    if (source.name.empty() || target.name.empty())
        return kAfcPermissionDenied;
    if (!IsStorableName(target.name))
        return kAfcInvalidArgument;
    std::wstring sourceHost = HostPath(source);
    std::vector<std::wstring> sourceComponents = source.parent;
    sourceComponents.push_back(source.name);
    bool sameEntry = target.kind != EntryKind::Missing && EqualNoCase(HostPath(target), sourceHost);
    if (sameEntry && target.name == source.name)
        return kAfcSuccess;
    if (source.kind == EntryKind::Folder && !sameEntry) {
        std::vector<std::wstring> targetComponents = target.parent;
        targetComponents.push_back(target.name);
        if (IsInside(targetComponents, sourceComponents))
            return kAfcInvalidArgument;
    }
    if (target.kind != EntryKind::Missing && !sameEntry) {
        std::wstring targetHost = HostPath(target);
        if (target.kind == EntryKind::Folder) {
            if (source.kind != EntryKind::Folder)
                return kAfcObjectIsDirectory;
            if (!::RemoveDirectoryW(targetHost.c_str())) {
                DWORD error = ::GetLastError();
                return error == ERROR_DIR_NOT_EMPTY ? kAfcDirectoryNotEmpty : AfcStatusFromWin32(error);
            }
        } else {
            if (source.kind == EntryKind::Folder)
                return kAfcObjectExists;
            ::SetFileAttributesW(targetHost.c_str(), FILE_ATTRIBUTE_NORMAL);
            if (!::DeleteFileW(targetHost.c_str()))
                return AfcStatusFromWin32(::GetLastError());
        }
    }
    Location moved = target;
    moved.kind = source.kind;
    if (!::MoveFileExW(sourceHost.c_str(), HostPath(moved).c_str(), 0))
        return AfcStatusFromWin32(::GetLastError());
    return kAfcSuccess;
}

int DeviceFs::OpenFile(const std::string& path, uint64_t mode, UniqueHandle* out, bool* append) const {
    DWORD access = 0, disposition = 0;
    switch (mode) {
    case kModeRead:
        access = GENERIC_READ;
        disposition = OPEN_EXISTING;
        break;
    case kModeReadWrite:
        access = GENERIC_READ | GENERIC_WRITE;
        disposition = OPEN_EXISTING;
        break;
    case kModeWriteTruncate:
        access = GENERIC_WRITE;
        disposition = CREATE_ALWAYS;
        break;
    case kModeReadWriteTruncate:
        access = GENERIC_READ | GENERIC_WRITE;
        disposition = CREATE_ALWAYS;
        break;
    case kModeAppend:
        access = GENERIC_WRITE;
        disposition = OPEN_ALWAYS;
        break;
    case kModeReadAppend:
        access = GENERIC_READ | GENERIC_WRITE;
        disposition = OPEN_ALWAYS;
        break;
    default:
        return kAfcInvalidArgument;
    }
    Location where;
    int status = Resolve(path, true, &where);
    if (status != kAfcSuccess)
        return status;
    if (where.kind == EntryKind::Folder)
        return kAfcObjectIsDirectory;
    if (where.kind == EntryKind::Missing) {
        if (disposition == OPEN_EXISTING)
            return kAfcObjectNotFound;
        if (!IsStorableName(where.name))
            return kAfcInvalidArgument;
    }
    std::wstring host = HostPath(where);
    if (disposition == CREATE_ALWAYS)
        ::SetFileAttributesW(host.c_str(), FILE_ATTRIBUTE_NORMAL);
    UniqueHandle file(::CreateFileW(host.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        return AfcStatusFromWin32(::GetLastError());
    *out = std::move(file);
    if (append)
        *append = mode == kModeAppend || mode == kModeReadAppend;
    return kAfcSuccess;
}

int DeviceFs::MakeLink(const std::string& target, const std::string& path) const {
    if (target.empty() || target.size() > kMaxLinkTarget)
        return kAfcInvalidArgument;
    Location where;
    int status = Resolve(path, false, &where);
    if (status != kAfcSuccess)
        return status;
    if (where.kind != EntryKind::Missing)
        return kAfcObjectExists;
    if (!IsStorableName(where.name))
        return kAfcInvalidArgument;
    where.kind = EntryKind::Link;
    UniqueHandle file(
        ::CreateFileW(HostPath(where).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        return AfcStatusFromWin32(::GetLastError());
    DWORD written = 0;
    if (!::WriteFile(file.get(), target.data(), static_cast<DWORD>(target.size()), &written, nullptr) ||
        written != target.size())
        return kAfcWriteError;
    return kAfcSuccess;
}

int DeviceFs::WriteWholeFile(const std::string& path, const std::string& bytes) const {
    UniqueHandle file;
    int status = OpenFile(path, kModeWriteTruncate, &file, nullptr);
    if (status != kAfcSuccess)
        return status;
    DWORD written = 0;
    if (!::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
        written != bytes.size())
        return kAfcWriteError;
    return kAfcSuccess;
}

int DeviceFs::ReadWholeFile(const std::string& path, std::string* bytes, size_t limit) const {
    UniqueHandle file;
    int status = OpenFile(path, kModeRead, &file, nullptr);
    if (status != kAfcSuccess)
        return status;
    LARGE_INTEGER size;
    if (!::GetFileSizeEx(file.get(), &size))
        return kAfcReadError;
    if (static_cast<uint64_t>(size.QuadPart) > limit)
        return kAfcNoResources;
    std::string data(static_cast<size_t>(size.QuadPart), '\0');
    DWORD got = 0;
    if (!data.empty() &&
        (!::ReadFile(file.get(), data.data(), static_cast<DWORD>(data.size()), &got, nullptr) || got != data.size()))
        return kAfcReadError;
    *bytes = std::move(data);
    return kAfcSuccess;
}

} // namespace simfarm
