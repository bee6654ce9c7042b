// Device notifications: each subscription has its own thread, which
// announces the attached devices and then watches the farm for arrivals
// and removals.
#include "sim/mobiledevice/exports.h"
#include "sim/mobiledevice/simulator.h"

#include <atomic>
#include <map>

using namespace mdsim;
using namespace simfarm;

namespace {

// How often a subscription looks at the farm when nothing in this process
// woke it.
const DWORD kPollMilliseconds = 100;

struct Subscription {
    am_device_notification_callback callback = nullptr;
    void* context = nullptr;
    std::shared_ptr<FarmView> view;
    HANDLE thread = nullptr;
    DWORD threadId = 0;
    std::atomic<bool> stop{false};
    // Set when the subscription was ended from its own callback: the thread
    // then frees it on the way out.
    std::atomic<bool> orphaned{false};
    // Devices announced and not yet removed: identifier -> handle (one reference held).
    std::map<std::string, am_device*> announced;
};

std::mutex g_subscriptionLock;
std::map<const void*, Subscription*> g_subscriptions;

void Deliver(Subscription* s, am_device* device, unsigned int message) {
    if (s->stop)
        return;
    am_device_notification_callback_info info;
    info.dev = device;
    info.msg = message;
    info.subscription = reinterpret_cast<am_device_notification*>(s);
    try {
        s->callback(&info, s->context);
    } catch (...) {
    }
}

void Poll(Subscription* s) {
    std::vector<std::pair<std::string, int64_t>> attached = s->view->Attached();
    // Removals first: a device plugged in again comes back on a new handle.
    for (auto it = s->announced.begin(); it != s->announced.end() && !s->stop;) {
        bool present = false;
        std::shared_ptr<DeviceHandle> handle = Acquire(it->second);
        for (const auto& device : attached)
            present = present || (device.first == it->first && handle && device.second == handle->connection);
        if (present) {
            ++it;
            continue;
        }
        am_device* gone = it->second;
        it = s->announced.erase(it);
        Deliver(s, gone, ADNCI_MSG_DISCONNECTED);
        Release(gone);
    }
    for (const auto& device : attached) {
        if (s->stop)
            return;
        if (s->announced.count(device.first))
            continue;
        am_device* handle = RetainHandle(s->view, device.first, device.second);
        s->announced[device.first] = handle;
        Deliver(s, handle, ADNCI_MSG_CONNECTED);
    }
}

DWORD WINAPI NotificationThread(void* parameter) {
    Subscription* s = static_cast<Subscription*>(parameter);
    try {
        uint64_t seen = 0;
        while (!s->stop) {
            Poll(s);
            WaitForWake(&seen, kPollMilliseconds);
        }
    } catch (...) {
    }
    for (const auto& entry : s->announced)
        Release(entry.second);
    s->announced.clear();
    if (s->orphaned) {
        ::CloseHandle(s->thread);
        delete s;
    }
    // The thread holds a reference to this library (taken when it was
    // started), so that the library cannot go while the thread runs.
    ::FreeLibraryAndExitThread(ThisModule(), 0);
    return 0;
}

} // namespace

extern "C" int __cdecl AMDeviceNotificationSubscribe(am_device_notification_callback callback, unsigned int unused0,
                                                     unsigned int unused1, void* context,
                                                     am_device_notification** notification) {
    return Guarded<int>(kAmdUndefinedError, [&] {
        if (!callback || !notification)
            return static_cast<int>(kAmdInvalidArgumentError);
        auto s = std::make_unique<Subscription>();
        s->callback = callback;
        s->context = context;
        s->view = CurrentFarm();
        HMODULE self = nullptr;
        if (!::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&ThisModule),
                                  &self))
            return static_cast<int>(kAmdNoResourcesError);
        // Created suspended, so that the handle is stored before it runs.
        s->thread = ::CreateThread(nullptr, 0, NotificationThread, s.get(), CREATE_SUSPENDED, &s->threadId);
        if (!s->thread) {
            ::FreeLibrary(self);
            return static_cast<int>(kAmdNoResourcesError);
        }
        Subscription* raw = s.release();
        {
            std::lock_guard<std::mutex> guard(g_subscriptionLock);
            g_subscriptions[raw] = raw;
        }
        *notification = reinterpret_cast<am_device_notification*>(raw);
        ::ResumeThread(raw->thread);
        return static_cast<int>(kAmdSuccess);
    });
}

extern "C" int __cdecl AMDeviceNotificationUnsubscribe(am_device_notification* notification) {
    return Guarded<int>(kAmdUndefinedError, [&] {
        Subscription* s = nullptr;
        {
            std::lock_guard<std::mutex> guard(g_subscriptionLock);
            auto it = g_subscriptions.find(notification);
            if (it == g_subscriptions.end())
                return static_cast<int>(kAmdInvalidArgumentError);
            s = it->second;
            g_subscriptions.erase(it);
        }
        s->stop = true;
        if (::GetCurrentThreadId() == s->threadId) {
            // Called from its own callback: the thread ends when the callback returns.
            s->orphaned = true;
            return static_cast<int>(kAmdSuccess);
        }
        WakeSubscribers();
        ::WaitForSingleObject(s->thread, INFINITE);
        ::CloseHandle(s->thread);
        delete s;
        return static_cast<int>(kAmdSuccess);
    });
}
