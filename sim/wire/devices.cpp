#include "sim/wire/devices.h"

#include "sim/wire/pairing.h"

#include <algorithm>
#include <chrono>

namespace simwire {

using simfarm::Value;
namespace key = simfarm::key;

namespace {

const size_t kMostEvents = 4096;

} // namespace

DeviceTracker::DeviceTracker(const std::wstring& farmFolder) : m_farm(farmFolder), m_signal(m_farm.folder()) {}

DeviceTracker::~DeviceTracker() { Stop(); }

void DeviceTracker::Refresh(bool force) {
    // One look at a time: a look that read the farm before another's must
    // not be applied after it (an unplug fault's look, on a connection's
    // thread, against the watcher's), or a device plugged in again would be
    // taken out again, its new connections shut.
    std::lock_guard<std::mutex> looking(m_refreshLock);
    long signal = m_signal.Read();
    uint64_t generation = m_farm.Generation();
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (!force && signal == m_seenSignal && generation == m_seenGeneration)
            return;
        m_seenSignal = signal;
        m_seenGeneration = generation;
    }
    struct Seen {
        AttachedDevice device;
        std::string key;
        bool attached = false;
    };
    std::map<std::string, Seen> seen;
    std::vector<std::string> unreadable;
    for (const std::string& udid : m_farm.Devices()) {
        Value d;
        if (!m_farm.Load(udid, &d)) {
            unreadable.push_back(udid); // caught while written by hand: as it was, and looked at again
            continue;
        }
        Seen& s = seen[udid];
        s.device.udid = udid;
        s.device.connection = simfarm::ConnectionId(d);
        const Value* lockdown = simfarm::DomainOf(d, "");
        s.device.productType = lockdown ? lockdown->GetString("ProductType") : std::string();
        s.attached = simfarm::IsAttached(d);
        // A device has its key before anyone sees it (the description's
        // DevicePublicKey then stays what it is from the first announcement).
        if (s.attached && !d.Find(key::kDeviceKey))
            EnsureDeviceKey(m_farm, udid, &s.key, nullptr);
    }

    std::lock_guard<std::mutex> guard(m_lock);
    for (const std::string& udid : unreadable) {
        m_seenGeneration = UINT64_MAX;
        auto was = m_attached.find(udid);
        if (was == m_attached.end())
            continue;
        Seen& s = seen[udid];
        s.device = was->second;
        s.attached = true;
    }
    for (auto it = m_attached.begin(); it != m_attached.end();) {
        auto now = seen.find(it->first);
        if (now != seen.end() && now->second.attached && now->second.device.connection == it->second.connection) {
            ++it;
            continue;
        }
        Post(DeviceEvent::Kind::Detached, it->second);
        ShutConnections(it->second.deviceId);
        it = m_attached.erase(it);
    }
    for (auto& [udid, s] : seen) {
        if (s.attached && !m_attached.count(udid)) {
            s.device.deviceId = m_nextDeviceId++;
            if (m_nextDeviceId == 0)
                m_nextDeviceId = 1;
            m_attached[udid] = s.device;
            Post(DeviceEvent::Kind::Attached, s.device);
        }
    }
}

std::vector<AttachedDevice> DeviceTracker::Attached() {
    uint64_t serial = 0;
    return Snapshot(&serial);
}

bool DeviceTracker::Find(uint32_t deviceId, AttachedDevice* out) {
    std::lock_guard<std::mutex> guard(m_lock);
    for (const auto& entry : m_attached) {
        if (entry.second.deviceId == deviceId) {
            *out = entry.second;
            return true;
        }
    }
    return false;
}

bool DeviceTracker::FindByUdid(const std::string& udid, AttachedDevice* out) {
    std::lock_guard<std::mutex> guard(m_lock);
    auto it = m_attached.find(udid);
    if (it == m_attached.end())
        return false;
    *out = it->second;
    return true;
}

