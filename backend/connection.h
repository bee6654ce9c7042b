// A connection to one port of a device through the multiplexer: a loopback
// TCP socket on which a Connect succeeded, so that it is a plain byte pipe,
// with TLS on it once StartTls has succeeded. Every read and write is
// bounded by the timeout; the reason of the last failure is kept.
#pragma once

#include "platform/tls.h"
#include "platform/vendor_abi.h"

#include <winsock2.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace backend {

class Connection {
  public:
    // Connects to `port` of the multiplexer's device `deviceId`; null with
    // the reason in `error` when the multiplexer or the device refuses.
    static std::unique_ptr<Connection> Open(uint32_t deviceId, uint16_t port, std::string* error);
    ~Connection(); // ends TLS and closes the socket (unless released)
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    bool ReadExact(void* buffer, size_t size);
    bool WriteAll(const void* data, size_t size);
    // TLS as the client, presenting the host's certificate and key from the
    // pair record; with `resumption`, the session kept there is offered and
    // the one made is kept.
    bool StartTls(const std::string& certPem, const std::string& keyPem, tls::Resumption* resumption = nullptr);
    // Sends close_notify and goes on in plain text (lockdown's StopSession).
    void StopTls();
    bool tls() const;
    // How long one read or write may wait (milliseconds).
    void SetTimeout(unsigned milliseconds);
    SOCKET socket() const;
    // Gives up the ownership of the socket: the caller closes it, after this
    // object is destroyed. The connection goes on reading and writing on it
    // (TLS state stays here), but never closes it.
    SOCKET ReleaseSocket();
    const std::string& lastError() const;

  private:
    Connection();
    struct State;
    std::unique_ptr<State> m_state;
};

// Property-list messages of lockdown and the property-list services: a
// 4-byte big-endian length, then the list (sent as XML; XML or binary read).
// Values are the value library's; a received one is owned by the caller.
// A message longer than kMaxPlistMessage is refused both ways.
constexpr uint32_t kMaxPlistMessage = 4u << 20;
bool SendPlist(Connection& connection, CFTypeRef message);
CFTypeRef ReceivePlist(Connection& connection, std::string* error);

} // namespace backend
