// Application archives made by the tests: a zip file (stored entries) with
// Payload/<name>.app/Info.plist and a stand-in executable.
#pragma once

#include <string>

namespace testutil {

struct IpaSpec {
    std::string bundleId;
    std::string name; // bundle folder name and CFBundleName
    std::string version;
};

bool WriteIpa(const std::wstring& path, const IpaSpec& spec);

} // namespace testutil
