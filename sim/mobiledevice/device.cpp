// Device handles, connection, pairing, sessions, lockdown values and
// service start.
#include "sim/mobiledevice/cf_bridge.h"
#include "sim/mobiledevice/exports.h"
#include "sim/mobiledevice/simulator.h"

#include <mutex>

using namespace simfarm;
using mdsim::Guarded;

namespace mdsim {
namespace {

void StartWinsock() {
    static std::once_flag once;
    std::call_once(once, [] {
        WSADATA data;
        ::WSAStartup(MAKEWORD(2, 2), &data);
    });
}

// A real socket that stands for the service connection: bound to a local
// port so that it can be told apart from any later socket with the same
// value.
SOCKET MakeServiceSocket(unsigned short* port) {
    StartWinsock();
    SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET)
        return INVALID_SOCKET;
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    int length = sizeof address;
    if (::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ::closesocket(s);
        return INVALID_SOCKET;
    }
    *port = ntohs(address.sin_port);
    return s;
}

} // namespace
} // namespace mdsim

using namespace mdsim;

extern "C" am_device* __cdecl AMDeviceRetain(am_device* device) {
    return Guarded<am_device*>(nullptr, [&] { return Retain(device); });
}

extern "C" void __cdecl AMDeviceRelease(am_device* device) {
    Guarded<int>(0, [&] {
        Release(device);
        return 0;
    });
}

extern "C" CFStringRef __cdecl AMDeviceCopyDeviceIdentifier(am_device* device) {
    // Known from the moment the device was announced: it still answers
    // after the device has gone, as the removal notice needs it.
    return Guarded<CFStringRef>(nullptr, [&]() -> CFStringRef {
        std::shared_ptr<DeviceHandle> handle = Acquire(device);
        return handle ? CreateCfString(handle->udid) : nullptr;
    });
}

extern "C" int __cdecl AMDeviceConnect(am_device* device) {
    return Guarded<int>(kAmdUndefinedError, [&] {
        std::shared_ptr<DeviceHandle> handle;
        DeviceState state;
        int status = Check(device, &handle, &state);
        if (status != kAmdSuccess)
            return status;
        if (state.Fault(Fault::Connect))
            return static_cast<int>(kAmdNotConnectedError);
        std::lock_guard<std::mutex> guard(handle->lock);
        handle->connected = true;
        return static_cast<int>(kAmdSuccess);
    });
}

extern "C" int __cdecl AMDeviceIsPaired(am_device* device) {
    return Guarded<int>(0, [&] {
        std::shared_ptr<DeviceHandle> handle;
        DeviceState state;
        if (Check(device, &handle, &state) != kAmdSuccess)
            return 0;
        return state.paired && !state.Fault(Fault::Pair) ? 1 : 0;
    });
}

extern "C" int __cdecl AMDevicePair(am_device* device) {
    return Guarded<int>(kAmdUndefinedError, [&] {
        std::shared_ptr<DeviceHandle> handle;
        DeviceState state;
        int status = Check(device, &handle, &state);
        if (status != kAmdSuccess)
            return status;
        {
            std::lock_guard<std::mutex> guard(handle->lock);
            if (!handle->connected)
                return static_cast<int>(kAmdNotConnectedError);
        }
        if (state.Fault(Fault::Pair))
            return static_cast<int>(kAmdInvalidPairRecordError);
        if (!state.paired) {
            std::string error;
            if (!handle->view->farm().SetPaired(handle->udid, true, &error))
                return static_cast<int>(kAmdUndefinedError);
            handle->view->Invalidate();
        }
        return static_cast<int>(kAmdSuccess);
    });
}

extern "C" int __cdecl AMDeviceValidatePairing(am_device* device) {
    return Guarded<int>(kAmdUndefinedError, [&] {
        std::shared_ptr<DeviceHandle> handle;
        DeviceState state;
        int status = Check(device, &handle, &state);
        if (status != kAmdSuccess)
            return status;
        std::lock_guard<std::mutex> guard(handle->lock);
        if (!handle->connected)
            return static_cast<int>(kAmdNotConnectedError);
        if (state.Fault(Fault::Pair))
            return static_cast<int>(kAmdInvalidPairRecordError);
        return static_cast<int>(state.paired ? kAmdSuccess : kAmdMissingPairRecordError);
    });
}

extern "C" int __cdecl AMDeviceStartSession(am_device* device) {
    return Guarded<int>(kAmdUndefinedError, [&] {
        std::shared_ptr<DeviceHandle> handle;
        DeviceState state;
        int status = Check(device, &handle, &state);
        if (status != kAmdSuccess)
            return status;
        std::lock_guard<std::mutex> guard(handle->lock);
        if (!handle->connected)
            return static_cast<int>(kAmdNotConnectedError);
        if (!state.paired || state.Fault(Fault::Pair))
            return static_cast<int>(kAmdInvalidPairRecordError);
        if (state.Fault(Fault::Session))
            return static_cast<int>(kAmdSessionInactiveError);
        if (handle->inSession)
            return static_cast<int>(kAmdSessionActiveError);
        handle->inSession = true;
        return static_cast<int>(kAmdSuccess);
    });
}

