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
// The same with `infoPlist` as the bytes of Info.plist (binary, say).
bool WriteIpa(const std::wstring& path, const IpaRecipe& recipe, const std::string& infoPlist);

} // namespace testutil
