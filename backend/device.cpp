// The device objects and their lockdown calls. A device object is
// reference-counted (AMDeviceRetain/AMDeviceRelease); its lock serializes
// the calls made on it, which hold it only around their own requests, never
// while a caller's code runs. A lockdown connection that failed is dropped,
// so that the next call fails at once instead of waiting again.
#include "backend/device.h"

#include "backend/cf.h"
#include "backend/device_calls.h"
#include "backend/guard.h"
#include "backend/lockdown.h"
#include "backend/multiplexer.h"
#include "backend/status.h"

#include <ws2tcpip.h>

#include <atomic>
#include <map>
#include <mutex>
#include <set>

struct am_device {
    std::atomic<long> references{1};
    uint32_t deviceId = 0;
    std::string udid;

    std::mutex lock; // guards what follows
    std::unique_ptr<backend::Lockdown> lockdown;
    std::unique_ptr<backend::PairRecord> record; // as last read or made
    std::string sessionId;                       // of the open session
    // The last lockdown TLS session, offered to the device at the next
    // StartSession: resuming it spares both sides the key exchange.
    tls::Resumption lockdownTls;
    // The lockdown domains read whole within the open session, by name (""
    // for the device's own); a null entry: the device would not give that
    // domain whole, so its values are asked one by one.
    std::map<std::string, backend::Owned<CFDictionaryRef>> sessionValues;
};

