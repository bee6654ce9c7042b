// Process-wide state of the stand-in device library: the farms in use, the
// device handles given out, and the registries that let every export check
// the handles it is given before it touches them.
#pragma once

#include "platform/vendor_abi.h"
#include "sim/farm/farm_view.h"

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace mdsim {

using simfarm::DeviceState;
using simfarm::FarmView;
using simfarm::ViewOf;

// The farm new handles and subscriptions use: the one set with the control
// function DeviceSimSetFarm, else DEVICESIM_FARM, else the installed farm
// ("DeviceFarm" beside the installed library; see sim/farm/location.h).
std::shared_ptr<FarmView> CurrentFarm();
std::wstring CurrentFarmFolder();
void SetFarmOverride(const std::wstring& folder);

// Wakes every notification thread of this process (after a change made in
// this process), so that it looks at the farm at once.
void WakeSubscribers();
// Waits until woken or `milliseconds` have passed; `seen` tracks wake-ups.
void WaitForWake(uint64_t* seen, DWORD milliseconds);

// Unplugs a device in response to the fault `fired`: marks it detached in
// the farm and takes the fault away.
void Unplug(FarmView& view, const std::string& udid, simfarm::Fault fired = simfarm::Fault::UnplugAfter);

// A device handle (am_device) as given to callers: one per device and
// connection, shared by every subscription of the process.
struct DeviceHandle {
    std::shared_ptr<FarmView> view;
    std::string udid;
    int64_t connection = 0;
    long refs = 0; // guarded by the registry lock

    std::mutex lock; // guards the session state
    bool connected = false;
    bool inSession = false;

    // Whether the device is still plugged in on this handle's connection.
    bool Live(DeviceState* state, bool fresh = true);
};

// Handle registry. Acquire returns a counted reference for the length of a
// call (null for anything that is not a live handle).
am_device* RetainHandle(const std::shared_ptr<FarmView>& view, const std::string& udid, int64_t connection);
std::shared_ptr<DeviceHandle> Acquire(am_device* device);
am_device* Retain(am_device* device);
void Release(am_device* device);

// A device call's checks: a known handle on a device that is still plugged
// in (Check), and also connected and in a session (CheckSession). Fill
// `handle` and `state`; return the failure code or 0.
int Check(am_device* device, std::shared_ptr<DeviceHandle>* handle, DeviceState* state);
int CheckSession(am_device* device, std::shared_ptr<DeviceHandle>* handle, DeviceState* state);

// Holds owned objects handed to callers as opaque pointers, and hands them
// back only while they are registered.
template <typename T> class Registry {
  public:
    void* Add(std::shared_ptr<T> object) {
        std::lock_guard<std::mutex> guard(m_lock);
        void* key = object.get();
        m_objects[key] = std::move(object);
        return key;
    }
    std::shared_ptr<T> Get(const void* key) {
        std::lock_guard<std::mutex> guard(m_lock);
        auto it = m_objects.find(key);
        return it == m_objects.end() ? nullptr : it->second;
    }
    std::shared_ptr<T> Take(const void* key) {
        std::lock_guard<std::mutex> guard(m_lock);
        auto it = m_objects.find(key);
        if (it == m_objects.end())
            return nullptr;
        std::shared_ptr<T> object = std::move(it->second);
        m_objects.erase(it);
        return object;
    }

  private:
    std::mutex m_lock;
    std::map<const void*, std::shared_ptr<T>> m_objects;
};

// Service sockets started by AMDeviceStartService, by socket.
struct ServiceRecord {
    std::shared_ptr<FarmView> view;
    std::string udid;
    int64_t connection = 0;
    std::string service;
    unsigned short port = 0; // the socket's local port, to recognise it again
};
void RecordService(SOCKET socket, const ServiceRecord& record);
bool FindService(SOCKET socket, ServiceRecord* record);

// The module of this library, for locating the default farm.
HMODULE ThisModule();

} // namespace mdsim
