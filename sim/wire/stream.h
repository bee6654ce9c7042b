// The device side of the wire: what a simulated device's services see of a
// client connection once the multiplexer has turned it into a byte pipe to
// one of the device's ports.
#pragma once

#include "sim/farm/plist.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace simwire {

// A connected byte stream to one client: a multiplexer connection after a
// successful Connect, with TLS on it once StartServerTls has succeeded.
class Stream {
  public:
    virtual ~Stream() = default;
    // Reads exactly `size` bytes; false when the peer closed, the connection
    // failed or the server is stopping.
    virtual bool ReadExact(void* buffer, size_t size) = 0;
    virtual bool WriteAll(const void* data, size_t size) = 0;
    // Starts TLS as the device (the TLS server) with the device's own
    // certificate and key; false when the handshake fails.
    virtual bool StartServerTls() = 0;
    virtual bool tls() const = 0;
};

// The largest property-list message taken from a client (lockdown and the
// property-list services); a longer announced length closes the connection.
constexpr uint32_t kMostPlistMessage = 16u * 1024 * 1024;

// Property-list framing of lockdown and the property-list services: a
// 4-byte big-endian length, then the list (XML or binary).
// Reading fails on a closed stream, a zero or oversized length, or a body
// that is no property list; `error` (optional) says which.
bool ReadPlistMessage(Stream& stream, simfarm::Value* out, std::string* error = nullptr);
// Writes `value` as an XML property list.
bool WritePlistMessage(Stream& stream, const simfarm::Value& value);

// What a service connection is about: the farm, the device and how slow its
// link is set to be.
struct ServiceContext {
    std::wstring farmFolder;
    std::string udid;
};

// The services a device offers on the ports that lockdown's StartService
// hands out. Each serves one client connection until it closes (or the
// device is unplugged) and then returns; none throws.
void ServeFileService(Stream& stream, const ServiceContext& context, bool privileged); // afc2 / afc
void ServeInstallationProxy(Stream& stream, const ServiceContext& context);
void ServeMisagent(Stream& stream, const ServiceContext& context);

} // namespace simwire