namespace backend {

namespace {

struct Devices {
    std::mutex lock;
    std::set<am_device*> live;
};

Devices& AllDevices() {
    static Devices* devices = new Devices;
    return *devices;
}

std::string Named(am_device* device, const char* call) { return std::string(call) + " (" + device->udid + "): "; }

// Ends what the backend keeps of the device's session (not the session itself).
void ForgetSession(am_device* device) {
    device->sessionId.clear();
    device->sessionValues.clear();
}

// Drops a lockdown connection that failed, with the session on it.
void DropIfBroken(am_device* device) {
    if (device->lockdown && device->lockdown->broken()) {
        device->lockdown.reset();
        ForgetSession(device);
    }
}

// The device's pair record from the multiplexer (Missing when it keeps none).
Record LoadRecord(am_device* device, std::string* error) {
    Owned<CFDictionaryRef> whole;
    Record state = ReadPairRecord(device->udid, &whole, error);
    if (state != Record::Found)
        return state;
    auto record = std::make_unique<PairRecord>();
    if (!record->Read(whole.get(), error))
        return Record::Failed;
    // A session kept from another host identity is not offered.
    if (device->record && device->record->hostCertificate != record->hostCertificate)
        device->lockdownTls.Clear();
    device->record = std::move(record);
    return Record::Found;
}

// The record for a session: the one read or made, else read now.
const PairRecord* SessionRecord(am_device* device, const char* call, int* status) {
    if (device->record)
        return device->record.get();
    std::string error;
    Record state = LoadRecord(device, &error);
    if (state == Record::Found)
        return device->record.get();
    LogLine(Named(device, call) + (state == Record::Missing ? std::string("the multiplexer keeps no pair record")
                                                            : "the pair record could not be read: " + error));
    *status = state == Record::Missing ? kMissingPairRecordError : kInvalidPairRecordError;
    return nullptr;
}

// One request on the device's lockdown connection; null (and `status`)
// when it failed or the device refused it. `quiet` refusals are not logged.
Owned<CFDictionaryRef> Ask(am_device* device, const char* call, const char* request, CFDictionaryRef fields,
                           int* status, bool quiet = false) {
    if (!device->lockdown) {
        LogLine(Named(device, call) + "not connected");
        *status = kNotConnectedError;
        return Owned<CFDictionaryRef>();
    }
    std::string error;
    Owned<CFDictionaryRef> reply = device->lockdown->Request(request, fields, &error);
    if (!reply) {
        LogLine(Named(device, call) + error);
        DropIfBroken(device);
        *status = kNotConnectedError;
        return reply;
    }
    const std::string refusal = ErrorOf(reply.get());
    if (refusal.empty())
        return reply;
    if (!quiet)
        LogLine(Named(device, call) + "the device refused " + request + ": " + refusal);
    *status = StatusOfError(refusal);
    return Owned<CFDictionaryRef>();
}

// StartSession (and TLS when the device asks) on `lockdown`.
int OpenSession(Lockdown& lockdown, const PairRecord& record, tls::Resumption& resumption, std::string* sessionId,
                std::string* error) {
    Dictionary fields;
    fields.Set("HostID", record.hostId).Set("SystemBUID", record.systemBuid);
    Owned<CFDictionaryRef> reply = lockdown.Request("StartSession", fields.get(), error);
    if (!reply)
        return kNotConnectedError;
    if (const std::string refusal = ErrorOf(reply.get()); !refusal.empty()) {
        *error = "the device refused StartSession: " + refusal;
        return StatusOfError(refusal);
    }
    const std::string id = TextOf(reply.get(), "SessionID");
    if (id.empty()) {
        *error = "the device's StartSession answer has no SessionID";
        return kInvalidResponseError;
    }
    if (BoolOf(reply.get(), "EnableSessionSSL") &&
        !lockdown.connection().StartTls(record.hostCertificate, record.hostKey, &resumption)) {
        *error = "session TLS failed: " + lockdown.connection().lastError();
        return kUndefinedError;
    }
    *sessionId = id;
    return kOk;
}

int CloseSession(Lockdown& lockdown, const std::string& sessionId, std::string* error) {
    Dictionary fields;
    fields.Set("SessionID", sessionId);
    Owned<CFDictionaryRef> reply = lockdown.Request("StopSession", fields.get(), error);
    lockdown.connection().StopTls();
    if (!reply)
        return kNotConnectedError;
    if (const std::string refusal = ErrorOf(reply.get()); !refusal.empty()) {
        *error = "the device refused StopSession: " + refusal;
        return StatusOfError(refusal);
    }
    return kOk;
}

// StartService within the open session on `lockdown`, then the connection
// to the port it names.
int StartServiceOn(Lockdown& lockdown, const PairRecord& record, uint32_t deviceId, const char* service,
                   std::unique_ptr<Connection>* out, std::string* error) {
    Dictionary fields;
    fields.Set("Service", service);
    Owned<CFDictionaryRef> reply = lockdown.Request("StartService", fields.get(), error);
    if (!reply)
        return kNotConnectedError;
    if (const std::string refusal = ErrorOf(reply.get()); !refusal.empty()) {
        *error = std::string("the device refused to start ") + service + ": " + refusal;
        return StatusOfError(refusal);
    }
    int64_t port = 0;
    if (!IntegerOf(reply.get(), "Port", &port) || port <= 0 || port > 0xFFFF) {
        *error = std::string("the device named no port for ") + service;
        return kInvalidResponseError;
    }
    std::unique_ptr<Connection> connection = Connection::Open(deviceId, static_cast<uint16_t>(port), error);
    if (!connection)
        return kNotConnectedError;
    connection->SetTimeout(DeviceTimeout());
    if (BoolOf(reply.get(), "EnableServiceSSL") && !connection->StartTls(record.hostCertificate, record.hostKey)) {
        *error = std::string("TLS on ") + service + " failed: " + connection->lastError();
        return kUndefinedError;
    }
    *out = std::move(connection);
    return kOk;
}

// Why pairing did not happen, in words.
std::string PairingRefusal(const std::string& refusal) {
    if (refusal == "PairingDialogResponsePending")
        return "the user has not yet tapped \"Trust\" on the device; a later call pairs once that is done";
    if (refusal == "UserDeniedPairing")
        return "the user tapped \"Don't Trust\" on the device";
    if (refusal == "PasswordProtected")
        return "the device is locked with a passcode; unlock it to pair";
    return "the device refused Pair: " + refusal;
}

// Pairs with the device on its lockdown connection and saves the record
// through the multiplexer.
int PairNow(am_device* device) {
    int status = kOk;
    Dictionary keyQuery;
    keyQuery.Set("Key", "DevicePublicKey");
    Owned<CFDictionaryRef> reply = Ask(device, "AMDevicePair", "GetValue", keyQuery.get(), &status);
    if (!reply)
        return status;
    const std::string devicePublicKey = BytesOf(reply.get(), "Value");
    if (devicePublicKey.empty()) {
        LogLine(Named(device, "AMDevicePair") + "the device gave no DevicePublicKey");
        return kInvalidResponseError;
    }
    HostIdentity identity;
    std::string error, buid;
    Owned<CFDictionaryRef> old;
    PairRecord existing;
    if (ReadPairRecord(device->udid, &old, &error) == Record::Found && existing.Read(old.get(), &error) &&
        !existing.rootKey.empty()) {
        identity = {existing.rootKey, existing.rootCertificate, existing.hostKey, existing.hostCertificate};
        buid = existing.systemBuid;
    } else if (!ProcessHostIdentity(&identity, &error)) {
        LogLine(Named(device, "AMDevicePair") + "the host's keys could not be made: " + error);
        return kUndefinedError;
    }
    if (buid.empty() && !ReadBuid(&buid, &error)) {
        LogLine(Named(device, "AMDevicePair") + error);
        return kNotConnectedError;
    }
    PairRecord record;
    if (!MakePairRecord(identity, devicePublicKey, buid, &record, &error)) {
        LogLine(Named(device, "AMDevicePair") + "the device certificate could not be made: " + error);
        return kUndefinedError;
    }
    Dictionary fields;
    fields.SetValue("PairRecord", record.ForDevice().get()).Set("ProtocolVersion", "2");
    reply = device->lockdown->Request("Pair", fields.get(), &error);
    if (!reply) {
        LogLine(Named(device, "AMDevicePair") + error);
        DropIfBroken(device);
        return kNotConnectedError;
    }
    if (const std::string refusal = ErrorOf(reply.get()); !refusal.empty()) {
        LogLine(Named(device, "AMDevicePair") + PairingRefusal(refusal));
        return StatusOfError(refusal);
    }
    record.escrowBag = BytesOf(reply.get(), "EscrowBag");
    if (!SavePairRecord(device->udid, device->deviceId, record.Whole().get(), &error)) {
        LogLine(Named(device, "AMDevicePair") + "the device paired, but " + error);
        return kUndefinedError;
    }
    device->record = std::make_unique<PairRecord>(record);
    device->lockdownTls.Clear(); // made under the former pairing
    LogLine(Named(device, "AMDevicePair") + "paired; the pair record is saved with the multiplexer");
    return kOk;
}

bool Validate(am_device* device, const PairRecord& record, int* status) {
    Dictionary fields;
    fields.SetValue("PairRecord", record.ForDevice().get()).Set("ProtocolVersion", "2");
    return Ask(device, "AMDeviceValidatePairing", "ValidatePair", fields.get(), status).get() != nullptr;
}

// A value of `domain` within the open session (borrowed), from the domain
// read whole at the first value asked of it: a caller reading many values
// (the device library reads dozens per call) then waits for one answer
// instead of one each. Null when no session is open, no key is named, or
// the device's whole domain lacks the key: the caller asks for it alone.
CFTypeRef SessionValue(am_device* device, CFStringRef domain, CFStringRef key) {
    if (!key || device->sessionId.empty() || !device->lockdown)
        return nullptr;
    const std::string name = domain ? Text(domain) : std::string();
    auto known = device->sessionValues.find(name);
    if (known == device->sessionValues.end()) {
        Dictionary fields;
        fields.SetValue("Domain", domain);
        int status = kOk;
        Owned<CFDictionaryRef> reply = Ask(device, "AMDeviceCopyValue", "GetValue", fields.get(), &status, true);
        Owned<CFDictionaryRef> whole;
        CFTypeRef value = Find(reply.get(), "Value");
        if (IsDictionary(value))
            whole.reset(static_cast<CFDictionaryRef>(CFRetain(value)));
        if (device->sessionId.empty()) // the connection broke
            return nullptr;
        known = device->sessionValues.emplace(name, std::move(whole)).first;
    }
    return known->second ? CFDictionaryGetValue(known->second.get(), key) : nullptr;
}

// A device argument: alive and of this backend.
bool Usable(am_device* device) { return device && IsDevice(device); }

} // namespace

am_device* AnnouncedDevice(uint32_t deviceId, const std::string& udid) {
    Devices& devices = AllDevices();
    std::lock_guard<std::mutex> guard(devices.lock);
    for (am_device* known : devices.live) {
        // A reference dropping to none is taken under this lock too.
        if (known->deviceId == deviceId && known->udid == udid && known->references > 0) {
            ++known->references;
            return known;
        }
    }
    auto device = std::make_unique<am_device>();
    device->deviceId = deviceId;
    device->udid = udid;
    devices.live.insert(device.get());
    return device.release();
}

bool IsDevice(am_device* device) {
    Devices& devices = AllDevices();
    std::lock_guard<std::mutex> guard(devices.lock);
    return devices.live.count(device) != 0;
}

std::string DeviceUdid(am_device* device) { return Usable(device) ? device->udid : std::string(); }
uint32_t DeviceId(am_device* device) { return Usable(device) ? device->deviceId : 0; }

std::unique_ptr<Connection> StartServiceConnection(am_device* device, const char* service, std::string* error) {
    if (!Usable(device) || !service || !*service) {
        *error = "no device or no service named";
        return nullptr;
    }
    std::lock_guard<std::mutex> guard(device->lock);
    std::unique_ptr<Connection> connection;
    int status = kOk;
    const PairRecord* record = SessionRecord(device, "StartServiceConnection", &status);
    if (!record) {
        *error = "no usable pair record";
        return nullptr;
    }
    if (device->lockdown && !device->sessionId.empty()) {
        status = StartServiceOn(*device->lockdown, *record, device->deviceId, service, &connection, error);
        DropIfBroken(device);
        return status == kOk ? std::move(connection) : nullptr;
    }
    std::unique_ptr<Lockdown> lockdown = Lockdown::Open(device->deviceId, error);
    std::string sessionId, ignored;
    if (!lockdown || OpenSession(*lockdown, *record, device->lockdownTls, &sessionId, error) != kOk)
        return nullptr;
    status = StartServiceOn(*lockdown, *record, device->deviceId, service, &connection, error);
    CloseSession(*lockdown, sessionId, &ignored);
    return status == kOk ? std::move(connection) : nullptr;
}

// ---- service sockets handed out ------------------------------------------------

namespace {

struct HandedOut {
    std::unique_ptr<Connection> connection;
    unsigned short localPort = 0; // tells the socket from a later one of the same number
};

struct ServiceTable {
    std::mutex lock;
    std::map<SOCKET, HandedOut> entries;
};

ServiceTable& Services() {
    static ServiceTable* table = new ServiceTable;
    return *table;
}

// The local port of a socket; 0 when it is no socket (closed).
unsigned short LocalPort(SOCKET socket) {
    sockaddr_storage address{};
    int size = sizeof address;
    if (::getsockname(socket, reinterpret_cast<sockaddr*>(&address), &size) != 0)
        return 0;
    if (address.ss_family == AF_INET)
        return ntohs(reinterpret_cast<sockaddr_in*>(&address)->sin_port);
    if (address.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<sockaddr_in6*>(&address)->sin6_port);
    return 0;
}

} // namespace

SOCKET HandOutServiceConnection(std::unique_ptr<Connection> connection) {
    const SOCKET socket = connection->ReleaseSocket();
    HandedOut entry{std::move(connection), LocalPort(socket)};
    std::vector<HandedOut> stale; // destroyed after the lock is let go
    ServiceTable& table = Services();
    std::lock_guard<std::mutex> guard(table.lock);
    // Sockets the caller closed without taking their connection.
    for (auto it = table.entries.begin(); it != table.entries.end();) {
        if (it->first == socket || LocalPort(it->first) != it->second.localPort) {
            stale.push_back(std::move(it->second));
            it = table.entries.erase(it);
        } else {
            ++it;
        }
    }
    table.entries[socket] = std::move(entry);
    return socket;
}

std::unique_ptr<Connection> TakeServiceConnection(SOCKET socket) {
    ServiceTable& table = Services();
    HandedOut entry;
    {
        std::lock_guard<std::mutex> guard(table.lock);
        auto it = table.entries.find(socket);
        if (it == table.entries.end())
            return nullptr;
        entry = std::move(it->second);
        table.entries.erase(it);
    }
    if (entry.localPort == 0 || LocalPort(socket) != entry.localPort)
        return nullptr; // closed, and the number taken by another socket
    return std::move(entry.connection);
}

void CloseDeviceConnections() {
    std::map<SOCKET, HandedOut> forgotten;
    {
        ServiceTable& table = Services();
        std::lock_guard<std::mutex> guard(table.lock);
        forgotten.swap(table.entries);
    }
    std::vector<am_device*> live;
    {
        Devices& devices = AllDevices();
        std::lock_guard<std::mutex> guard(devices.lock);
        live.assign(devices.live.begin(), devices.live.end());
    }
    for (am_device* device : live) {
        std::lock_guard<std::mutex> guard(device->lock);
        device->lockdown.reset();
        device->sessionId.clear();
    }
}

// ---- the calls ------------------------------------------------------------------

namespace calls {

am_device* __cdecl AMDeviceRetain(am_device* device) {
    return Guarded<am_device*>("AMDeviceRetain", [&]() -> am_device* {
        // Under the devices' lock, as a release dropping the last reference.
        Devices& devices = AllDevices();
        std::lock_guard<std::mutex> guard(devices.lock);
        if (!device || !devices.live.count(device) || device->references <= 0)
            return nullptr;
        ++device->references;
        return device;
    });
}

void __cdecl AMDeviceRelease(am_device* device) {
    Guarded<void>("AMDeviceRelease", [&] {
        if (!device)
            return;
        {
            Devices& devices = AllDevices();
            std::lock_guard<std::mutex> guard(devices.lock);
            if (!devices.live.count(device) || --device->references > 0)
                return;
            devices.live.erase(device);
        }
        delete device;
    });
}

CFStringRef __cdecl AMDeviceCopyDeviceIdentifier(am_device* device) {
    return Guarded<CFStringRef>("AMDeviceCopyDeviceIdentifier", [&]() -> CFStringRef {
        return Usable(device) ? MakeString(device->udid).release() : nullptr;
    });
}

int __cdecl AMDeviceConnect(am_device* device) {
    return Guarded<int>("AMDeviceConnect", [&]() -> int {
        if (!Usable(device))
            return kInvalidArgumentError;
        std::lock_guard<std::mutex> guard(device->lock);
        DropIfBroken(device);
        if (device->lockdown)
            return kOk;
        std::string error;
        device->lockdown = Lockdown::Open(device->deviceId, &error);
        if (!device->lockdown) {
            LogLine(Named(device, "AMDeviceConnect") + error);
            return kNotConnectedError;
        }
        return kOk;
    });
}

int __cdecl AMDeviceDisconnect(am_device* device) {
    return Guarded<int>("AMDeviceDisconnect", [&]() -> int {
        if (!Usable(device))
            return kInvalidArgumentError;
        std::lock_guard<std::mutex> guard(device->lock);
        device->lockdown.reset();
        ForgetSession(device);
        return kOk;
    });
}

int __cdecl AMDeviceIsPaired(am_device* device) {
    return Guarded<int>("AMDeviceIsPaired", [&]() -> int {
        if (!Usable(device))
            return 0;
        std::lock_guard<std::mutex> guard(device->lock);
        std::string error;
        Record state = LoadRecord(device, &error);
        if (state == Record::Failed)
            LogLine(Named(device, "AMDeviceIsPaired") + error);
        return state == Record::Found ? 1 : 0;
    });
}

int __cdecl AMDevicePair(am_device* device) {
    return Guarded<int>("AMDevicePair", [&]() -> int {
        if (!Usable(device))
            return kInvalidArgumentError;
        std::lock_guard<std::mutex> guard(device->lock);
        return PairNow(device);
    });
}

int __cdecl AMDeviceValidatePairing(am_device* device) {
    return Guarded<int>("AMDeviceValidatePairing", [&]() -> int {
        if (!Usable(device))
            return kInvalidArgumentError;
        std::lock_guard<std::mutex> guard(device->lock);
        int status = kOk;
        const PairRecord* record = SessionRecord(device, "AMDeviceValidatePairing", &status);
        if (!record)
            return status;
        if (Validate(device, *record, &status))
            return kOk;
        if (status != kInvalidHostIdError)
            return status;
        // The device forgot this host (reset, or unpaired elsewhere): paired
        // again with the host's identity, as the open clients do.
        LogLine(Named(device, "AMDeviceValidatePairing") + "the device no longer knows this host; pairing again");
        status = PairNow(device);
        if (status != kOk || !device->record)
            return status;
        return Validate(device, *device->record, &status) ? kOk : status;
    });
}

int __cdecl AMDeviceStartSession(am_device* device) {
    return Guarded<int>("AMDeviceStartSession", [&]() -> int {
        if (!Usable(device))
            return kInvalidArgumentError;
        std::lock_guard<std::mutex> guard(device->lock);
        if (!device->lockdown) {
            LogLine(Named(device, "AMDeviceStartSession") + "not connected");
            return kNotConnectedError;
        }
        if (!device->sessionId.empty())
            return kSessionActiveError;
        int status = kOk;
        const PairRecord* record = SessionRecord(device, "AMDeviceStartSession", &status);
        if (!record)
            return status;
        std::string error;
        device->sessionValues.clear();
        status = OpenSession(*device->lockdown, *record, device->lockdownTls, &device->sessionId, &error);
        if (status != kOk) {
            LogLine(Named(device, "AMDeviceStartSession") + error);
            // A half-made TLS session leaves the connection unusable.
            if (status != kInvalidHostIdError && status != kSessionActiveError)
                device->lockdown.reset();
            DropIfBroken(device);
        }
        return status;
    });
}

int __cdecl AMDeviceStopSession(am_device* device) {
    return Guarded<int>("AMDeviceStopSession", [&]() -> int {
        if (!Usable(device))
            return kInvalidArgumentError;
        std::lock_guard<std::mutex> guard(device->lock);
        if (!device->lockdown || device->sessionId.empty())
            return kSessionInactiveError;
        std::string error;
        const std::string sessionId = device->sessionId;
        ForgetSession(device);
        int status = CloseSession(*device->lockdown, sessionId, &error);
        if (status != kOk)
            LogLine(Named(device, "AMDeviceStopSession") + error);
        DropIfBroken(device);
        return status;
    });
}

CFTypeRef __cdecl AMDeviceCopyValue(am_device* device, CFStringRef domain, CFStringRef key) {
    return Guarded<CFTypeRef>("AMDeviceCopyValue", [&]() -> CFTypeRef {
        if (!Usable(device))
            return nullptr;
        std::lock_guard<std::mutex> guard(device->lock);
        if (CFTypeRef value = SessionValue(device, domain, key))
            return CFRetain(value);
        Dictionary fields;
        fields.SetValue("Domain", domain).SetValue("Key", key);
        int status = kOk;
        Owned<CFDictionaryRef> reply = Ask(device, "AMDeviceCopyValue", "GetValue", fields.get(), &status, true);
        CFTypeRef value = Find(reply.get(), "Value");
        return value ? CFRetain(value) : nullptr;
    });
}

int __cdecl AMDeviceSetValue(am_device* device, CFStringRef domain, CFStringRef key, CFTypeRef value) {
    return Guarded<int>("AMDeviceSetValue", [&]() -> int {
        if (!Usable(device) || !key || !value)
            return kInvalidArgumentError;
        std::lock_guard<std::mutex> guard(device->lock);
        device->sessionValues.clear(); // what the device answers next may differ
        Dictionary fields;
        fields.SetValue("Domain", domain).SetValue("Key", key).SetValue("Value", value);
        int status = kOk;
        return Ask(device, "AMDeviceSetValue", "SetValue", fields.get(), &status) ? kOk : status;
    });
}

int __cdecl AMDeviceStartService(am_device* device, CFStringRef serviceName, SOCKET* socket, unsigned int* unused) {
    return Guarded<int>("AMDeviceStartService", [&]() -> int {
        const std::string service = Text(serviceName);
        if (!Usable(device) || service.empty() || !socket)
            return kInvalidArgumentError;
        std::unique_ptr<Connection> connection;
        {
            std::lock_guard<std::mutex> guard(device->lock);
            if (!device->lockdown || device->sessionId.empty()) {
                LogLine(Named(device, "AMDeviceStartService") + "no session is open");
                return kSessionInactiveError;
            }
            int status = kOk;
            const PairRecord* record = SessionRecord(device, "AMDeviceStartService", &status);
            if (!record)
                return status;
            std::string error;
            status = StartServiceOn(*device->lockdown, *record, device->deviceId, service.c_str(), &connection, &error);
            DropIfBroken(device);
            if (status != kOk) {
                LogLine(Named(device, "AMDeviceStartService") + error);
                return status;
            }
        }
        *socket = HandOutServiceConnection(std::move(connection));
        return kOk;
    });
}

} // namespace calls

} // namespace backend
