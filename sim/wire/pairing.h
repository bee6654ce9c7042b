// Pairing of the farm's devices on the wire. Each device has an RSA key of
// its own (made when first needed: key generation is slow), reported as its
// DevicePublicKey. A paired device trusts one host: the host's identifier
// and certificates, kept in its description under TrustedHost. The host's
// side, the pair record the multiplexer hands to clients, is kept under
// PairRecord. A device paired by other means (the stand-in's first session,
// devicesim pair) gets both made on first need, signed by a root key of its
// own.
#pragma once

#include "sim/farm/farm.h"

#include <string>

namespace simwire {

// Keys are made ahead, `keep` at a time, on a thread of their own while
// at least one user has started it (a server); stopping waits for the key
// being made.
void StartKeyMaker(size_t keep);
void StopKeyMaker();
// Makes the farm's host keys when missing and `ready` keys ahead, before a
// server takes its first client (clients wait only seconds for answers).
bool PrepareKeys(const simfarm::Farm& farm, size_t ready, std::string* error);

// The host's system identifier: one per farm, the same every run.
std::string SystemBuid(const std::wstring& farmFolder);

// The device's private key (PEM), made and stored when missing; the default
// domain's DevicePublicKey is then its public half.
bool EnsureDeviceKey(const simfarm::Farm& farm, const std::string& udid, std::string* keyPem, std::string* error);

// Makes the trust and the pair record of a device marked paired that has
// neither (the trust from the pair record when only that is there).
bool EnsurePairing(const simfarm::Farm& farm, const std::string& udid, std::string* error);

// A complete host pair record for a device key: the farm's root and host
// keys with their certificates (made once per farm and kept in its folder,
// as a host keeps one identity), the device certificate, a new HostID and
// the SystemBUID.
bool MakePairRecord(const simfarm::Farm& farm, const std::string& deviceKeyPem, const std::string& wifiAddress,
                    simfarm::Value* record, std::string* error);

// The certificate and key the device presents in TLS: the device
// certificate of the host it trusts, and its own key.
bool DeviceCredentials(const simfarm::Farm& farm, const std::string& udid, std::string* certPem, std::string* keyPem,
                       std::string* error);

// A random identifier in the form 8-4-4-4-12, upper case.
std::string MakeUuid();

} // namespace simwire
