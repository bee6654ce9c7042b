// Local file-system helpers shared by the library and the installer.
#pragma once

#include "platform/handles.h"

#include <string>

// The path names an existing folder.
bool IsLocalDirectory(const std::wstring& path);
// The path names an existing entry that is not a folder.
bool IsLocalFile(const std::wstring& path);
// Removes a folder with everything below it; true when nothing is left.
bool RemoveLocalTree(const std::wstring& path);
// Reads a whole file of at most `limit` bytes; false when it is missing,
// unreadable or longer.
bool ReadLocalFile(const std::wstring& path, size_t limit, std::string* bytes);
