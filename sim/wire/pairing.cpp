#include "sim/wire/pairing.h"

#include "platform/tls.h"

#include <windows.h>

#include <cwctype>
#include <mutex>
#include <random>

namespace simwire {

using simfarm::Farm;
using simfarm::Value;
namespace key = simfarm::key;

namespace {

const unsigned kKeyBits = 2048;

// Key generation takes seconds: one at a time, and what another thread
// made meanwhile is taken instead of making a second one.
std::mutex g_generating;

bool Fail(std::string* error, const std::string& message) {
    if (error)
        *error = message;
    return false;
}

std::string Text(const Value* v) {
    return v && (v->is(Value::Kind::Data) || v->is(Value::Kind::String)) ? v->text() : "";
}

std::string UuidFromBits(uint64_t high, uint64_t low) {
    static const char digits[] = "0123456789ABCDEF";
    std::string uuid;
    for (int i = 0; i < 32; ++i) {
        uint64_t word = i < 16 ? high : low;
        int shift = 60 - 4 * (i % 16);
        if (i == 8 || i == 12 || i == 16 || i == 20)
            uuid += '-';
        uuid += digits[(word >> shift) & 15];
    }
    return uuid;
}

// What the device keeps of the host it trusts, taken from a pair record.
Value TrustFrom(const Value& record) {
    Value trust = Value::Dict();
    for (const char* name : {"HostID", "SystemBUID", "HostCertificate", "RootCertificate", "DeviceCertificate"}) {
        if (const Value* v = record.Find(name))
            trust.Set(name, *v);
    }
    return trust;
}

} // namespace

std::string MakeUuid() {
    static std::mutex lock;
    static std::mt19937_64 generator = [] {
        std::random_device device;
        std::seed_seq seed{device(), device(), static_cast<unsigned>(::GetTickCount()),
                           static_cast<unsigned>(::GetCurrentProcessId())};
        return std::mt19937_64(seed);
    }();
    std::lock_guard<std::mutex> guard(lock);
    uint64_t high = generator(), low = generator();
    return UuidFromBits(high, low);
}

std::string SystemBuid(const std::wstring& farmFolder) {
    uint64_t a = 14695981039346656037ULL, b = 1469598103934665603ULL;
    for (wchar_t c : farmFolder) {
        a = (a ^ static_cast<uint16_t>(std::towupper(c))) * 1099511628211ULL;
        b = (b ^ static_cast<uint16_t>(std::towupper(c))) * 1099511628211ULL + 0x9E3779B97F4A7C15ULL;
    }
    return UuidFromBits(a, b);
}

bool EnsureDeviceKey(const Farm& farm, const std::string& udid, std::string* keyPem, std::string* error) {
    Value d;
    if (!farm.Load(udid, &d, error))
        return false;
    std::string existing = Text(d.Find(key::kDeviceKey));
    if (!existing.empty()) {
        *keyPem = existing;
        return true;
    }
    std::lock_guard<std::mutex> guard(g_generating);
    if (!farm.Load(udid, &d, error))
        return false;
    existing = Text(d.Find(key::kDeviceKey));
    if (!existing.empty()) {
        *keyPem = existing;
        return true;
    }
    std::string made, publicPem;
    if (!tls::GenerateRsaKey(kKeyBits, &made, error) || !tls::RsaPublicKeyPem(made, &publicPem, error))
        return false;
    std::string stored;
    bool ok = farm.Update(
        udid,
        [&](Value& description, std::string*) {
            stored = Text(description.Find(key::kDeviceKey));
            if (!stored.empty())
                return true; // made by another process meanwhile
            description.Set(key::kDeviceKey, Value::Data(made));
            simfarm::DomainOf(description, "", true)->Set("DevicePublicKey", Value::Data(publicPem));
            stored = made;
            return true;
        },
        error);
    if (!ok)
        return false;
    *keyPem = stored;
    return true;
}

bool MakePairRecord(const std::string& deviceKeyPem, const std::string& systemBuid, const std::string& wifiAddress,
                    Value* record, std::string* error) {
    std::string rootKey, hostKey, rootCert, hostCert, deviceCert;
    if (!tls::GenerateRsaKey(kKeyBits, &rootKey, error) || !tls::GenerateRsaKey(kKeyBits, &hostKey, error))
        return false;
    tls::CertificateRequest root;
    root.subjectKeyPem = rootKey;
    root.issuerKeyPem = rootKey;
    root.commonName = "Root Certification Authority";
    root.authority = true;
    root.serial = 0;
    if (!tls::MakeCertificate(root, &rootCert, error))
        return false;
    tls::CertificateRequest signedByRoot;
    signedByRoot.issuerKeyPem = rootKey;
    signedByRoot.issuerCertPem = rootCert;
    signedByRoot.subjectKeyPem = hostKey;
    signedByRoot.commonName = "Host";
    if (!tls::MakeCertificate(signedByRoot, &hostCert, error))
        return false;
    signedByRoot.subjectKeyPem = deviceKeyPem;
    signedByRoot.commonName = "Device";
    if (!tls::MakeCertificate(signedByRoot, &deviceCert, error))
        return false;
    Value r = Value::Dict();
    r.Set("DeviceCertificate", Value::Data(deviceCert));
    r.Set("HostCertificate", Value::Data(hostCert));
    r.Set("HostPrivateKey", Value::Data(hostKey));
    r.Set("RootCertificate", Value::Data(rootCert));
    r.Set("RootPrivateKey", Value::Data(rootKey));
    r.Set("HostID", Value::String(MakeUuid()));
    r.Set("SystemBUID", Value::String(systemBuid));
    r.Set("WiFiMACAddress", Value::String(wifiAddress));
    r.Set("EscrowBag", Value::Data(std::string(32, '\x5a')));
    *record = std::move(r);
    return true;
}

bool EnsurePairing(const Farm& farm, const std::string& udid, std::string* error) {
    Value d;
    if (!farm.Load(udid, &d, error))
        return false;
    if (!d.GetBool(key::kPaired) || d.Find(key::kTrustedHost))
        return true;
    if (const Value* record = d.Find(key::kPairRecord)) {
        Value trust = TrustFrom(*record);
        return farm.Update(
            udid,
            [&](Value& description, std::string*) {
                if (description.GetBool(key::kPaired) && !description.Find(key::kTrustedHost))
                    description.Set(key::kTrustedHost, trust);
                return true;
            },
            error);
    }
    std::string deviceKey;
    if (!EnsureDeviceKey(farm, udid, &deviceKey, error))
        return false;
    std::lock_guard<std::mutex> guard(g_generating);
    if (!farm.Load(udid, &d, error))
        return false;
    if (d.Find(key::kTrustedHost) || d.Find(key::kPairRecord))
        return EnsurePairing(farm, udid, error);
    const Value* lockdown = simfarm::DomainOf(d, "");
    std::string wifi = lockdown ? lockdown->GetString("WiFiAddress") : std::string();
    Value record;
    if (!MakePairRecord(deviceKey, SystemBuid(farm.folder()), wifi, &record, error))
        return false;
    return farm.Update(
        udid,
        [&](Value& description, std::string*) {
            if (description.Find(key::kTrustedHost) || description.Find(key::kPairRecord))
                return true;
            description.Set(key::kPairRecord, record);
            description.Set(key::kTrustedHost, TrustFrom(record));
            return true;
        },
        error);
}

bool DeviceCredentials(const Farm& farm, const std::string& udid, std::string* certPem, std::string* keyPem,
                       std::string* error) {
    std::string deviceKey;
    if (!EnsureDeviceKey(farm, udid, &deviceKey, error))
        return false;
    Value d;
    if (!farm.Load(udid, &d, error))
        return false;
    const Value* trust = d.Find(key::kTrustedHost);
    std::string cert = trust ? Text(trust->Find("DeviceCertificate")) : std::string();
    if (cert.empty())
        return Fail(error, "the device trusts no host");
    *certPem = cert;
    *keyPem = deviceKey;
    return true;
}

} // namespace simwire
