#include "sim/mobiledevice/simulator.h"

#include "sim/farm/location.h"
#include "sim/farm/status.h"

namespace mdsim {

// ---- farms in use -----------------------------------------------------------

namespace {

std::mutex g_farmLock;
std::wstring g_override;

std::mutex g_wakeLock;
std::condition_variable g_wake;
uint64_t g_wakeCount = 0;

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
    view.Unplug(udid, fired);
    WakeSubscribers();
}

// ---- device handles ----------------------------------------------------------

bool DeviceHandle::Live(DeviceState* state, bool fresh) { return view->Live(udid, connection, state, fresh); }

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