std::vector<AttachedDevice> DeviceTracker::Snapshot(uint64_t* lastSerial) {
    std::lock_guard<std::mutex> guard(m_lock);
    std::vector<AttachedDevice> devices;
    for (const auto& entry : m_attached)
        devices.push_back(entry.second);
    std::sort(devices.begin(), devices.end(),
              [](const AttachedDevice& a, const AttachedDevice& b) { return a.deviceId < b.deviceId; });
    *lastSerial = m_lastSerial;
    return devices;
}

bool DeviceTracker::WaitForEvents(uint64_t serial, unsigned milliseconds, std::vector<DeviceEvent>* out) {
    std::unique_lock<std::mutex> guard(m_lock);
    m_changed.wait_for(guard, std::chrono::milliseconds(milliseconds),
                       [&] { return m_stopping || m_lastSerial > serial; });
    if (m_stopping)
        return false;
    out->clear();
    for (const DeviceEvent& event : m_events) {
        if (event.serial > serial)
            out->push_back(event);
    }
    return true;
}

void DeviceTracker::PostPaired(const std::string& udid) {
    std::lock_guard<std::mutex> guard(m_lock);
    auto it = m_attached.find(udid);
    if (it != m_attached.end())
        Post(DeviceEvent::Kind::Paired, it->second);
}

void DeviceTracker::Post(DeviceEvent::Kind kind, const AttachedDevice& device) {
    DeviceEvent event;
    event.serial = ++m_lastSerial;
    event.kind = kind;
    event.device = device;
    m_events.push_back(event);
    while (m_events.size() > kMostEvents)
        m_events.pop_front();
    m_changed.notify_all();
}

uint64_t DeviceTracker::Register(SOCKET socket, uint32_t deviceId) {
    std::lock_guard<std::mutex> guard(m_lock);
    uint64_t token = m_nextToken++;
    m_connections[token] = Connection{socket, deviceId};
    if (m_stopping)
        ::shutdown(socket, SD_BOTH);
    return token;
}

void DeviceTracker::Unregister(uint64_t token) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_connections.erase(token);
}

void DeviceTracker::SetDeviceOf(uint64_t token, uint32_t deviceId) {
    std::lock_guard<std::mutex> guard(m_lock);
    auto it = m_connections.find(token);
    if (it == m_connections.end())
        return;
    it->second.deviceId = deviceId;
    // Gone between the look-up and now: the connection goes with it.
    bool present = false;
    for (const auto& entry : m_attached)
        present = present || entry.second.deviceId == deviceId;
    if (!present)
        ::shutdown(it->second.socket, SD_BOTH);
}

void DeviceTracker::ShutConnections(uint32_t deviceId) {
    for (const auto& entry : m_connections) {
        if (entry.second.deviceId == deviceId)
            ::shutdown(entry.second.socket, SD_BOTH);
    }
}

bool DeviceTracker::Pause(unsigned milliseconds) {
    std::unique_lock<std::mutex> guard(m_lock);
    m_changed.wait_for(guard, std::chrono::milliseconds(milliseconds), [&] { return m_stopping; });
    return !m_stopping;
}

tls::SessionCache& DeviceTracker::LockdownSessions(const std::string& udid) {
    std::lock_guard<std::mutex> guard(m_lock);
    std::unique_ptr<tls::SessionCache>& cache = m_lockdownSessions[udid];
    if (!cache)
        cache = std::make_unique<tls::SessionCache>();
    return *cache;
}

void DeviceTracker::ForgetLockdownSessions(const std::string& udid) {
    tls::SessionCache* cache = nullptr;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        auto it = m_lockdownSessions.find(udid);
        if (it == m_lockdownSessions.end())
            return;
        cache = it->second.get(); // lives as long as the tracker
    }
    cache->Clear();
}

void DeviceTracker::Stop() {
    std::lock_guard<std::mutex> guard(m_lock);
    m_stopping = true;
    for (const auto& entry : m_connections)
        ::shutdown(entry.second.socket, SD_BOTH);
    m_changed.notify_all();
}

bool DeviceTracker::stopping() {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_stopping;
}

} // namespace simwire
