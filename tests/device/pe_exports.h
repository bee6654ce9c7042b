// Reads the names of a PE file's export table from the file itself.
#pragma once

#include <string>
#include <vector>

namespace testutil {

// False when the file cannot be read or is not a well-formed PE file.
bool ReadExportNames(const std::wstring& path, std::vector<std::string>* names);

} // namespace testutil
