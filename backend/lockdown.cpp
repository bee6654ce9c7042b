#include "backend/lockdown.h"

#include "backend/multiplexer.h"
#include "backend/status.h"
#include "platform/loader_log.h"
#include "platform/log.h"
#include "platform/text.h"
#include "platform/tls.h"

#include <atomic>
#include <mutex>

namespace backend {

void LogLine(const std::string& utf8) { LogLine(Utf8ToWide(utf8.c_str())); }
void LogLine(const std::wstring& text) { WriteDailyLog(kBackendDetailLogPrefix + text); }

std::unique_ptr<Lockdown> Lockdown::Open(uint32_t deviceId, std::string* error) {
    std::unique_ptr<Connection> connection = Connection::Open(deviceId, kLockdownPort, error);
    if (!connection)
        return nullptr;
    connection->SetTimeout(DeviceTimeout());
    std::unique_ptr<Lockdown> lockdown(new Lockdown(std::move(connection)));
    Owned<CFDictionaryRef> reply = lockdown->Request("QueryType", nullptr, error);
    if (!reply)
        return nullptr;
    if (TextOf(reply.get(), "Type") != "com.apple.mobile.lockdown") {
        *error = "the device's port 62078 does not answer as lockdown";
        return nullptr;
    }
    return lockdown;
}

Owned<CFDictionaryRef> Lockdown::Request(const char* request, CFDictionaryRef fields, std::string* error) {
    if (m_broken) {
        *error = "the lockdown connection failed earlier";
        return Owned<CFDictionaryRef>();
    }
    Owned<CFMutableDictionaryRef> message(fields ? CFDictionaryCreateMutableCopy(nullptr, 0, fields)
                                                 : CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks,
                                                                             &kCFTypeDictionaryValueCallBacks));
    if (!message) {
        *error = "no memory for a lockdown request";
        return Owned<CFDictionaryRef>();
    }
    CFDictionarySetValue(message.get(), MakeString("Request").get(), MakeString(request).get());
    CFDictionarySetValue(message.get(), MakeString("Label").get(), MakeString(kLabel).get());
    if (!SendPlist(*m_connection, message.get())) {
        m_broken = true;
        *error = std::string("lockdown did not take ") + request + ": " + m_connection->lastError();
        return Owned<CFDictionaryRef>();
    }
    std::string problem;
    Owned<CFTypeRef> reply(ReceivePlist(*m_connection, &problem));
    if (!reply || !IsDictionary(reply.get())) {
        m_broken = true;
        *error =
            std::string("lockdown's answer to ") + request + ": " + (reply ? std::string("not a dictionary") : problem);
        return Owned<CFDictionaryRef>();
    }
    return Owned<CFDictionaryRef>(static_cast<CFDictionaryRef>(reply.release()));
}

std::string ErrorOf(CFDictionaryRef reply) {
    CFTypeRef error = Find(reply, "Error");
    if (!error)
        return std::string();
    std::string text = Text(error);
    return text.empty() ? std::string("an error without a name") : text;
}

int StatusOfError(const std::string& error) {
    static const struct {
        const char* name;
        int status;
    } kErrors[] = {
        {"InvalidHostID", kInvalidHostIdError},         {"SessionInactive", kSessionInactiveError},
        {"SessionActive", kSessionActiveError},         {"MissingValue", kMissingValueError},
        {"InvalidService", kInvalidServiceError},       {"ServiceProhibited", kServiceProhibitedError},
        {"PasswordProtected", kPasswordProtectedError}, {"UserDeniedPairing", kUserDeniedPairingError},
        {"SetProhibited", kSetProhibitedError},         {"GetProhibited", kGetProhibitedError},
        {"InvalidPairRecord", kInvalidPairRecordError},
    };
    for (const auto& known : kErrors) {
        if (error == known.name)
            return known.status;
    }
    return kUndefinedError;
}