extern "C" int __cdecl AMDeviceStopSession(am_device* device) {
    return Guarded<int>(kAmdUndefinedError, [&] {
        std::shared_ptr<DeviceHandle> handle;
        DeviceState state;
        int status = Check(device, &handle, &state);
        if (!handle)
            return status;
        std::lock_guard<std::mutex> guard(handle->lock);
        bool wasInSession = handle->inSession;
        handle->inSession = false;
        if (status != kAmdSuccess)
            return status;
        return static_cast<int>(wasInSession ? kAmdSuccess : kAmdSessionInactiveError);
    });
}

extern "C" int __cdecl AMDeviceDisconnect(am_device* device) {
    return Guarded<int>(kAmdUndefinedError, [&] {
        std::shared_ptr<DeviceHandle> handle;
        DeviceState state;
        int status = Check(device, &handle, &state);
        if (!handle)
            return status;
        // The handle's state is reset whatever the device says.
        std::lock_guard<std::mutex> guard(handle->lock);
        bool wasConnected = handle->connected;
        handle->connected = false;
        handle->inSession = false;
        if (status != kAmdSuccess)
            return status;
        return static_cast<int>(wasConnected ? kAmdSuccess : kAmdNotConnectedError);
    });
}

extern "C" CFTypeRef __cdecl AMDeviceCopyValue(am_device* device, CFStringRef domain, CFStringRef key) {
    return Guarded<CFTypeRef>(nullptr, [&]() -> CFTypeRef {
        std::shared_ptr<DeviceHandle> handle;
        DeviceState state;
        if (CheckSession(device, &handle, &state) != kAmdSuccess)
            return nullptr;
        std::string domainName, keyName;
        if (domain && !StringFromCf(domain, &domainName))
            return nullptr;
        if (key && !StringFromCf(key, &keyName))
            return nullptr;
        if (domain && (domainName.empty() || IsPseudoDomain(domainName)))
            return nullptr; // only real lockdown domains have names
        if (!state.description)
            return nullptr;
        const Value* dict = DomainOf(*state.description, domainName);
        if (!dict)
            return nullptr;
        if (!key)
            return CreateCfValue(*dict);
        const Value* value = dict->Find(keyName);
        return value ? CreateCfValue(*value) : nullptr;
    });
}

extern "C" int __cdecl AMDeviceSetValue(am_device* device, CFStringRef domain, CFStringRef key, CFTypeRef value) {
    return Guarded<int>(kAmdUndefinedError, [&] {
        std::shared_ptr<DeviceHandle> handle;
        DeviceState state;
        int status = CheckSession(device, &handle, &state);
        if (status != kAmdSuccess)
            return status;
        std::string keyName, name;
        if (!key || !StringFromCf(key, &keyName) || !value)
            return static_cast<int>(kAmdInvalidArgumentError);
        // The device lets a host change its name, and nothing else here.
        if (domain || keyName != "DeviceName")
            return static_cast<int>(kAmdSetProhibitedError);
        if (!StringFromCf(value, &name) || name.empty())
            return static_cast<int>(kAmdInvalidArgumentError);
        std::string error;
        if (!handle->view->farm().SetValue(handle->udid, "", keyName, Value::String(name), &error))
            return static_cast<int>(kAmdUndefinedError);
        handle->view->Invalidate();
        return static_cast<int>(kAmdSuccess);
    });
}

extern "C" int __cdecl AMDeviceStartService(am_device* device, CFStringRef serviceName, SOCKET* socket,
                                            unsigned int* unused) {
    return Guarded<int>(kAmdUndefinedError, [&] {
        std::shared_ptr<DeviceHandle> handle;
        DeviceState state;
        int status = CheckSession(device, &handle, &state);
        if (status != kAmdSuccess)
            return status;
        std::string name;
        if (!serviceName || !socket || !StringFromCf(serviceName, &name))
            return static_cast<int>(kAmdInvalidArgumentError);
        if (!state.Offers(name))
            return static_cast<int>(kAmdInvalidServiceError);
        if ((name == "com.apple.afc2" && state.Fault(Fault::Afc2Service)) ||
            (name == "com.apple.afc" && state.Fault(Fault::AfcService)))
            return static_cast<int>(kAmdServiceProhibitedError);
        ServiceRecord record;
        record.view = handle->view;
        record.udid = handle->udid;
        record.connection = handle->connection;
        record.service = name;
        SOCKET s = MakeServiceSocket(&record.port);
        if (s == INVALID_SOCKET)
            return static_cast<int>(kAmdNoResourcesError);
        RecordService(s, record);
        *socket = s;
        return static_cast<int>(kAmdSuccess);
    });
}
