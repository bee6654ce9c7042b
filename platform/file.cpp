#include "platform/file.h"

bool IsLocalDirectory(const std::wstring& path) {
    DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool IsLocalFile(const std::wstring& path) {
    DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

namespace {

// Removes one entry whose attributes are known; a folder (not a link to
// one) with everything below it. Attributes are cleared only when they
// would stop the removal: a server round trip under Wine, per file.
bool RemoveEntry(const std::wstring& path, DWORD attributes) {
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY) || (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        if (attributes & FILE_ATTRIBUTE_READONLY)
            ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? ::RemoveDirectoryW(path.c_str()) : ::DeleteFileW(path.c_str());
    }
    WIN32_FIND_DATAW entry;
    UniqueFindHandle find(::FindFirstFileW((path + L"\\*").c_str(), &entry));
    if (find) {
        do {
            std::wstring name = entry.cFileName;
            if (name == L"." || name == L"..")
                continue;
            RemoveEntry(path + L"\\" + name, entry.dwFileAttributes);
        } while (::FindNextFileW(find.get(), &entry));
    }
    find.reset();
    return ::RemoveDirectoryW(path.c_str()) != 0;
}

} // namespace

bool RemoveLocalTree(const std::wstring& path) {
    DWORD attributes = ::GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return true;
    return RemoveEntry(path, attributes);
}
