// The file system of a simulated device, kept as a folder tree on the PC.
//
// Device paths are UTF-8 with "/" separators; relative paths and repeated
// separators are accepted and every path is taken from the served root (a
// file service may serve only a sub-tree, as the ordinary one serves
// /var/mobile/Media). ".." never climbs above that root, and a link never
// leads out of it: a device path, whatever it holds, names a place inside the
// device's folder or nothing.
//
// Symbolic links are stored portably as small files: the link "name" is the
// file "name.symlink" holding the target text. Such files are never shown
// under their own name, and no entry may be created with that suffix.
#pragma once

#include "platform/handles.h"

#include <cstdint>
#include <deque>
#include <string>
#include <utility>
#include <vector>

namespace simfarm {

extern const wchar_t kLinkSuffix[]; // ".symlink"

using KeyValues = std::vector<std::pair<std::string, std::string>>;

enum class EntryKind { Missing, File, Folder, Link };

// Where a device path leads.
struct Location {
    std::vector<std::wstring> parent; // folder holding the entry, from the device root
    std::wstring name;                // empty for the served root itself
    EntryKind kind = EntryKind::Missing;
    std::string linkTarget; // for a link
    // The host entry's attributes (the link file's for a link) as found while
    // resolving, when `found`; a folder reached through "." or ".." or a link
    // has none.
    bool found = false;
    WIN32_FILE_ATTRIBUTE_DATA host{};
};

// File open modes of the file service.
enum FileMode : uint64_t {
    kModeRead = 1,              // existing file, read only
    kModeReadWrite = 2,         // existing file, read and write
    kModeWriteTruncate = 3,     // created or truncated, write only
    kModeReadWriteTruncate = 4, // created or truncated, read and write
    kModeAppend = 5,            // created when missing, writes go to the end
    kModeReadAppend = 6,        // as 5, and readable
};

class DeviceFs {
  public:
    // `hostRoot`: the absolute host folder that holds the device's whole tree.
    explicit DeviceFs(const std::wstring& hostRoot);

    // Serves only the sub-tree at `devicePath` (links followed) from now on.
    // Fails with kAfcObjectNotFound when it is not a folder.
    int Confine(const std::string& devicePath);

    int Resolve(const std::string& path, bool followLast, Location* out) const;

    // Attributes as the file service reports them: st_size, st_blocks,
    // st_nlink, st_ifmt, st_mtime, st_birthtime (nanoseconds since 1970) and,
    // for a link, LinkTarget. The last component is not followed.
    int Info(const std::string& path, KeyValues* out) const;
    // Entry names of a folder (links followed), "." and ".." first.
    int List(const std::string& path, std::vector<std::string>* names) const;
    // An existing folder is success; a missing parent is not.
    int MakeFolder(const std::string& path) const;
    // Removes a file, a link (never its target) or an empty folder.
    int Remove(const std::string& path) const;
    // Removes an entry and, for a folder, everything in it; links inside are
    // removed, never followed. The served root stays.
    int RemoveTree(const std::string& path) const;
    // Renames or moves an entry; replaces a file, a link or an empty folder.
    int Rename(const std::string& from, const std::string& to) const;
    // Opens a file in one of the FileMode modes (links followed).
    int OpenFile(const std::string& path, uint64_t mode, UniqueHandle* out, bool* append) const;
    // Makes a link at `path` that points to `target`.
    int MakeLink(const std::string& target, const std::string& path) const;
    // Gives the existing file `target` (links followed) the second name `path`.
    int MakeHardLink(const std::string& target, const std::string& path) const;
    // Sets an entry's modification time (links followed).
    int SetModificationTime(const std::string& path, int64_t unixNanoseconds) const;

    // Whole-file helpers for the farm's own bookkeeping.
    int WriteWholeFile(const std::string& path, const std::string& bytes) const;
    int ReadWholeFile(const std::string& path, std::string* bytes, size_t limit) const;

    std::wstring HostFolder(const std::vector<std::wstring>& components) const;
    // The host path of a located entry (the link file for a link).
    std::wstring HostPath(const Location& location) const;

  private:
    EntryKind Probe(const std::wstring& folder, const std::wstring& name, Location* found) const;
    bool LookAtOnce(std::vector<std::wstring>* current, std::deque<std::wstring>* queue, EntryKind* kind,
                    Location* last) const;
    int ListHostFolder(const std::wstring& folder, std::vector<std::string>* names) const;

    std::wstring m_root; // "\\?\" form
    std::vector<std::wstring> m_jail;
};

// Whether a device entry name can be kept in the host folder tree.
bool IsStorableName(const std::wstring& name);
// Win32 error -> file service status.
int AfcStatusFromWin32(unsigned long error);
// FILETIME (100 ns since 1601) -> nanoseconds since 1970.
int64_t FileTimeToUnixNanoseconds(const FILETIME& time);

} // namespace simfarm