bool PairRecord::Read(CFDictionaryRef record, std::string* error) {
    PairRecord read;
    read.hostId = TextOf(record, "HostID");
    read.systemBuid = TextOf(record, "SystemBUID");
    read.hostCertificate = BytesOf(record, "HostCertificate");
    read.hostKey = BytesOf(record, "HostPrivateKey");
    read.rootCertificate = BytesOf(record, "RootCertificate");
    read.rootKey = BytesOf(record, "RootPrivateKey");
    read.deviceCertificate = BytesOf(record, "DeviceCertificate");
    read.escrowBag = BytesOf(record, "EscrowBag");
    read.wifiAddress = TextOf(record, "WiFiMACAddress");
    if (read.hostId.empty() || read.systemBuid.empty() || read.hostCertificate.empty() || read.hostKey.empty() ||
        read.rootCertificate.empty() || read.deviceCertificate.empty()) {
        *error = "the pair record lacks HostID, SystemBUID, a certificate or the host's key";
        return false;
    }
    *this = read;
    return true;
}

Owned<CFDictionaryRef> PairRecord::ForDevice() const {
    Dictionary d;
    d.SetData("DeviceCertificate", deviceCertificate)
        .SetData("HostCertificate", hostCertificate)
        .SetData("RootCertificate", rootCertificate)
        .Set("HostID", hostId)
        .Set("SystemBUID", systemBuid);
    return Owned<CFDictionaryRef>::Retain(d.get());
}

Owned<CFDictionaryRef> PairRecord::Whole() const {
    Owned<CFDictionaryRef> shown = ForDevice();
    Owned<CFMutableDictionaryRef> whole(CFDictionaryCreateMutableCopy(nullptr, 0, shown.get()));
    if (!whole)
        return Owned<CFDictionaryRef>();
    Dictionary more;
    more.SetData("HostPrivateKey", hostKey).SetData("RootPrivateKey", rootKey);
    if (!escrowBag.empty())
        more.SetData("EscrowBag", escrowBag);
    if (!wifiAddress.empty())
        more.Set("WiFiMACAddress", wifiAddress);
    for (const char* key : {"HostPrivateKey", "RootPrivateKey", "EscrowBag", "WiFiMACAddress"}) {
        if (CFTypeRef value = Find(more.get(), key))
            CFDictionarySetValue(whole.get(), MakeString(key).get(), value);
    }
    return Owned<CFDictionaryRef>(whole.release());
}

bool ProcessHostIdentity(HostIdentity* identity, std::string* error) {
    static std::mutex lock;
    static HostIdentity made;
    static bool ready = false;
    // Held while the keys are made: a second caller waits for the first's keys.
    std::lock_guard<std::mutex> guard(lock);
    if (!ready) {
        HostIdentity fresh;
        tls::CertificateRequest root;
        tls::CertificateRequest host;
        if (!tls::GenerateRsaKey(2048, &fresh.rootKey, error) || !tls::GenerateRsaKey(2048, &fresh.hostKey, error))
            return false;
        root.subjectKeyPem = fresh.rootKey;
        root.issuerKeyPem = fresh.rootKey;
        root.authority = true;
        if (!tls::MakeCertificate(root, &fresh.rootCertificate, error))
            return false;
        host.subjectKeyPem = fresh.hostKey;
        host.issuerKeyPem = fresh.rootKey;
        host.issuerCertPem = fresh.rootCertificate;
        if (!tls::MakeCertificate(host, &fresh.hostCertificate, error))
            return false;
        made = fresh;
        ready = true;
    }
    *identity = made;
    return true;
}

bool MakePairRecord(const HostIdentity& identity, const std::string& devicePublicKeyPem, const std::string& systemBuid,
                    PairRecord* record, std::string* error) {
    tls::CertificateRequest device;
    device.subjectKeyPem = devicePublicKeyPem;
    device.issuerKeyPem = identity.rootKey;
    device.issuerCertPem = identity.rootCertificate;
    PairRecord made;
    if (!tls::MakeCertificate(device, &made.deviceCertificate, error))
        return false;
    made.hostCertificate = identity.hostCertificate;
    made.hostKey = identity.hostKey;
    made.rootCertificate = identity.rootCertificate;
    made.rootKey = identity.rootKey;
    made.hostId = NewUuid();
    made.systemBuid = systemBuid;
    *record = made;
    return true;
}

std::string NewUuid() {
    Owned<CFUUIDRef> uuid(CFUUIDCreate(nullptr));
    Owned<CFStringRef> text(uuid ? CFUUIDCreateString(nullptr, uuid.get()) : nullptr);
    return Text(text.get());
}

} // namespace backend
