// The devices of the built-in backend (am_device), for the backend's own
// modules: who a device is, services started on it, and the service
// connections handed out as sockets by AMDeviceStartService.
#pragma once

#include "backend/connection.h"
#include "platform/vendor_abi.h"

#include <winsock2.h>

#include <cstdint>
#include <memory>
#include <string>

namespace backend {

// The device object of a device the multiplexer announced, with a
// reference for the caller: the one already alive for that device (so that
// every subscription, and a subscription made again, hands out the same
// object), else a new one.
am_device* AnnouncedDevice(uint32_t deviceId, const std::string& udid);
// Whether `device` is a device object of this backend that is still alive.
bool IsDevice(am_device* device);
std::string DeviceUdid(am_device* device);
uint32_t DeviceId(am_device* device);

// A connection to `service` on the device, TLS when the device asks for it:
// started within the device's open session, or else within a lockdown
// connection and session of its own that end before this returns. Null
// with the reason when the device refuses or does not answer.
std::unique_ptr<Connection> StartServiceConnection(am_device* device, const char* service, std::string* error);

// Hands the connection's socket out to the caller, who closes it; the
// connection (its TLS state) is kept until taken.
SOCKET HandOutServiceConnection(std::unique_ptr<Connection> connection);
// The connection behind a socket handed out; null when the socket was not
// handed out, was taken already, or was closed and its number reused. The
// connection never closes the socket: the caller does.
std::unique_ptr<Connection> TakeServiceConnection(SOCKET socket);

// Ends every device's lockdown connection and forgets the service
// connections not taken (Shutdown).
void CloseDeviceConnections();

} // namespace backend
