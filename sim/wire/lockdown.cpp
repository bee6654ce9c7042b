#include "sim/wire/lockdown.h"

#include "platform/tls.h"
#include "sim/wire/devices.h"
#include "sim/wire/pairing.h"

#include <algorithm>

namespace simwire {

using simfarm::Farm;
using simfarm::Fault;
using simfarm::Value;
namespace key = simfarm::key;

namespace {

const uint16_t kNoPort = 0;

// Values a device tells a host it has not paired with.
const char* const kPublicKeys[] = {
    "BasebandCertId",
    "BasebandKeyHashInformation",
    "BasebandSerialNumber",
    "BasebandVersion",
    "BoardId",
    "BuildVersion",
    "ChipID",
    "DeviceClass",
    "DeviceColor",
    "DeviceName",
    "DevicePublicKey",
    "DieID",
    "HardwareModel",
    "HasSiDP",
    "PartitionType",
    "ProductName",
    "ProductType",
    "ProductVersion",
    "ProductionSOC",
    "ProtocolVersion",
    "TelephonyCapability",
    "UniqueChipID",
    "UniqueDeviceID",
    "WiFiAddress",
};

// Values a host may not change or remove.
const char* const kFixedKeys[] = {"UniqueDeviceID", "DevicePublicKey", "ActivationPublicKey", "UniqueChipID"};

bool IsOneOf(const std::string& name, const char* const* list, size_t count) {
    return std::any_of(list, list + count, [&](const char* item) { return name == item; });
}

enum class After { Continue, StartTls, StopTls, Close };

struct Connection {
    SocketStream& stream;
    const LockdownContext& context;
    const Farm& farm;
    bool inSession = false;
    std::string sessionId;
};

After Refuse(Value& reply, const char* error) {
    reply.Set("Error", Value::String(error));
    return After::Continue;
}

bool Load(const Connection& c, Value* description) { return c.farm.Load(c.context.udid, description); }

// The HostID of a request: in its PairRecord, or on its own.
std::string HostIdOf(const Value& request) {
    if (const Value* record = request.Find("PairRecord"); record && record->is(Value::Kind::Dict))
        return record->GetString("HostID");
    return request.GetString("HostID");
}

// Whether the device trusts the host `hostId` (made when the device is
// marked paired and has no trust yet).
bool Trusts(const Connection& c, const std::string& hostId) {
    if (hostId.empty() || !EnsurePairing(c.farm, c.context.udid, nullptr))
        return false;
    Value d;
    if (!Load(c, &d) || !d.GetBool(key::kPaired) || simfarm::FaultAmount(d, Fault::Pair))
        return false;
    const Value* trust = d.Find(key::kTrustedHost);
    return trust && trust->GetString("HostID") == hostId;
}

// The domain a value request names: "" for the default one. False for a
// domain the device does not keep.
bool DomainOfRequest(const Value& request, const Value& description, std::string* domain) {
    const Value* named = request.Find("Domain");
    if (!named) {
        domain->clear();
        return true;
    }
    if (!named->is(Value::Kind::String) || named->text().empty() || simfarm::IsPseudoDomain(named->text()))
        return false;
    *domain = named->text();
    return simfarm::DomainOf(description, *domain) != nullptr;
}

After GetValue(Connection& c, const Value& request, Value& reply) {
    std::string name = request.GetString("Key");
    if (const Value* k = request.Find("Key"); k && !k->is(Value::Kind::String))
        return Refuse(reply, "MissingValue");
    // The device's key is made when first asked for.
    if ((name.empty() || name == "DevicePublicKey") && !request.Find("Domain")) {
        std::string keyPem;
        EnsureDeviceKey(c.farm, c.context.udid, &keyPem, nullptr);
    }
    Value d;
    std::string domain;
    if (!Load(c, &d))
        return Refuse(reply, "MissingValue");
    if (const Value* named = request.Find("Domain"))
        reply.Set("Domain", *named);
    if (!name.empty())
        reply.Set("Key", Value::String(name));
    if (!DomainOfRequest(request, d, &domain))
        return Refuse(reply, "MissingValue");
    const Value* dict = simfarm::DomainOf(d, domain);
    bool limited = !c.inSession;
    if (limited && !domain.empty())
        return Refuse(reply, "SessionInactive");
    if (name.empty()) {
        Value all = Value::Dict();
        for (const auto& entry : dict->entries()) {
            if (!limited || IsOneOf(entry.first, kPublicKeys, std::size(kPublicKeys)))
                all.Set(entry.first, entry.second);
        }
        reply.Set("Value", std::move(all));
        return After::Continue;
    }
    const Value* value = dict->Find(name);
    if (!value || (limited && !IsOneOf(name, kPublicKeys, std::size(kPublicKeys))))
        return Refuse(reply, "MissingValue");
    reply.Set("Value", *value);
    return After::Continue;
}

After ChangeValue(Connection& c, const Value& request, Value& reply, bool remove) {
    if (!c.inSession)
        return Refuse(reply, "SessionInactive");
    std::string name = request.GetString("Key");
    const Value* value = request.Find("Value");
    Value d;
    std::string domain;
    if (name.empty() || (!remove && !value))
        return Refuse(reply, "MissingValue");
    if (!Load(c, &d) || !DomainOfRequest(request, d, &domain))
        return Refuse(reply, "MissingValue");
    if (domain.empty() && IsOneOf(name, kFixedKeys, std::size(kFixedKeys)))
        return Refuse(reply, remove ? "RemoveProhibited" : "SetProhibited");
    if (!remove && domain.empty() && name == "DeviceName" && (!value->is(Value::Kind::String) || value->text().empty()))
        return Refuse(reply, "InvalidValue");
    if (!remove && (value->is(Value::Kind::Null)))
        return Refuse(reply, "InvalidValue");
    bool ok = remove ? c.farm.RemoveValue(c.context.udid, domain, name, nullptr)
                     : c.farm.SetValue(c.context.udid, domain, name, *value, nullptr);
    if (!ok)
        return Refuse(reply, remove ? "MissingValue" : "SetProhibited");
    if (request.Find("Domain"))
        reply.Set("Domain", *request.Find("Domain"));
    reply.Set("Key", Value::String(name));
    return After::Continue;
}

std::string DataText(const Value& record, const char* name) {
    const Value* v = record.Find(name);
    return v && (v->is(Value::Kind::Data) || v->is(Value::Kind::String)) ? v->text() : std::string();
}

After Pair(Connection& c, const Value& request, Value& reply) {
    const Value* record = request.Find("PairRecord");
    if (!record || !record->is(Value::Kind::Dict))
        return Refuse(reply, "InvalidPairRecord");
    Value d;
    if (!Load(c, &d))
        return Refuse(reply, "InvalidPairRecord");
    if (simfarm::FaultAmount(d, Fault::Pair))
        return Refuse(reply, "PasswordProtected");
    std::string deviceKey;
    std::string deviceCert = DataText(*record, "DeviceCertificate"), rootCert = DataText(*record, "RootCertificate");
    std::string hostCert = DataText(*record, "HostCertificate"), hostId = record->GetString("HostID");
    if (deviceCert.empty() || rootCert.empty() || hostCert.empty() || hostId.empty() ||
        record->GetString("SystemBUID").empty())
        return Refuse(reply, "InvalidPairRecord");
    // The device certificate must carry this device's key, signed by the
    // host's root; the host certificate too must come from that root.
    if (!EnsureDeviceKey(c.farm, c.context.udid, &deviceKey, nullptr) ||
        !tls::CertificateHoldsKey(deviceCert, deviceKey) || !tls::CertificateSignedBy(deviceCert, rootCert) ||
        !tls::CertificateSignedBy(hostCert, rootCert))
        return Refuse(reply, "InvalidPairRecord");
    Value trust = Value::Dict();
    for (const char* name : {"HostID", "SystemBUID", "HostCertificate", "RootCertificate", "DeviceCertificate"})
        trust.Set(name, *record->Find(name));
    bool ok = c.farm.Update(
        c.context.udid,
        [&](Value& description, std::string*) {
            description.Set(key::kPaired, Value::Bool(true));
            description.Set(key::kTrustedHost, trust);
            return true;
        },
        nullptr);
    if (!ok)
        return Refuse(reply, "InvalidPairRecord");
    reply.Set("EscrowBag", Value::Data(std::string(32, '\x5a')));
    return After::Continue;
}

After ValidatePair(Connection& c, const Value& request, Value& reply) {
    return Trusts(c, HostIdOf(request)) ? After::Continue : Refuse(reply, "InvalidHostID");
}

After Unpair(Connection& c, const Value& request, Value& reply) {
    if (!Trusts(c, HostIdOf(request)))
        return Refuse(reply, "InvalidHostID");
    if (!c.farm.SetPaired(c.context.udid, false, nullptr))
        return Refuse(reply, "InvalidHostID");
    c.context.tracker->ForgetLockdownSessions(c.context.udid);
    return After::Continue;
}

After StartSession(Connection& c, const Value& request, Value& reply) {
    if (c.inSession)
        return Refuse(reply, "SessionActive");
    Value d;
    if (!Load(c, &d))
        return Refuse(reply, "InvalidHostID");
    if (simfarm::FaultAmount(d, Fault::Session))
        return Refuse(reply, "SessionInactive");
    if (!Trusts(c, request.GetString("HostID")))
        return Refuse(reply, "InvalidHostID");
    std::string cert, keyPem;
    if (!DeviceCredentials(c.farm, c.context.udid, &cert, &keyPem, nullptr))
        return Refuse(reply, "InvalidHostID");
    c.stream.SetCredentials(cert, keyPem);
    c.stream.SetSessionCache(&c.context.tracker->LockdownSessions(c.context.udid));
    c.inSession = true;
    c.sessionId = MakeUuid();
    reply.Set("SessionID", Value::String(c.sessionId));
    reply.Set("EnableSessionSSL", Value::Bool(true));
    return After::StartTls;
}

After StopSession(Connection& c, const Value& request, Value& reply) {
    if (!c.inSession)
        return Refuse(reply, "SessionInactive");
    if (request.GetString("SessionID") != c.sessionId)
        return Refuse(reply, "InvalidSessionID");
    c.inSession = false;
    c.sessionId.clear();
    return After::StopTls;
}

After StartService(Connection& c, const Value& request, Value& reply) {
    std::string service = request.GetString("Service");
    if (!c.inSession)
        return Refuse(reply, "SessionInactive");
    Value d;
    if (service.empty() || !Load(c, &d))
        return Refuse(reply, "InvalidService");
    // Offered: what the device lists that the wire serves.
    static const char* const served[] = {"com.apple.afc", "com.apple.afc2", "com.apple.mobile.installation_proxy",
                                         "com.apple.misagent"};
    bool offered = false;
    if (!IsOneOf(service, served, std::size(served)))
        return Refuse(reply, "InvalidService");
    if (const Value* services = d.Find(key::kServices); services && services->is(Value::Kind::Array)) {
        for (const Value& item : services->items())
            offered = offered || (item.is(Value::Kind::String) && item.text() == service);
    }
    if (!offered)
        return Refuse(reply, "InvalidService");
    if ((service == "com.apple.afc2" && simfarm::FaultAmount(d, Fault::Afc2Service)) ||
        (service == "com.apple.afc" && simfarm::FaultAmount(d, Fault::AfcService)))
        return Refuse(reply, "ServiceProhibited");
    bool tls = ServiceStartsWithTls(d, service);
    uint16_t port = c.context.ports->Open(c.context.deviceId, c.context.udid, service, tls);
    if (port == kNoPort)
        return Refuse(reply, "ServiceLimit");
    reply.Set("Service", Value::String(service));
    reply.Set("Port", Value::Integer(port));
    if (tls)
        reply.Set("EnableServiceSSL", Value::Bool(true));
    return After::Continue;
}

After Handle(Connection& c, const std::string& name, const Value& request, Value& reply) {
    if (name == "QueryType") {
        reply.Set("Type", Value::String("com.apple.mobile.lockdown"));
        return After::Continue;
    }
    if (name == "GetValue")
        return GetValue(c, request, reply);
    if (name == "SetValue")
        return ChangeValue(c, request, reply, false);
    if (name == "RemoveValue")
        return ChangeValue(c, request, reply, true);
    if (name == "Pair")
        return Pair(c, request, reply);
    if (name == "ValidatePair")
        return ValidatePair(c, request, reply);
    if (name == "Unpair")
        return Unpair(c, request, reply);
    if (name == "StartSession")
        return StartSession(c, request, reply);
    if (name == "StopSession")
        return StopSession(c, request, reply);
    if (name == "StartService")
        return StartService(c, request, reply);
    if (name == "Goodbye")
        return After::Close;
    return Refuse(reply, "InvalidRequest");
}

} // namespace

bool ServiceStartsWithTls(const Value& description, const std::string& service) {
    const Value* list = description.Find("ServicesWithTLS");
    if (!list || !list->is(Value::Kind::Array))
        return false;
    for (const Value& item : list->items()) {
        if (item.is(Value::Kind::String) && item.text() == service)
            return true;
    }
    return false;
}

void ServeLockdown(SocketStream& stream, const LockdownContext& context) {
    Connection c{stream, context, context.tracker->farm()};
    for (;;) {
        Value request;
        if (!ReadPlistMessage(stream, &request))
            return;
        Value reply = Value::Dict();
        std::string name = request.is(Value::Kind::Dict) ? request.GetString("Request") : std::string();
        After after = After::Continue;
        if (name.empty()) {
            Refuse(reply, "MissingRequest");
        } else {
            reply.Set("Request", Value::String(name));
            after = Handle(c, name, request, reply);
        }
        if (!WritePlistMessage(stream, reply) || after == After::Close)
            return;
        if (after == After::StartTls && !stream.StartServerTls())
            return;
        if (after == After::StopTls)
            stream.StopServerTls();
    }
}

} // namespace simwire
