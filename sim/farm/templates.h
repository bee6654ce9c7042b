// Device templates: realistic descriptions and file systems of the handsets
// and tablets the installer meets.
#pragma once

#include "sim/farm/devfs.h"
#include "sim/farm/plist.h"

#include <string>
#include <vector>

namespace simfarm {

struct TemplateInfo {
    const char* name;
    const char* summary;
};

const std::vector<TemplateInfo>& Templates();

// Fills the description of a new device made from template `name` and
// writes its file system through `files`. The device is neither attached
// nor paired.
bool BuildTemplate(const std::string& name, const std::string& udid, const DeviceFs& files, Value* description,
                   std::string* error);

// Keeps the installation list on the device's file system
// (/var/mobile/Library/Caches/com.apple.mobile.installation.plist) in step
// with an application entry: `entry` null removes it.
int UpdateInstallationList(const DeviceFs& files, const std::string& bundleId, const Value* entry);

} // namespace simfarm
