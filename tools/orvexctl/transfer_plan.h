// Before a transfer or a deletion, what it will cover: the files with their
// sizes (so that progress can be shown over the whole transfer) and the
// number of entries (for a deletion).
#pragma once

#include "tools/orvexctl/device_api.h"
#include "tools/orvexctl/progress.h"

#include <cstdint>
#include <string>

namespace orvexctl {

struct DevicePlan {
    bool complete = false; // every folder could be read
    uint64_t entries = 0;  // files, links and folders, the top one included
};

// Every file under the local file or folder `path`, named as the upload
// names it in its progress ("<folder>\<name>", recursively).
void PlanLocalTree(const std::wstring& path, TransferTally* tally);

// Every entry under the device file or folder `path`, named as the download
// names it ("<folder>/<name>" with single separators), read through the
// library's listing calls. Links are counted, not followed.
void PlanDeviceTree(const DeviceApi& api, const std::wstring& udid, const std::wstring& path, DevicePlan* plan,
                    TransferTally* tally = nullptr);

} // namespace orvexctl
