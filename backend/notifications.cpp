// Device notifications: each subscription has a thread of its own holding a
// Listen connection to the multiplexer. The callbacks run on that thread,
// as the vendor's do, with no lock held. Devices attached when the
// subscription starts are announced first. When the multiplexer goes away,
// every device it had announced is reported gone, and the thread connects
// again (once a second) and announces what it finds.
//
// Ending a subscription (AMDeviceNotificationUnsubscribe, Shutdown) from
// another thread waits for its thread; from inside one of its own callbacks
// it only asks the thread to end, and the thread frees the subscription
// once the callback has returned.
#include "backend/notifications.h"
#include "backend/device.h"
#include "backend/device_calls.h"
#include "backend/guard.h"
#include "backend/multiplexer.h"
#include "backend/status.h"

#include <atomic>
#include <map>
#include <mutex>
#include <set>

#include <windows.h>

struct am_device_notification {
    am_device_notification_callback callback = nullptr;
    void* context = nullptr;
    std::atomic<bool> stop{false};
    std::atomic<bool> ready{false}; // `thread` is set
    bool freeOnExit = false;        // set on the thread itself
    HANDLE thread = nullptr;        // a Win32 thread: MinGW's std::thread can fault as it starts
    DWORD threadId = 0;
    std::map<uint32_t, am_device*> attached; // the thread's own
};

namespace backend {

namespace {

constexpr unsigned kPollMilliseconds = 100;
constexpr unsigned kRetryMilliseconds = 1000;

struct Subscriptions {
    std::mutex lock;
    std::set<am_device_notification*> live;
};

Subscriptions& AllSubscriptions() {
    static Subscriptions* subscriptions = new Subscriptions;
    return *subscriptions;
}

void Announce(am_device_notification* n, am_device* device, unsigned message) {
    am_device_notification_callback_info info{device, message, n};
    try {
        n->callback(&info, n->context);
    } catch (...) {
        LogLine("a device notification callback failed");
    }
}

void Arrived(am_device_notification* n, const MuxDevice& found) {
    if (found.udid.empty() || n->attached.count(found.id))
        return;
    am_device* device = AnnouncedDevice(found.id, found.udid);
    n->attached[found.id] = device;
    Announce(n, device, ADNCI_MSG_CONNECTED);
}

void Departed(am_device_notification* n, uint32_t id) {
    auto it = n->attached.find(id);
    if (it == n->attached.end())
        return;
    am_device* device = it->second;
    n->attached.erase(it);
    Announce(n, device, ADNCI_MSG_DISCONNECTED);
    calls::AMDeviceRelease(device);
}

void AllLeft(am_device_notification* n, bool announce) {
    while (!n->attached.empty()) {
        const uint32_t id = n->attached.begin()->first;
        if (announce) {
            Departed(n, id);
        } else {
            calls::AMDeviceRelease(n->attached.begin()->second);
            n->attached.erase(n->attached.begin());
        }
    }
}

// Waits up to `milliseconds`, in short steps, unless asked to stop.
void Pause(am_device_notification* n, unsigned milliseconds) {
    for (unsigned waited = 0; waited < milliseconds && !n->stop; waited += kPollMilliseconds)
        ::Sleep(kPollMilliseconds);
}

// One Listen connection, until it fails or the subscription ends. True
// when the multiplexer took the Listen.
bool ListenOnce(am_device_notification* n, std::string* error) {
    std::unique_ptr<MuxChannel> channel = MuxChannel::Open(MultiplexerTimeout(), error);
    if (!channel)
        return false;
    Owned<CFDictionaryRef> reply = channel->Exchange("Listen", nullptr, error);
    if (!reply)
        return false;
    if (const int64_t number = ResultNumber(reply.get()); number != 0) {
        *error = "the multiplexer refused Listen (result " + std::to_string(number) + ")";
        return false;
    }
    while (!n->stop) {
        Owned<CFDictionaryRef> message;
        uint32_t tag = 0;
        MuxChannel::Next next = channel->Receive(kPollMilliseconds, &message, &tag, error);
        if (next == MuxChannel::Next::Failed)
            return true;
        if (next == MuxChannel::Next::Quiet)
            continue;
        const std::string type = TextOf(message.get(), "MessageType");
        MuxDevice device;
        if (!DeviceOfMessage(message.get(), &device))
            continue;
        if (type == "Attached")
            Arrived(n, device);
        else if (type == "Detached")
            Departed(n, device.id);
    }
    return true;
}

void Run(am_device_notification* n) {
    bool lost = false; // the last connection was lost: say so once
    while (!n->stop) {
        std::string error;
        const bool listened = ListenOnce(n, &error);
        if (n->stop)
            break;
        AllLeft(n, true);
        if (listened || !lost)
            LogLine("device notifications: " + (error.empty() ? std::string("the multiplexer went away") : error) +
                    "; connecting again");
        lost = true;
        Pause(n, kRetryMilliseconds);
    }
    AllLeft(n, false);
}

DWORD WINAPI ThreadMain(void* parameter) {
    am_device_notification* n = static_cast<am_device_notification*>(parameter);
    while (!n->ready)
        ::Sleep(1);
    try {
        Run(n);
    } catch (...) {
        LogLine("device notifications: the thread ended on an unexpected error");
    }
    if (n->freeOnExit) {
        ::CloseHandle(n->thread);
        delete n;
    }
    return 0;
}

// Ends a subscription taken out of the live set.
void End(am_device_notification* n) {
    n->stop = true;
    if (n->threadId == ::GetCurrentThreadId()) {
        n->freeOnExit = true; // the thread frees it once the callback returns
        return;
    }
    ::WaitForSingleObject(n->thread, INFINITE);
    ::CloseHandle(n->thread);
    delete n;
}

} // namespace

void EndNotifications() {
    std::set<am_device_notification*> ending;
    {
        Subscriptions& all = AllSubscriptions();
        std::lock_guard<std::mutex> guard(all.lock);
        ending.swap(all.live);
    }
    for (am_device_notification* n : ending)
        End(n);
}

namespace calls {

int __cdecl AMDeviceNotificationSubscribe(am_device_notification_callback callback, unsigned int, unsigned int,
                                          void* context, am_device_notification** notification) {
    return Guarded<int>("AMDeviceNotificationSubscribe", [&]() -> int {
        if (!callback || !notification)
            return kInvalidArgumentError;
        auto n = std::make_unique<am_device_notification>();
        n->callback = callback;
        n->context = context;
        am_device_notification* raw = n.get();
        {
            Subscriptions& all = AllSubscriptions();
            std::lock_guard<std::mutex> guard(all.lock);
            all.live.insert(raw);
        }
        n->thread = ::CreateThread(nullptr, 0, ThreadMain, raw, 0, &n->threadId);
        if (!n->thread) {
            Subscriptions& all = AllSubscriptions();
            std::lock_guard<std::mutex> guard(all.lock);
            all.live.erase(raw);
            LogLine("AMDeviceNotificationSubscribe: no thread could be started");
            return kNoResourcesError;
        }
        *notification = n.release();
        raw->ready = true;
        return kOk;
    });
}

int __cdecl AMDeviceNotificationUnsubscribe(am_device_notification* notification) {
    return Guarded<int>("AMDeviceNotificationUnsubscribe", [&]() -> int {
        if (!notification)
            return kInvalidArgumentError;
        {
            Subscriptions& all = AllSubscriptions();
            std::lock_guard<std::mutex> guard(all.lock);
            if (!all.live.erase(notification))
                return kInvalidArgumentError;
        }
        End(notification);
        return kOk;
    });
}

} // namespace calls

} // namespace backend
