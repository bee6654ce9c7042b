// A client connection of the wire server as a Stream: a loopback TCP
// socket, with TLS on it while a session or a service asks for it. Reads
// give up after the idle time. (The device's link faults, latency and
// unplugging after N bytes, act in the file service, through the farm's
// view.)
#pragma once

#include "platform/tls.h"
#include "sim/wire/stream.h"

#include <winsock2.h>

#include <memory>
#include <string>

namespace simwire {

class SocketStream : public Stream, private tls::Channel {
  public:
    // Does not own `socket`. `idleMilliseconds`: how long a read may wait
    // for the client (0: for ever).
    SocketStream(SOCKET socket, unsigned idleMilliseconds);
    ~SocketStream() override;
    SocketStream(const SocketStream&) = delete;
    SocketStream& operator=(const SocketStream&) = delete;

    bool ReadExact(void* buffer, size_t size) override;
    bool WriteAll(const void* data, size_t size) override;
    // Uses the credentials given to SetCredentials.
    bool StartServerTls() override;
    bool tls() const override { return m_tls != nullptr; }

    // How long a read may wait for the client from now on (0: for ever).
    void SetIdle(unsigned idleMilliseconds);
    // The device's certificate and key, for StartServerTls.
    void SetCredentials(const std::string& certPem, const std::string& keyPem);
    // Where StartServerTls remembers its session and finds those a client
    // offers to resume (none: every handshake is a full one).
    void SetSessionCache(tls::SessionCache* cache) { m_sessionCache = cache; }
    // Ends TLS after a session stops: answers the client's close_notify when
    // it sends one, and goes on in plain text either way.
    void StopServerTls();
    const std::string& lastError() const { return m_error; }

  private:
    size_t Send(const unsigned char* data, size_t size) override;
    size_t Receive(unsigned char* buffer, size_t size) override;
    bool RawRead(void* buffer, size_t size);

    SOCKET m_socket;
    std::unique_ptr<tls::Session> m_tls;
    tls::SessionCache* m_sessionCache = nullptr;
    std::string m_cert, m_key, m_error;
    std::string m_pushback; // bytes read ahead in plain text, served first
};

} // namespace simwire
