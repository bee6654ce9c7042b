#include "sim/wire/pairing.h"

#include "platform/file.h"
#include "platform/tls.h"

#include <windows.h>

#include <atomic>
#include <condition_variable>
#include <cwctype>
#include <deque>
#include <mutex>
#include <random>
#include <thread>

namespace simwire {

using simfarm::Farm;
using simfarm::Value;
namespace key = simfarm::key;

namespace {

const unsigned kKeyBits = 2048;
const wchar_t kHostIdentityFile[] = L"wire-host.plist";

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

// Keys made ahead of need.
struct KeyMaker {
    std::mutex lock;
    std::condition_variable changed;
    std::deque<std::string> keys;
    std::thread thread;
    size_t keep = 0;
    unsigned users = 0;
    bool stopping = false;
};
KeyMaker g_keys;

void MakeKeysAhead() {
    std::unique_lock<std::mutex> guard(g_keys.lock);
    while (!g_keys.stopping) {
        if (g_keys.keys.size() >= g_keys.keep) {
            g_keys.changed.wait(guard);
            continue;
        }
        guard.unlock();
        std::string key;
        bool made = tls::GenerateRsaKey(kKeyBits, &key, nullptr);
        guard.lock();
        if (!made)
            return;
        g_keys.keys.push_back(std::move(key));
    }
}

// DEVICESIM_KEY_CACHE names a folder of keys made once and used again by
// every server (the tests start hundreds of farms; each would otherwise make
// its host and device keys anew, seconds each under Wine). A server takes
// the cached keys in turn, so the keys of one farm differ from each other
// up to kCachedKeys; the first server to need a key not yet there makes it.
const wchar_t kKeyCacheVariable[] = L"DEVICESIM_KEY_CACHE";
const unsigned kCachedKeys = 16;

std::wstring KeyCacheFolder() {
    static const std::wstring folder = [] {
        wchar_t buffer[MAX_PATH] = {};
        DWORD n = ::GetEnvironmentVariableW(kKeyCacheVariable, buffer, MAX_PATH);
        return n > 0 && n < MAX_PATH ? std::wstring(buffer, n) : std::wstring();
    }();
    return folder;
}

bool WriteFileReplacing(const std::wstring& path, const std::string& bytes);

bool CachedKey(std::string* key, std::string* error) {
    static std::atomic<unsigned> next{0};
    const std::wstring folder = KeyCacheFolder();
    const std::wstring path = folder + L"\\key-" + std::to_wstring(next++ % kCachedKeys) + L".pem";
    if (ReadLocalFile(path, 64 * 1024, key) && key->find("PRIVATE KEY-----") != std::string::npos)
        return true;
    std::string made;
    if (!tls::GenerateRsaKey(kKeyBits, &made, error))
        return false;
    ::CreateDirectoryW(folder.c_str(), nullptr);
    WriteFileReplacing(path, made); // a cache: kept when it can be
    *key = std::move(made);
    return true;
}

bool TakeKey(std::string* key, std::string* error) {
    if (!KeyCacheFolder().empty())
        return CachedKey(key, error);
    {
        std::lock_guard<std::mutex> guard(g_keys.lock);
        if (!g_keys.keys.empty()) {
            *key = std::move(g_keys.keys.front());
            g_keys.keys.pop_front();
            g_keys.changed.notify_all();
            return true;
        }
    }
    return tls::GenerateRsaKey(kKeyBits, key, error);
}

// Written beside the file under a name of this process's own, then moved
// over it: a reader never sees half a file, and two servers writing the same
// file do not share the temporary one.
bool WriteFileReplacing(const std::wstring& path, const std::string& bytes) {
    std::wstring temp = path + L"." + std::to_wstring(::GetCurrentProcessId()) + L".new";
    {
        UniqueHandle file(::CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        DWORD written = 0;
        if (!file || !::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
            written != bytes.size()) {
            file.reset();
            ::DeleteFileW(temp.c_str());
            return false;
        }
    }
    if (::MoveFileExW(temp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING))
        return true;
    ::DeleteFileW(temp.c_str());
    return false;
}

// The farm's host: root and host keys with their certificates.
bool HostIdentity(const Farm& farm, Value* identity, std::string* error) {
    static std::mutex making;
    std::lock_guard<std::mutex> guard(making);
    std::wstring path = farm.folder() + L"\\" + kHostIdentityFile;
    std::string xml;
    Value read;
    if (ReadLocalFile(path, 1024 * 1024, &xml) && simfarm::ReadXmlPlist(xml, &read) && read.is(Value::Kind::Dict) &&
        !read.GetString("HostCertificate").empty()) {
        *identity = std::move(read);
        return true;
    }
    std::string rootKey, hostKey, rootCert, hostCert;
    if (!TakeKey(&rootKey, error) || !TakeKey(&hostKey, error))
        return false;
    tls::CertificateRequest root;
    root.subjectKeyPem = rootKey;
    root.issuerKeyPem = rootKey;
    root.commonName = "Root Certification Authority";
    root.authority = true;
    root.serial = 0;
    if (!tls::MakeCertificate(root, &rootCert, error))
        return false;
    tls::CertificateRequest host;
    host.issuerKeyPem = rootKey;
    host.issuerCertPem = rootCert;
    host.subjectKeyPem = hostKey;
    host.commonName = "Host";
    if (!tls::MakeCertificate(host, &hostCert, error))
        return false;
    Value made = Value::Dict();
    made.Set("RootPrivateKey", Value::Data(rootKey));
    made.Set("RootCertificate", Value::Data(rootCert));
    made.Set("HostPrivateKey", Value::Data(hostKey));
    made.Set("HostCertificate", Value::Data(hostCert));
    if (!simfarm::WriteXmlPlist(made, &xml) || !WriteFileReplacing(path, xml))
        return Fail(error, "cannot keep the host's keys in the farm folder");
    *identity = std::move(made);
    return true;
}

} // namespace

void StartKeyMaker(size_t keep) {
    if (!KeyCacheFolder().empty())
        return; // keys come from the cache
    std::lock_guard<std::mutex> guard(g_keys.lock);
    g_keys.keep = keep > g_keys.keep ? keep : g_keys.keep;
    if (g_keys.users++ > 0)
        return;
    g_keys.stopping = false;
    try {
        g_keys.thread = std::thread(MakeKeysAhead);
    } catch (...) {
        // Without the thread every key is made when needed.
    }
}

void StopKeyMaker() {
    std::thread ending;
    {
        std::lock_guard<std::mutex> guard(g_keys.lock);
        if (g_keys.users == 0 || --g_keys.users > 0)
            return;
        g_keys.stopping = true;
        g_keys.changed.notify_all();
        ending = std::move(g_keys.thread);
    }
    if (ending.joinable())
        ending.join();
}

bool PrepareKeys(const Farm& farm, size_t ready, std::string* error) {
    Value host;
    if (!HostIdentity(farm, &host, error))
        return false;
    if (!KeyCacheFolder().empty())
        return true; // keys come from the cache
    for (;;) {
        {
            std::lock_guard<std::mutex> guard(g_keys.lock);
            if (g_keys.keys.size() >= ready)
                return true;
        }
        std::string key;
        if (!tls::GenerateRsaKey(kKeyBits, &key, error))
            return false;
        std::lock_guard<std::mutex> guard(g_keys.lock);
        g_keys.keys.push_back(std::move(key));
    }
}

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
    if (!TakeKey(&made, error) || !tls::RsaPublicKeyPem(made, &publicPem, error))
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

bool MakePairRecord(const Farm& farm, const std::string& deviceKeyPem, const std::string& wifiAddress, Value* record,
                    std::string* error) {
    Value host;
    if (!HostIdentity(farm, &host, error))
        return false;
    std::string deviceCert;
    tls::CertificateRequest device;
    device.issuerKeyPem = Text(host.Find("RootPrivateKey"));
    device.issuerCertPem = Text(host.Find("RootCertificate"));
    device.subjectKeyPem = deviceKeyPem;
    device.commonName = "Device";
    device.serial = static_cast<uint64_t>(::GetTickCount());
    if (!tls::MakeCertificate(device, &deviceCert, error))
        return false;
    Value r = Value::Dict();
    r.Set("DeviceCertificate", Value::Data(deviceCert));
    for (const char* name : {"HostCertificate", "HostPrivateKey", "RootCertificate", "RootPrivateKey"})
        r.Set(name, *host.Find(name));
    r.Set("HostID", Value::String(MakeUuid()));
    r.Set("SystemBUID", Value::String(SystemBuid(farm.folder())));
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
    if (!MakePairRecord(farm, deviceKey, wifi, &record, error))
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
