#include "sim/mobiledevice/simulator.h"

#include "sim/farm/location.h"
#include "sim/farm/status.h"

#include <cwctype>

namespace mdsim {

using simfarm::Value;

namespace {

// How stale the cached farm may be on the data path.
const DWORD kRefreshMilliseconds = 20;

DeviceState StateOf(const Value& d) {
    DeviceState s;
    s.attached = simfarm::IsAttached(d);
    s.connection = simfarm::ConnectionId(d);
    s.paired = d.GetBool(simfarm::key::kPaired);
    auto services = std::make_shared<std::vector<std::string>>();
    if (const Value* list = d.Find(simfarm::key::kServices)) {
        for (const Value& item : list->items()) {
            if (item.is(Value::Kind::String))
                services->push_back(item.text());
        }
    }
    s.services = std::move(services);
    s.jailbroken = s.Offers("com.apple.afc2");
    for (const simfarm::FaultInfo& info : simfarm::Faults())
        s.faults[static_cast<int>(info.fault)] = simfarm::FaultAmount(d, info.fault);
    s.faultSerial = simfarm::FaultSerial(d);
    return s;
}

} // namespace

bool DeviceState::Offers(const std::string& service) const {
    if (!services)
        return false;
    for (const std::string& s : *services) {
        if (s == service)
            return true;
    }
    return false;
}

// ---- FarmView ----------------------------------------------------------------

FarmView::FarmView(const std::wstring& folder) : m_farm(folder), m_signal(m_farm.folder()) {}

void FarmView::RefreshLocked(bool force) {
    DWORD now = ::GetTickCount();
    // The signal is read before farm.lock: a change signalled after this
    // read is seen by the next call.
    long signal = m_signal.Read();
    if (m_valid && now - m_checked < kRefreshMilliseconds) {
        if (!force || (m_signal.ok() && signal == m_signalSeen))
            return;
    }
    m_checked = now;
    m_signalSeen = signal;
    uint64_t generation = m_farm.Generation();
    if (m_valid && generation == m_generation)
        return;
    std::map<std::string, DeviceState> devices;
    for (const std::string& udid : m_farm.Devices()) {
        Value d;
        if (!m_farm.Load(udid, &d))
            continue;
        DeviceState state = StateOf(d);
        state.description = std::make_shared<const Value>(std::move(d));
        devices[udid] = std::move(state);
    }
    m_devices = std::move(devices);
    m_generation = generation;
    m_valid = true;
}

bool FarmView::State(const std::string& udid, DeviceState* out, bool fresh) {
    std::lock_guard<std::mutex> guard(m_lock);
    RefreshLocked(fresh);
    auto it = m_devices.find(udid);
    if (it == m_devices.end())
        return false;
    *out = it->second;
    return true;
}

std::vector<std::pair<std::string, int64_t>> FarmView::Attached() {
    std::lock_guard<std::mutex> guard(m_lock);
    RefreshLocked(false);
    std::vector<std::pair<std::string, int64_t>> list;
    for (const auto& device : m_devices) {
        if (device.second.attached)
            list.emplace_back(device.first, device.second.connection);
    }
    return list;
}

void FarmView::Invalidate() {
    std::lock_guard<std::mutex> guard(m_lock);
    m_valid = false;
}

FarmView::Budget FarmView::Allow(const std::string& udid, const DeviceState& state, Direction direction,
                                 unsigned wanted) {
    std::lock_guard<std::mutex> guard(m_lock);
    Counters& c = CountersOf(udid, state);
    Budget budget{wanted, false};
    auto limit = [&budget](int64_t amount, int64_t done) {
        if (amount <= 0)
            return;
        int64_t left = amount > done ? amount - done : 0;
        if (left < static_cast<int64_t>(budget.cap)) {
            budget.cap = static_cast<unsigned>(left);
            budget.limited = true;
        }
    };
    if (direction == Direction::Read)
        limit(state.Fault(simfarm::Fault::ReadAfter), c.read);
    else
        limit(state.Fault(simfarm::Fault::WriteAfter), c.written);
    limit(state.Fault(simfarm::Fault::UnplugAfter), c.moved);
    return budget;
}

bool FarmView::Moved(const std::string& udid, const DeviceState& state, Direction direction, unsigned bytes) {
    std::lock_guard<std::mutex> guard(m_lock);
    Counters& c = CountersOf(udid, state);
    (direction == Direction::Read ? c.read : c.written) += bytes;
    c.moved += bytes;
    int64_t unplugAt = state.Fault(simfarm::Fault::UnplugAfter);
    return unplugAt > 0 && c.moved >= unplugAt;
}

FarmView::ListStep FarmView::BeforeListRead(const std::string& udid, const DeviceState& state) {
    std::lock_guard<std::mutex> guard(m_lock);
    const Counters& c = CountersOf(udid, state);
    auto spent = [&c](int64_t amount) { return amount > 0 && c.listed >= amount; };
    if (spent(state.Fault(simfarm::Fault::UnplugListAfter)))
        return ListStep::Unplug;
    if (spent(state.Fault(simfarm::Fault::ListAfter)))
        return ListStep::Fail;
    return ListStep::Go;
}

void FarmView::Listed(const std::string& udid, const DeviceState& state) {
    std::lock_guard<std::mutex> guard(m_lock);
    ++CountersOf(udid, state).listed;
}

FarmView::Counters& FarmView::CountersOf(const std::string& udid, const DeviceState& state) {
    Counters& c = m_counters[udid];
    if (c.serial != state.faultSerial)
        c = Counters{state.faultSerial};
    return c;
}

// ---- farms in use -----------------------------------------------------------

namespace {

std::mutex g_farmLock;
std::wstring g_override;
std::map<std::wstring, std::shared_ptr<FarmView>> g_views;

std::mutex g_wakeLock;
std::condition_variable g_wake;
uint64_t g_wakeCount = 0;

std::wstring FolderKey(const std::wstring& folder) {
    std::wstring key = folder;
    for (wchar_t& c : key)
        c = c == L'/' ? L'\\' : static_cast<wchar_t>(std::towupper(c));
    while (key.size() > 3 && key.back() == L'\\')
        key.pop_back();
    return key;
}

} // namespace

std::wstring CurrentFarmFolder() {
    {
        std::lock_guard<std::mutex> guard(g_farmLock);
        if (!g_override.empty())
            return g_override;
    }
    std::wstring folder = simfarm::FarmFolderFromEnvironment();
    if (folder.empty())
        folder = simfarm::DefaultFarmFolder(ThisModule());
    return folder;
}

void SetFarmOverride(const std::wstring& folder) {
    std::lock_guard<std::mutex> guard(g_farmLock);
    g_override = folder;
}

std::shared_ptr<FarmView> ViewOf(const std::wstring& folder) {
    simfarm::Farm normalised(folder);
    std::wstring key = FolderKey(normalised.folder());
    std::lock_guard<std::mutex> guard(g_farmLock);
    std::shared_ptr<FarmView>& view = g_views[key];
    if (!view)
        view = std::make_shared<FarmView>(normalised.folder());
    return view;
}

std::shared_ptr<FarmView> CurrentFarm() { return ViewOf(CurrentFarmFolder()); }

void WakeSubscribers() {
    {
        std::lock_guard<std::mutex> guard(g_wakeLock);
        ++g_wakeCount;
    }
    g_wake.notify_all();
}

void WaitForWake(uint64_t* seen, DWORD milliseconds) {
    std::unique_lock<std::mutex> guard(g_wakeLock);
    g_wake.wait_for(guard, std::chrono::milliseconds(milliseconds), [seen] { return g_wakeCount != *seen; });
    *seen = g_wakeCount;
}

void Unplug(FarmView& view, const std::string& udid, simfarm::Fault fired) {
    std::string error;
    view.farm().Update(
        udid,
        [fired](Value& d, std::string*) {
            d.Set(simfarm::key::kAttached, Value::Bool(false));
            Value& faults = d.SubDict(simfarm::key::kFaults);
            // The fault has fired; plugging the device in again starts afresh.
            faults.Remove(simfarm::InfoOf(fired).key);
            faults.Set(simfarm::key::kFaultSerial, Value::Integer(faults.GetInteger(simfarm::key::kFaultSerial) + 1));
            return true;
        },
        &error);
    view.Invalidate();
    WakeSubscribers();
}

// ---- device handles ----------------------------------------------------------

bool DeviceHandle::Live(DeviceState* state, bool fresh) {
    return view->State(udid, state, fresh) && state->attached && state->connection == connection;
}

namespace {

std::mutex g_handleLock;
std::map<const void*, std::shared_ptr<DeviceHandle>> g_handles;

} // namespace

am_device* RetainHandle(const std::shared_ptr<FarmView>& view, const std::string& udid, int64_t connection) {
    std::lock_guard<std::mutex> guard(g_handleLock);
    for (auto& entry : g_handles) {
        DeviceHandle& h = *entry.second;
        if (h.view == view && h.udid == udid && h.connection == connection) {
            ++h.refs;
            return reinterpret_cast<am_device*>(entry.second.get());
        }
    }
    auto handle = std::make_shared<DeviceHandle>();
    handle->view = view;
    handle->udid = udid;
    handle->connection = connection;
    handle->refs = 1;
    g_handles[handle.get()] = handle;
    return reinterpret_cast<am_device*>(handle.get());
}

std::shared_ptr<DeviceHandle> Acquire(am_device* device) {
    std::lock_guard<std::mutex> guard(g_handleLock);
    auto it = g_handles.find(device);
    return it == g_handles.end() ? nullptr : it->second;
}

int Check(am_device* device, std::shared_ptr<DeviceHandle>* handle, DeviceState* state) {
    *handle = Acquire(device);
    if (!*handle)
        return simfarm::kAmdInvalidArgumentError;
    if (!(*handle)->Live(state))
        return simfarm::kAmdDeviceDisconnectedError;
    return simfarm::kAmdSuccess;
}

int CheckSession(am_device* device, std::shared_ptr<DeviceHandle>* handle, DeviceState* state) {
    int status = Check(device, handle, state);
    if (status != simfarm::kAmdSuccess)
        return status;
    std::lock_guard<std::mutex> guard((*handle)->lock);
    if (!(*handle)->connected)
        return simfarm::kAmdNotConnectedError;
    if (!(*handle)->inSession)
        return simfarm::kAmdSessionInactiveError;
    return simfarm::kAmdSuccess;
}

am_device* Retain(am_device* device) {
    std::lock_guard<std::mutex> guard(g_handleLock);
    auto it = g_handles.find(device);
    if (it == g_handles.end())
        return nullptr;
    ++it->second->refs;
    return device;
}

void Release(am_device* device) {
    std::shared_ptr<DeviceHandle> last; // destroyed outside the lock
    std::lock_guard<std::mutex> guard(g_handleLock);
    auto it = g_handles.find(device);
    if (it == g_handles.end())
        return;
    if (--it->second->refs <= 0) {
        last = std::move(it->second);
        g_handles.erase(it);
    }
}

// ---- services ------------------------------------------------------------------

namespace {

std::mutex g_serviceLock;
std::map<SOCKET, ServiceRecord> g_services;

bool LocalPort(SOCKET socket, unsigned short* port) {
    sockaddr_in address = {};
    int length = sizeof address;
    if (::getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length) != 0 || address.sin_family != AF_INET)
        return false;
    *port = ntohs(address.sin_port);
    return true;
}

} // namespace

void RecordService(SOCKET socket, const ServiceRecord& record) {
    std::lock_guard<std::mutex> guard(g_serviceLock);
    // Sockets their owners have closed since are forgotten.
    for (auto it = g_services.begin(); it != g_services.end();) {
        unsigned short port = 0;
        if (!LocalPort(it->first, &port) || port != it->second.port)
            it = g_services.erase(it);
        else
            ++it;
    }
    g_services[socket] = record;
}

bool FindService(SOCKET socket, ServiceRecord* record) {
    ServiceRecord found;
    {
        std::lock_guard<std::mutex> guard(g_serviceLock);
        auto it = g_services.find(socket);
        if (it == g_services.end())
            return false;
        found = it->second;
    }
    // A socket closed by its owner may have been reused for something else.
    unsigned short port = 0;
    if (!LocalPort(socket, &port) || port != found.port)
        return false;
    *record = std::move(found);
    return true;
}

HMODULE ThisModule() {
    HMODULE module = nullptr;
    ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                         reinterpret_cast<LPCWSTR>(&ThisModule), &module);
    return module;
}

} // namespace mdsim
