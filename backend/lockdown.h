// Lockdown, the device's port 62078: requests and replies as property-list
// messages over a Connection, the pair record the host keeps, and the
// host's keys for pairing.
#pragma once

#include "backend/cf.h"
#include "backend/connection.h"
#include "backend/timeouts.h"

#include <memory>
#include <string>

namespace backend {

constexpr char kLabel[] = "OrvexDevice";

// Writes one line to the daily log, naming the built-in backend (every line
// the backend writes starts with kBackendDetailLogPrefix).
void LogLine(const std::string& utf8);
void LogLine(const std::wstring& text);

class Lockdown {
  public:
    // Connects to lockdown on the multiplexer's device `deviceId` and checks
    // that it answers QueryType as lockdown.
    static std::unique_ptr<Lockdown> Open(uint32_t deviceId, std::string* error);

    // Sends {Request, Label, fields...} and reads the reply. Null with the
    // reason when the connection failed (it is then no longer usable); a
    // reply the device refused carries its Error (ErrorOf).
    Owned<CFDictionaryRef> Request(const char* request, CFDictionaryRef fields, std::string* error);
    bool broken() const { return m_broken; }
    Connection& connection() { return *m_connection; }

  private:
    explicit Lockdown(std::unique_ptr<Connection> connection) : m_connection(std::move(connection)) {}
    std::unique_ptr<Connection> m_connection;
    bool m_broken = false;
};

// The device's refusal in a reply ("" when none).
std::string ErrorOf(CFDictionaryRef reply);
// The call's error code for a refusal of lockdown.
int StatusOfError(const std::string& error);

// The host's pair record for one device.
struct PairRecord {
    std::string hostId, systemBuid;
    std::string hostCertificate, hostKey, rootCertificate, rootKey, deviceCertificate; // PEM
    std::string escrowBag, wifiAddress;

    // False with the reason when a field needed for a session is missing.
    bool Read(CFDictionaryRef record, std::string* error);
    // The whole record, as the multiplexer keeps it.
    Owned<CFDictionaryRef> Whole() const;
    // What the device is shown: the record without the private keys.
    Owned<CFDictionaryRef> ForDevice() const;
};

// The keys and certificates a host pairs with: made once per process (RSA
// key generation is slow), or taken from a record the host already has.
struct HostIdentity {
    std::string rootKey, rootCertificate, hostKey, hostCertificate;
};
bool ProcessHostIdentity(HostIdentity* identity, std::string* error);

// A new pair record for a device whose public key is `devicePublicKeyPem`.
bool MakePairRecord(const HostIdentity& identity, const std::string& devicePublicKeyPem, const std::string& systemBuid,
                    PairRecord* record, std::string* error);

std::string NewUuid();

} // namespace backend
