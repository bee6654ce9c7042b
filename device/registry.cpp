// The device list: devices announced by the vendor library since listening
// began, relayed to the caller as identifiers, and found by identifier for
// every device export.
//
// Sharing. Arrivals and removals change the list on the vendor library's
// notification thread while every export reads it on its caller's thread.
// The lock guards the list, the two callbacks and the subscription, and is
// held only for operations on them: never while a vendor call or a caller's
// callback runs. Each listed handle is held by a shared owner that releases
// it (AMDeviceRelease) when the last holder lets go, so a scan works on a
// copy of the list and never meets a released handle, and a removal never
// releases a handle that a running export still uses.
#include "device/OrvexDevice.h"
#include "device/device_access.h"
#include "device/export_guard.h"
#include "platform/cf_text.h"
#include "platform/log.h"

#include <algorithm>
#include <mutex>
#include <vector>

namespace {

using ListedHandle = std::shared_ptr<am_device>;

struct Registry {
    std::mutex lock;
    std::vector<ListedHandle> devices; // in order of arrival, each handle once
    DeviceEventCallback onArrived = nullptr;
    DeviceEventCallback onRemoved = nullptr;
    am_device_notification* subscription = nullptr;
    bool changing = false; // a subscribe or unsubscribe is under way
};

// Lives as long as the process and is never destroyed: the vendor library's
// thread may still deliver while the process ends, and the handles are not
// released at exit.
Registry& State() {
    static Registry* registry = new Registry;
    return *registry;
}

void ReleaseHandle(am_device* device) { vendor::AMDeviceRelease(device); }

std::vector<ListedHandle>::iterator FindListed(std::vector<ListedHandle>& devices, am_device* device) {
    return std::find_if(devices.begin(), devices.end(),
                        [device](const ListedHandle& listed) { return listed.get() == device; });
}

bool IsListed(Registry& registry, am_device* device) {
    std::lock_guard<std::mutex> guard(registry.lock);
    return FindListed(registry.devices, device) != registry.devices.end();
}

void Announce(DeviceEventCallback callback, am_device* device) {
    std::wstring identifier = CopyDeviceIdentifier(device);
    callback(identifier.c_str());
}

void Arrive(am_device* device) {
    Registry& registry = State();
    if (IsListed(registry, device))
        return;
    vendor::AMDeviceRetain(device);
    ListedHandle handle(device, ReleaseHandle); // declared first, so released after the lock is let go
    DeviceEventCallback callback;
    {
        std::lock_guard<std::mutex> guard(registry.lock);
        if (FindListed(registry.devices, device) != registry.devices.end())
            return; // listed meanwhile: our retain goes with `handle`
        registry.devices.push_back(handle);
        callback = registry.onArrived;
    }
    if (callback)
        Announce(callback, device);
}

void Remove(am_device* device) {
    Registry& registry = State();
    ListedHandle handle;
    DeviceEventCallback callback;
    {
        std::lock_guard<std::mutex> guard(registry.lock);
        auto it = FindListed(registry.devices, device);
        if (it == registry.devices.end())
            return;
        handle = *it;
        callback = registry.onRemoved;
    }
    // The device stays listed (and so can be found) while the caller hears of
    // its removal.
    if (callback)
        Announce(callback, device);
    {
        std::lock_guard<std::mutex> guard(registry.lock);
        auto it = std::find(registry.devices.begin(), registry.devices.end(), handle);
        if (it != registry.devices.end())
            registry.devices.erase(it);
    }
    // `handle` goes here: the list's retain is released unless an export
    // still holds the device.
}

std::vector<ListedHandle> Snapshot() {
    Registry& registry = State();
    std::lock_guard<std::mutex> guard(registry.lock);
    return registry.devices;
}

} // namespace

std::wstring CopyDeviceIdentifier(am_device* device) {
    CFRef<CFStringRef> identifier(vendor::AMDeviceCopyDeviceIdentifier(device));
    return CFStringToWide(identifier.get());
}

DeviceRef FindDevice(const wchar_t* identifier) {
    if (!identifier || !*identifier)
        return DeviceRef();
    const std::wstring wanted = identifier;
    for (ListedHandle& handle : Snapshot()) {
        if (CopyDeviceIdentifier(handle.get()) == wanted)
            return DeviceRef(std::move(handle));
    }
    return DeviceRef();
}

void OnDeviceNotification(am_device_notification_callback_info* info, void* /*context*/) {
    try {
        if (!info || !info->dev)
            return;
        switch (info->msg) {
        case ADNCI_MSG_CONNECTED:
            Arrive(info->dev);
            break;
        case ADNCI_MSG_DISCONNECTED:
        case ADNCI_MSG_UNKNOWN:
            Remove(info->dev);
            break;
        default:
            break;
        }
    } catch (const std::exception& e) {
        LogUnexpectedError(L"OnDeviceNotification", e.what());
    } catch (...) {
        LogUnexpectedError(L"OnDeviceNotification", nullptr);
    }
}

void ForgetDevices() {
    Registry& registry = State();
    am_device_notification* subscription = nullptr;
    {
        std::lock_guard<std::mutex> guard(registry.lock);
        if (!registry.changing)
            subscription = std::exchange(registry.subscription, nullptr);
    }
    if (subscription)
        vendor::AMDeviceNotificationUnsubscribe(subscription);
    std::vector<ListedHandle> forgotten;
    {
        std::lock_guard<std::mutex> guard(registry.lock);
        forgotten.swap(registry.devices);
    }
    // `forgotten` goes here, outside the lock, releasing the handles.
}

int StartListeningDeviceConnections(DeviceEventCallback arrived, DeviceEventCallback removed) {
    return GuardedExport(L"StartListeningDeviceConnections", [&] {
        Registry& registry = State();
        {
            std::lock_guard<std::mutex> guard(registry.lock);
            if (registry.subscription || registry.changing)
                return 0;
            registry.changing = true;
            registry.onArrived = arrived;
            registry.onRemoved = removed;
        }
        am_device_notification* subscription = nullptr;
        int result = vendor::AMDeviceNotificationSubscribe(OnDeviceNotification, 0, 0, nullptr, &subscription);
        std::lock_guard<std::mutex> guard(registry.lock);
        registry.changing = false;
        if (result != 0)
            return 0;
        registry.subscription = subscription;
        return 1;
    });
}

int StopListeningDeviceConnections() {
    return GuardedExport(L"StopListeningDeviceConnections", [] {
        Registry& registry = State();
        am_device_notification* subscription;
        {
            std::lock_guard<std::mutex> guard(registry.lock);
            if (!registry.subscription || registry.changing)
                return 0;
            subscription = registry.subscription;
            registry.changing = true;
        }
        int result = vendor::AMDeviceNotificationUnsubscribe(subscription);
        std::lock_guard<std::mutex> guard(registry.lock);
        registry.changing = false;
        if (result != 0)
            return 0;
        registry.subscription = nullptr;
        return 1;
    });
}
