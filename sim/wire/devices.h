// What the wire server knows of the farm's devices: which are plugged in,
// under which multiplexer device numbers, the events its listeners are
// told, and the connections open to each device.
#pragma once

#include "platform/tls.h"
#include "sim/farm/farm.h"

#include <winsock2.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace simwire {

struct AttachedDevice {
    uint32_t deviceId = 0; // the multiplexer's number; new at every plug-in
    std::string udid;
    int64_t connection = 0; // the farm's connection number
    std::string productType;
};

struct DeviceEvent {
    enum class Kind { Attached, Detached, Paired };
    uint64_t serial = 0;
    Kind kind = Kind::Attached;
    AttachedDevice device;
};

class DeviceTracker {
  public:
    explicit DeviceTracker(const std::wstring& farmFolder);
    ~DeviceTracker();
    DeviceTracker(const DeviceTracker&) = delete;
    DeviceTracker& operator=(const DeviceTracker&) = delete;

    const simfarm::Farm& farm() const { return m_farm; }
    // Looks at the farm again when it changed (or `force`): arrivals and
    // removals become events, and a removed device's connections are shut.
    void Refresh(bool force = false);

    std::vector<AttachedDevice> Attached();
    bool Find(uint32_t deviceId, AttachedDevice* out);
    bool FindByUdid(const std::string& udid, AttachedDevice* out);

    // The attached devices and the serial of the last event, taken together.
    std::vector<AttachedDevice> Snapshot(uint64_t* lastSerial);
    // Events after `serial`, waiting up to `milliseconds` for one; false
    // once the tracker is stopping.
    bool WaitForEvents(uint64_t serial, unsigned milliseconds, std::vector<DeviceEvent>* out);
    void PostPaired(const std::string& udid);

    // Connections: a registered socket is shut when its device goes (or,
    // with deviceId 0, when the server stops). Unregister before closing it.
    uint64_t Register(SOCKET socket, uint32_t deviceId);
    void Unregister(uint64_t token);
    void SetDeviceOf(uint64_t token, uint32_t deviceId);

    // Waits `milliseconds` or until the tracker stops; false when stopping.
    bool Pause(unsigned milliseconds);

    // The lockdown TLS sessions a device remembers, so that a host may
    // resume one in a later lockdown session; forgotten when the device
    // forgets its pairings.
    tls::SessionCache& LockdownSessions(const std::string& udid);
    void ForgetLockdownSessions(const std::string& udid);

    // Wakes every waiter and shuts every registered socket.
    void Stop();
    bool stopping();

  private:
    void Post(DeviceEvent::Kind kind, const AttachedDevice& device);
    void ShutConnections(uint32_t deviceId);

    simfarm::Farm m_farm;
    simfarm::ChangeSignal m_signal;
    std::mutex m_refreshLock; // held by Refresh, before m_lock
    std::mutex m_lock;
    std::condition_variable m_changed;
    bool m_stopping = false;
    long m_seenSignal = -1;
    uint64_t m_seenGeneration = UINT64_MAX;
    unsigned m_pollsSinceScan = 0;
    uint32_t m_nextDeviceId = 1;
    std::map<std::string, AttachedDevice> m_attached; // by udid
    std::deque<DeviceEvent> m_events;
    uint64_t m_lastSerial = 0;
    struct Connection {
        SOCKET socket;
        uint32_t deviceId;
    };
    std::map<uint64_t, Connection> m_connections;
    // By udid; a cache, once made, lives as long as the tracker (sessions
    // being served hold it).
    std::map<std::string, std::unique_ptr<tls::SessionCache>> m_lockdownSessions;
    uint64_t m_nextToken = 1;
};

} // namespace simwire
