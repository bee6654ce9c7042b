#include "sim/farm/devfs.h"

#include "platform/file.h"
#include "platform/text.h"
#include "sim/farm/status.h"

#include <winternl.h>

#include <cwchar>
#include <cwctype>
#include <mutex>
#include <unordered_map>

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

int64_t Ticks(const FILETIME& time) {
    return static_cast<int64_t>((static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime);
}

FILETIME FileTimeOf(const LARGE_INTEGER& ticks) {
    FILETIME time;
    time.dwLowDateTime = ticks.LowPart;
    time.dwHighDateTime = static_cast<DWORD>(ticks.HighPart);
    return time;
}

// What a look at a host entry tells without opening it: its attributes as
// a probe reports them, and its change time, which any write, rename or
// replacement moves (for a folder: any entry made, removed or renamed in it).
struct Stamp {
    WIN32_FILE_ATTRIBUTE_DATA data;
    int64_t changed;

    bool Same(const Stamp& other) const {
        return changed == other.changed && Ticks(data.ftLastWriteTime) == Ticks(other.data.ftLastWriteTime) &&
               data.nFileSizeLow == other.data.nFileSizeLow && data.nFileSizeHigh == other.data.nFileSizeHigh &&
               data.dwFileAttributes == other.data.dwFileAttributes;
    }
    // A later change cannot carry the same time stamp when this one was a
    // second old or more at `takenAt` (a time read before the look).
    bool Settled(const FILETIME& takenAt) const {
        const int64_t kSecond = 10000000;
        return Ticks(takenAt) - changed >= kSecond;
    }
};

// ntdll's NtQueryFullAttributesFile, the call beneath GetFileAttributesExW,
// which also gives the change time.
class StampQuery {
  public:
    StampQuery() {
        if (HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll"))
            m_query =
                reinterpret_cast<Query>(reinterpret_cast<void*>(::GetProcAddress(ntdll, "NtQueryFullAttributesFile")));
    }

    // `path` in the "\\?\" form. `missing`, when given, tells a look that
    // found nothing there from one that could not be made.
    bool Look(const std::wstring& path, Stamp* out, bool* missing = nullptr) const {
        if (missing)
            *missing = false;
        if (!m_query || path.compare(0, 4, L"\\\\?\\") != 0)
            return false;
        std::wstring native = L"\\??\\" + path.substr(4);
        if (native.size() * sizeof(wchar_t) > 0xfff0)
            return false;
        UNICODE_STRING name;
        name.Buffer = native.data();
        name.Length = static_cast<USHORT>(native.size() * sizeof(wchar_t));
        name.MaximumLength = name.Length;
        OBJECT_ATTRIBUTES object;
        InitializeObjectAttributes(&object, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
        Info info;
        const LONG status = m_query(&object, &info);
        if (status != 0) {
            const LONG kNameNotFound = static_cast<LONG>(0xC0000034), kPathNotFound = static_cast<LONG>(0xC000003A);
            if (missing)
                *missing = status == kNameNotFound || status == kPathNotFound;
            return false;
        }
        out->data.dwFileAttributes = info.attributes;
        out->data.ftCreationTime = FileTimeOf(info.created);
        out->data.ftLastAccessTime = FileTimeOf(info.accessed);
        out->data.ftLastWriteTime = FileTimeOf(info.written);
        out->data.nFileSizeHigh = static_cast<DWORD>(info.size.HighPart);
        out->data.nFileSizeLow = info.size.LowPart;
        out->changed = info.changed.QuadPart;
        return true;
    }

  private:
    struct Info { // FILE_NETWORK_OPEN_INFORMATION
        LARGE_INTEGER created, accessed, written, changed, allocated, size;
        ULONG attributes;
    };
    using Query = LONG(NTAPI*)(POBJECT_ATTRIBUTES, Info*);
    Query m_query = nullptr;
};

// A stamp with the time read just before it was taken.
struct TimedStamp {
    Stamp stamp;
    FILETIME takenAt;
    bool ok = false;
};

// Link targets read before, by the link file's host path. A target is
// reused while a look at the link file (no open, no read) finds the same
// stamp. With it may go the stamp of the folder holding the link, taken
// before the link's name was found to be no plain entry: while the folder
// keeps that stamp, no plain entry has come to hide the link, and the
// plain look is saved. A stamp is kept only when it has settled.
class LinkTargets {
  public:
    bool Look(const std::wstring& path, TimedStamp* out, bool* missing = nullptr) const {
        ::GetSystemTimeAsFileTime(&out->takenAt);
        out->ok = m_query.Look(path, &out->stamp, missing);
        return out->ok;
    }

    // Whether a link was read at `path` before (a guess: Find decides).
    bool Expects(const std::wstring& path) {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_entries.count(path) != 0;
    }

    // The target when the link file is unchanged; `folder`, when given,
    // must match the folder stamp kept with it (`hidden`: no plain entry
    // has been looked for since `folder` was taken), and is kept with it
    // otherwise.
    bool Find(const std::wstring& path, const TimedStamp* folder, bool hidden, std::string* target,
              WIN32_FILE_ATTRIBUTE_DATA* data) {
        Entry entry;
        {
            std::lock_guard<std::mutex> guard(m_lock);
            auto it = m_entries.find(path);
            if (it == m_entries.end())
                return false;
            entry = it->second;
        }
        if (hidden && !(folder && folder->ok && entry.folderKnown && entry.folder.Same(folder->stamp)))
            return false;
        Stamp now;
        if (!m_query.Look(path, &now) || (now.data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
            !now.Same(entry.link)) {
            std::lock_guard<std::mutex> guard(m_lock);
            m_entries.erase(path);
            return false;
        }
        if (!hidden && folder && folder->ok && folder->stamp.Settled(folder->takenAt)) {
            std::lock_guard<std::mutex> guard(m_lock);
            auto it = m_entries.find(path);
            if (it != m_entries.end() && it->second.link.Same(entry.link)) {
                it->second.folderKnown = true;
                it->second.folder = folder->stamp;
            }
        }
        *target = std::move(entry.target);
        *data = now.data;
        return true;
    }

    void Remember(const std::wstring& path, const std::string& target, const TimedStamp& link,
                  const TimedStamp* folder) {
        if (!link.ok || !link.stamp.Settled(link.takenAt))
            return;
        Entry entry{target, link.stamp, false, Stamp{}};
        if (folder && folder->ok && folder->stamp.Settled(folder->takenAt)) {
            entry.folderKnown = true;
            entry.folder = folder->stamp;
        }
        std::lock_guard<std::mutex> guard(m_lock);
        if (m_entries.size() >= kMaxEntries)
            m_entries.clear();
        m_entries[path] = std::move(entry);
    }

  private:
    static const size_t kMaxEntries = 1024;
    struct Entry {
        std::string target;
        Stamp link;
        bool folderKnown;
        Stamp folder;
    };
    StampQuery m_query;
    std::mutex m_lock;
    std::unordered_map<std::wstring, Entry> m_entries;
};

LinkTargets& Links() {
    static LinkTargets links;
    return links;
}

// Reads the link file `path`, once no plain entry of its name was found
// (`folder`: the holding folder's stamp from before that look, if taken).
// False when there is no link either.
bool ReadLink(const std::wstring& path, const TimedStamp* folder, Location* found) {
    LinkTargets& links = Links();
    if (links.Find(path, folder, false, &found->linkTarget, &found->host)) {
        found->found = true;
        return true;
    }
    // Stamped before it is read: a change in between moves the stamp. A look
    // costs less than a failed open, so no link is found by looking.
    TimedStamp stamp;
    bool missing = false;
    links.Look(path, &stamp, &missing);
    if (missing || (stamp.ok && (stamp.stamp.data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)))
        return false;
    UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, 0, nullptr));
    if (!file)
        return false;
    char buffer[kMaxLinkTarget];
    DWORD got = 0;
    if (!::ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr))
        got = 0;
    found->linkTarget.assign(buffer, got);
    if (stamp.ok) {
        found->found = true;
        found->host = stamp.stamp.data;
        links.Remember(path, found->linkTarget, stamp, folder);
    }
    return true;
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

EntryKind DeviceFs::Probe(const std::wstring& folder, const std::wstring& name, Location* found) const {
    found->found = false;
    found->linkTarget.clear();
    if (!IsStorableName(name))
        return EntryKind::Missing;
    const std::wstring link = folder + L'\\' + name + kLinkSuffix;
    LinkTargets& links = Links();
    // A link seen here before: the folder's stamp, from before the plain
    // look, may show that no plain entry can have come.
    TimedStamp folderStamp;
    if (links.Expects(link) && links.Look(folder, &folderStamp) &&
        links.Find(link, &folderStamp, true, &found->linkTarget, &found->host)) {
        found->found = true;
        return EntryKind::Link;
    }
    if (::GetFileAttributesExW((folder + L'\\' + name).c_str(), GetFileExInfoStandard, &found->host)) {
        found->found = true;
        return (found->host.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? EntryKind::Folder : EntryKind::File;
    }
    return ReadLink(link, folderStamp.ok ? &folderStamp : nullptr, found) ? EntryKind::Link : EntryKind::Missing;
}

// One look at the host for a run of components all storable, when the
// first is not a link seen before: when the whole path is a plain host
// entry, every component but the last is a plain folder, which a probe of
// each would find too (a plain entry comes before a link of the same name),
// and the last is probed by that look. When only the last is missing, the
// others are plain folders and the last needs only its link looked for.
// Returns true with everything but the last component moved to `current`
// and the last one probed into `last`; false with nothing moved.
bool DeviceFs::LookAtOnce(std::vector<std::wstring>* current, std::deque<std::wstring>* queue, EntryKind* kind,
                          Location* last) const {
    if (queue->size() < 2)
        return false; // one component: its probe costs the same
    const std::wstring here = HostFolder(*current);
    if (Links().Expects(here + L'\\' + queue->front() + kLinkSuffix))
        return false;
    std::wstring host = here;
    for (const std::wstring& name : *queue) {
        if (!IsStorableName(name)) // "." and ".." included
            return false;
        host += L'\\';
        host += name;
    }
    last->found = false;
    last->linkTarget.clear();
    if (::GetFileAttributesExW(host.c_str(), GetFileExInfoStandard, &last->host)) {
        last->found = true;
        *kind = (last->host.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? EntryKind::Folder : EntryKind::File;
    } else if (::GetLastError() == ERROR_FILE_NOT_FOUND) {
        // Only the last component is missing as a plain entry.
        *kind = ReadLink(host + kLinkSuffix, nullptr, last) ? EntryKind::Link : EntryKind::Missing;
    } else {
        return false;
    }
    while (queue->size() > 1) {
        current->push_back(std::move(queue->front()));
        queue->pop_front();
    }
    return true;
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
    bool fresh = true; // a new run of components: try them at once
    while (!queue.empty()) {
        Location probed;
        EntryKind kind = EntryKind::Missing;
        const bool looked = fresh && LookAtOnce(&current, &queue, &kind, &probed);
        fresh = false;
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
        if (!looked)
            kind = Probe(HostFolder(current), name, &probed);
        if (last && (kind != EntryKind::Link || !followLast)) {
            out->parent = std::move(current);
            out->name = std::move(name);
            out->kind = kind;
            out->linkTarget = std::move(probed.linkTarget);
            out->found = probed.found;
            out->host = probed.host;
            return kAfcSuccess;
        }
        const std::string& target = probed.linkTarget;
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
            fresh = true;
            break;
        }
        }
    }
    // The path names a folder reached through "." / ".." / links, or the root.
    out->linkTarget.clear();
    out->kind = EntryKind::Folder;
    out->found = false;
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
    const std::wstring host = HostPath(where);
    WIN32_FILE_ATTRIBUTE_DATA data = where.host;
    if (!where.found && !::GetFileAttributesExW(host.c_str(), GetFileExInfoStandard, &data))
        return AfcStatusFromWin32(::GetLastError());
    int64_t size = static_cast<int64_t>((static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow);
    int64_t blocks = 0;
    int64_t links = 1;
    const char* format = "S_IFREG";
    if (where.kind == EntryKind::Folder) {
        std::vector<std::string> names;
        status = ListHostFolder(host, &names);
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
    return ListHostFolder(HostPath(where), names);
}

int DeviceFs::ListHostFolder(const std::wstring& folder, std::vector<std::string>* names) const {
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
    if (!where.found || (where.host.dwFileAttributes & FILE_ATTRIBUTE_READONLY))
        ::SetFileAttributesW(host.c_str(), FILE_ATTRIBUTE_NORMAL);
    if (!::DeleteFileW(host.c_str()))
        return AfcStatusFromWin32(::GetLastError());
    return kAfcSuccess;
}

int DeviceFs::RemoveTree(const std::string& path) const {
    Location where;
    int status = Resolve(path, false, &where);
    if (status != kAfcSuccess)
        return status;
    if (where.kind != EntryKind::Folder)
        return Remove(path);
    if (where.name.empty())
        return kAfcPermissionDenied;
    return RemoveLocalTree(HostPath(where)) ? kAfcSuccess : kAfcIoError;
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
    // Attributes that would make the truncation fail are cleared first.
    const DWORD blocking = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
    if (disposition == CREATE_ALWAYS && where.kind != EntryKind::Missing &&
        (!where.found || (where.host.dwFileAttributes & blocking)))
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

int DeviceFs::MakeHardLink(const std::string& target, const std::string& path) const {
    Location from, where;
    int status = Resolve(target, true, &from);
    if (status != kAfcSuccess)
        return status;
    if (from.kind == EntryKind::Missing)
        return kAfcObjectNotFound;
    if (from.kind != EntryKind::File)
        return kAfcObjectIsDirectory;
    status = Resolve(path, false, &where);
    if (status != kAfcSuccess)
        return status;
    if (where.kind != EntryKind::Missing)
        return kAfcObjectExists;
    if (!IsStorableName(where.name))
        return kAfcInvalidArgument;
    where.kind = EntryKind::File;
    if (!::CreateHardLinkW(HostPath(where).c_str(), HostPath(from).c_str(), nullptr))
        return AfcStatusFromWin32(::GetLastError());
    return kAfcSuccess;
}

int DeviceFs::SetModificationTime(const std::string& path, int64_t unixNanoseconds) const {
    Location where;
    int status = Resolve(path, true, &where);
    if (status != kAfcSuccess)
        return status;
    if (where.kind == EntryKind::Missing)
        return kAfcObjectNotFound;
    if (unixNanoseconds < 0)
        return kAfcInvalidArgument;
    LARGE_INTEGER ticks;
    ticks.QuadPart = unixNanoseconds / 100 + 116444736000000000LL;
    FILETIME time = FileTimeOf(ticks);
    std::wstring host = HostPath(where);
    UniqueHandle file(::CreateFileW(host.c_str(), FILE_WRITE_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!file)
        return AfcStatusFromWin32(::GetLastError());
    if (!::SetFileTime(file.get(), nullptr, nullptr, &time))
        return AfcStatusFromWin32(::GetLastError());
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
