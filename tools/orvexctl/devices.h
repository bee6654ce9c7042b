// Which devices are attached. The library learns of devices only through
// the arrival and removal callbacks of StartListeningDeviceConnections, and
// the vendor library announces the devices already attached shortly after
// listening starts, one after another on its own thread. DeviceWatch
// collects those announcements and waits until they have settled.
#pragma once

#include "tools/orvexctl/device_api.h"

#include <string>
#include <vector>

namespace orvexctl {

struct DiscoveryTimes {
    // How long to wait for the first announcement when nothing arrives.
    unsigned firstMilliseconds = 1500;
    // After an announcement, how long nothing more may arrive before the
    // list counts as complete.
    unsigned quietMilliseconds = 300;
};

class DeviceWatch {
  public:
    explicit DeviceWatch(const DeviceApi& api) : m_api(api) {}
    ~DeviceWatch(); // stops listening
    DeviceWatch(const DeviceWatch&) = delete;
    DeviceWatch& operator=(const DeviceWatch&) = delete;

    bool Start();
    // Waits until `wanted` has arrived, or, when `wanted` is empty, until
    // the announcements have settled; gives up after `times` (the first
    // wait stretched to `waitMilliseconds` when that is longer). Returns
    // the identifiers attached now, in order of arrival.
    std::vector<std::wstring> Wait(const std::wstring& wanted, unsigned waitMilliseconds,
                                   const DiscoveryTimes& times = DiscoveryTimes());
    std::vector<std::wstring> Attached() const;

  private:
    const DeviceApi& m_api;
    bool m_listening = false;
};

// The device a command works on.
struct Selection {
    int exitCode = 0; // 0: `udid` is chosen; 1 not attached; 2 more than one and none named
    std::wstring udid;
    std::wstring error;
};
// `wanted` empty: the only attached device. Otherwise `wanted` itself, which
// must be attached (matched exactly, as the library matches it).
Selection SelectDevice(const std::vector<std::wstring>& attached, const std::wstring& wanted);

} // namespace orvexctl
