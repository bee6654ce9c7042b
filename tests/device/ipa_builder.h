// Application archives made by the tests: a zip file (stored entries) with
// Payload/<name>.app/Info.plist and a stand-in executable.
#pragma once

#include <string>

namespace testutil {

struct IpaRecipe {
    std::string bundleId;
    std::string name; // bundle folder name and CFBundleName
    std::string version;
};

bool WriteIpa(const std::wstring& path, const IpaRecipe& recipe);

} // namespace testutil
