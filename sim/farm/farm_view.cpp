#include "sim/farm/farm_view.h"

#include <algorithm>
#include <cwctype>

namespace simfarm {

namespace {

// How stale the cached farm may be on the data path.
const DWORD kRefreshMilliseconds = 20;

DeviceState StateOf(const Value& d) {
    DeviceState s;
    s.attached = IsAttached(d);
    s.connection = ConnectionId(d);
    s.paired = d.GetBool(key::kPaired);
    auto services = std::make_shared<std::vector<std::string>>();
    if (const Value* list = d.Find(key::kServices)) {
        for (const Value& item : list->items()) {
            if (item.is(Value::Kind::String))
                services->push_back(item.text());
        }
    }
    s.services = std::move(services);
    s.jailbroken = s.Offers("com.apple.afc2");
    for (const FaultInfo& info : Faults())
        s.faults[static_cast<int>(info.fault)] = FaultAmount(d, info.fault);
    s.faultSerial = FaultSerial(d);
    return s;
}

} // namespace

bool DeviceState::Offers(const std::string& service) const {
    if (!services)
        return false;
    return std::find(services->begin(), services->end(), service) != services->end();
}

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

bool FarmView::Live(const std::string& udid, int64_t connection, DeviceState* state, bool fresh) {
    return State(udid, state, fresh) && state->attached && state->connection == connection;
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
        limit(state.Fault(Fault::ReadAfter), c.read);
    else
        limit(state.Fault(Fault::WriteAfter), c.written);
    limit(state.Fault(Fault::UnplugAfter), c.moved);
    return budget;
}

bool FarmView::Moved(const std::string& udid, const DeviceState& state, Direction direction, unsigned bytes) {
    std::lock_guard<std::mutex> guard(m_lock);
    Counters& c = CountersOf(udid, state);
    (direction == Direction::Read ? c.read : c.written) += bytes;
    c.moved += bytes;
    int64_t unplugAt = state.Fault(Fault::UnplugAfter);
    return unplugAt > 0 && c.moved >= unplugAt;
}

FarmView::ListStep FarmView::BeforeListRead(const std::string& udid, const DeviceState& state) {
    std::lock_guard<std::mutex> guard(m_lock);
    const Counters& c = CountersOf(udid, state);
    auto spent = [&c](int64_t amount) { return amount > 0 && c.listed >= amount; };
    if (spent(state.Fault(Fault::UnplugListAfter)))
        return ListStep::Unplug;
    if (spent(state.Fault(Fault::ListAfter)))
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

void FarmView::Unplug(const std::string& udid, Fault fired) {
    std::string error;
    m_farm.Update(
        udid,
        [fired](Value& d, std::string*) {
            d.Set(key::kAttached, Value::Bool(false));
            Value& faults = d.SubDict(key::kFaults);
            // The fault has fired; plugging the device in again starts afresh.
            faults.Remove(InfoOf(fired).key);
            faults.Set(key::kFaultSerial, Value::Integer(faults.GetInteger(key::kFaultSerial) + 1));
            return true;
        },
        &error);
    Invalidate();
}

namespace {

std::mutex g_viewLock;
std::map<std::wstring, std::shared_ptr<FarmView>> g_views;

std::wstring FolderKey(const std::wstring& folder) {
    std::wstring key = folder;
    for (wchar_t& c : key)
        c = c == L'/' ? L'\\' : static_cast<wchar_t>(std::towupper(c));
    while (key.size() > 3 && key.back() == L'\\')
        key.pop_back();
    return key;
}

} // namespace

std::shared_ptr<FarmView> ViewOf(const std::wstring& folder) {
    Farm normalised(folder);
    std::wstring key = FolderKey(normalised.folder());
    std::lock_guard<std::mutex> guard(g_viewLock);
    std::shared_ptr<FarmView>& view = g_views[key];
    if (!view)
        view = std::make_shared<FarmView>(normalised.folder());
    return view;
}

unsigned long LatencyMilliseconds(const DeviceState& state) {
    const int64_t kMostMilliseconds = 60000;
    int64_t milliseconds = std::min(state.Fault(Fault::Latency), kMostMilliseconds);
    return milliseconds > 0 ? static_cast<unsigned long>(milliseconds) : 0;
}

void Lag(const DeviceState& state) {
    unsigned long milliseconds = LatencyMilliseconds(state);
    if (milliseconds > 0)
        ::Sleep(milliseconds);
}

} // namespace simfarm
