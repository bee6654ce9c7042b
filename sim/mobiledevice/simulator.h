// Process-wide state of the stand-in device library: the farms in use, the
// device handles given out, and the registries that let every export check
// the handles it is given before it touches them.
#pragma once

#include "platform/vendor_abi.h"
#include "sim/farm/farm.h"

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace mdsim {

// What the library needs to know of a device on every call, kept small so
// that the file-transfer path can check it cheaply.
struct DeviceState {
    bool attached = false;
    int64_t connection = 0;
    bool paired = false;
    bool jailbroken = false;                                  // offers the privileged file service
    std::shared_ptr<const std::vector<std::string>> services; // shared: states are copied on every chunk
    int64_t faults[simfarm::kFaultCount] = {};                // by simfarm::Fault
    int64_t faultSerial = 0;
    // The whole description as the state was read from it, for the calls
    // that answer from it (lockdown values, the installation list, the file
    // service's device information) without reading and parsing it again.
    std::shared_ptr<const simfarm::Value> description;

    int64_t Fault(simfarm::Fault fault) const { return faults[static_cast<int>(fault)]; }
    bool Offers(const std::string& service) const;
};

// One farm as this process sees it: a cache of its devices' states,
// refreshed when the farm's change counter moves, and the byte counters of
// the counted faults. The counter in farm.lock is read when the session's
// shared change signal has moved, and otherwise at most every few
// milliseconds (for changes made by processes that cannot move the signal).
class FarmView {
  public:
    explicit FarmView(const std::wstring& folder);

    const simfarm::Farm& farm() const { return m_farm; }

    // The device's present state; false when the farm has no such device.
    // `fresh`: every change signalled so far is seen, and farm.lock is read
    // unless that was done a few milliseconds ago; otherwise a state up to a
    // few milliseconds old will do (the file-transfer path).
    bool State(const std::string& udid, DeviceState* out, bool fresh = true);
    // Identifier and connection number of every attached device.
    std::vector<std::pair<std::string, int64_t>> Attached();
    // Forgets the cache: the next question reads the farm again.
    void Invalidate();

    // Counted faults. Allow gives how many of `wanted` bytes may move now
    // (`limited` when a fault cut the request short); Moved records what
    // did move and says whether the device must now be unplugged.
    enum class Direction { Read, Write };
    struct Budget {
        unsigned cap;
        bool limited;
    };
    Budget Allow(const std::string& udid, const DeviceState& state, Direction direction, unsigned wanted);
    bool Moved(const std::string& udid, const DeviceState& state, Direction direction, unsigned bytes);
    // Folder reads count the names they deliver, apart from the bytes.
    // BeforeListRead says whether the next read goes on, fails (list-after
    // spent) or must unplug the device (unplug-list-after spent); Listed
    // records one name delivered.
    enum class ListStep { Go, Fail, Unplug };
    ListStep BeforeListRead(const std::string& udid, const DeviceState& state);
    void Listed(const std::string& udid, const DeviceState& state);

  private:
    struct Counters {
        int64_t serial = -1;
        int64_t read = 0, written = 0, moved = 0, listed = 0;
    };
    void RefreshLocked(bool force);
    // The device's counters, started afresh when its faults changed (m_lock held).
    Counters& CountersOf(const std::string& udid, const DeviceState& state);

    simfarm::Farm m_farm;
    simfarm::ChangeSignal m_signal;
    std::mutex m_lock;
    long m_signalSeen = 0;
    uint64_t m_generation = UINT64_MAX;
    DWORD m_checked = 0;
    bool m_valid = false;
    std::map<std::string, DeviceState> m_devices;
    std::map<std::string, Counters> m_counters;
};

// The farm new handles and subscriptions use: the one set with the control
// function DeviceSimSetFarm, else DEVICESIM_FARM, else the installed farm
// ("DeviceFarm" beside the installed library; see sim/farm/location.h).
std::shared_ptr<FarmView> CurrentFarm();
std::wstring CurrentFarmFolder();
void SetFarmOverride(const std::wstring& folder);
std::shared_ptr<FarmView> ViewOf(const std::wstring& folder);

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
