// Lockdown, a device's port 62078: values, pairing, sessions with TLS and
// the start of services.
#pragma once

#include "sim/wire/socket_stream.h"

#include <cstdint>
#include <string>

namespace simwire {

class DeviceTracker;

// Where lockdown's StartService hands a service to: a port of the device
// that the next multiplexer Connect to it reaches.
class ServicePorts {
  public:
    virtual ~ServicePorts() = default;
    // A port for one connection to `service` (with TLS when `tls`); 0 when
    // none is free.
    virtual uint16_t Open(uint32_t deviceId, const std::string& udid, const std::string& service, bool tls) = 0;
};

struct LockdownContext {
    DeviceTracker* tracker = nullptr;
    ServicePorts* ports = nullptr;
    uint32_t deviceId = 0;
    std::string udid;
};

// Serves one lockdown connection until the client closes it, sends what is
// no property-list message, or the device goes.
void ServeLockdown(SocketStream& stream, const LockdownContext& context);

// Whether a device starts `service` with TLS (EnableServiceSSL): none of
// the services here do on the devices of that era, unless the device's
// description names the service under ServicesWithTLS.
bool ServiceStartsWithTls(const simfarm::Value& description, const std::string& service);

} // namespace simwire
