// One farm as a process sees it: a cache of its devices' states, refreshed
// when the farm's change counter moves, and the byte counters of the counted
// faults. Shared by the stand-in device library and the wire server, so that
// both ways into the farm see the same devices and count faults alike.
#pragma once

#include "sim/farm/farm.h"

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace simfarm {

// What is needed of a device on every call, kept small so that the
// file-transfer path can check it cheaply.
struct DeviceState {
    bool attached = false;
    int64_t connection = 0;
    bool paired = false;
    bool jailbroken = false;                                  // offers the privileged file service
    std::shared_ptr<const std::vector<std::string>> services; // shared: states are copied on every chunk
    int64_t faults[kFaultCount] = {};                         // by Fault
    int64_t faultSerial = 0;
    // The whole description as the state was read from it, for the calls
    // that answer from it without reading and parsing it again.
    std::shared_ptr<const Value> description;

    int64_t Fault(simfarm::Fault fault) const { return faults[static_cast<int>(fault)]; }
    bool Offers(const std::string& service) const;
};

// The counter in farm.lock is read when the session's shared change signal
// has moved, and otherwise at most every few milliseconds (for changes made
// by processes that cannot move the signal).
class FarmView {
  public:
    explicit FarmView(const std::wstring& folder);

    const Farm& farm() const { return m_farm; }

    // The device's present state; false when the farm has no such device.
    // `fresh`: every change signalled so far is seen, and farm.lock is read
    // unless that was done a few milliseconds ago; otherwise a state up to a
    // few milliseconds old will do (the file-transfer path).
    bool State(const std::string& udid, DeviceState* out, bool fresh = true);
    // Whether the device is plugged in on connection number `connection`.
    bool Live(const std::string& udid, int64_t connection, DeviceState* state, bool fresh = true);
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

    // Unplugs a device in response to a fault: marks it detached in the
    // farm and spends the fault that fired.
    void Unplug(const std::string& udid, Fault fired = Fault::UnplugAfter);

  private:
    struct Counters {
        int64_t serial = -1;
        int64_t read = 0, written = 0, moved = 0, listed = 0;
    };
    void RefreshLocked(bool force);
    // The device's counters, started afresh when its faults changed (m_lock held).
    Counters& CountersOf(const std::string& udid, const DeviceState& state);

    Farm m_farm;
    ChangeSignal m_signal;
    std::mutex m_lock;
    long m_signalSeen = 0;
    uint64_t m_generation = UINT64_MAX;
    unsigned long m_checked = 0;
    bool m_valid = false;
    std::map<std::string, DeviceState> m_devices;
    std::map<std::string, Counters> m_counters;
};

// The process's one view of the farm in `folder` (the same object for
// every spelling of the folder that differs only in case or separators).
std::shared_ptr<FarmView> ViewOf(const std::wstring& folder);

// The wait a `latency` fault sets for each file-service reply, capped at 60 s.
unsigned long LatencyMilliseconds(const DeviceState& state);
// Waits that long.
void Lag(const DeviceState& state);

} // namespace simfarm
