// Applications and provisioning profiles of a simulated device: install,
// upgrade and uninstall of application archives (.ipa), the lookup's
// answer, and the profile store. Shared by the stand-in device library and
// the wire's installation proxy and misagent, so an application installed
// one way is seen the other.
#pragma once

#include "sim/farm/farm.h"

#include <functional>
#include <string>

namespace simfarm {

// Parses an application's Info.plist (the stand-in reads binary lists too).
using PlistParser = std::function<bool(const std::string& bytes, Value* out)>;
// One progress step: its status text and percentage (-1: none).
using Progress = std::function<void(const char* status, int percent)>;

enum class AppResult {
    Done,
    NoDevice,     // the description could not be read or stored
    BadPackage,   // not an application archive, or a broken one
    NotInstalled, // an upgrade or uninstall of an application not installed
    SystemApp,    // applications of the system cannot be replaced or removed
    Failed,       // the device's files could not be written
};
const char* AppResultText(AppResult result);

// Installs (or upgrades: the application must be installed, and keeps its
// container) the archive at host path `package`: copies the bundle to a
// container under /private/var/mobile/Applications/, reports the device's
// twelve steps, and enters the application in the lookup and the
// installation list. `bundleId` (optional) receives its identifier.
AppResult InstallPackage(const Farm& farm, const std::string& udid, const std::wstring& package, bool upgrade,
                         const PlistParser& parse, const Progress& progress, std::string* bundleId = nullptr);
// Removes a user application with its container; reports Status only.
AppResult UninstallApplication(const Farm& farm, const std::string& udid, const std::string& bundleId,
                               const Progress& progress);

// The lookup's answer from a description: applications by bundle
// identifier, of `type` ("Any", "User", "System"), with only the attributes
// named in `attributes` when it is an array.
Value SelectApplications(const Value& description, const std::string& type, const Value* attributes);

// Stores a provisioning profile (replacing one with the same UUID). Its
// UUID and Name come from the property list inside it when there is one;
// otherwise a made-up UUID and `fallbackName`. `uuid` (optional) receives it.
bool StoreProfile(const Farm& farm, const std::string& udid, const std::string& bytes, const std::string& fallbackName,
                  std::string* uuid, std::string* error);
// Removes the profile with that UUID; `found` says whether there was one.
bool RemoveProfile(const Farm& farm, const std::string& udid, const std::string& uuid, bool* found, std::string* error);
// The profiles' bytes, in the order they were installed.
std::vector<std::string> ProfileData(const Value& description);

// 32 hexadecimal digits in the 8-4-4-4-12 form of the device's identifiers.
std::string MakeContainerId();

} // namespace simfarm
