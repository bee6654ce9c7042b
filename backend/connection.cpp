#include "backend/connection.h"

#include "backend/cf.h"
#include "backend/multiplexer.h"
#include "backend/socket.h"
#include "backend/timeouts.h"
#include "platform/tls.h"

namespace backend {

namespace {

// The socket as the byte channel under TLS; each call waits at most the
// connection's timeout.
class SocketChannel : public tls::Channel {
  public:
    SocketChannel(const SOCKET& socket, const unsigned& timeout) : m_socket(socket), m_timeout(timeout) {}
    size_t Send(const unsigned char* data, size_t size) override {
        return SendAll(m_socket, data, size, DeadlineIn(m_timeout)) ? size : 0;
    }
    size_t Receive(unsigned char* buffer, size_t size) override {
        return ReceiveSome(m_socket, buffer, size, DeadlineIn(m_timeout));
    }

  private:
    const SOCKET& m_socket;
    const unsigned& m_timeout;
};

} // namespace

struct Connection::State {
    Socket socket;
    SOCKET raw = INVALID_SOCKET; // the socket, also once released
    bool released = false;
    unsigned timeout = DeviceTimeout();
    SocketChannel channel{raw, timeout};
    std::unique_ptr<tls::Session> tls;
    bool alertMayFollow = false; // TLS ended without the peer's close_notify
    std::string lastError;
};

namespace {

constexpr unsigned kCloseNotifyMilliseconds = 500;
constexpr unsigned char kAlertRecord = 21;

// Skips a TLS alert record (the peer's late close_notify) at the head of
// the plain text; a plain message's length never starts with that byte.
bool SkipLateAlert(SOCKET socket, DWORD deadline) {
    unsigned char first = 0;
    if (!WaitFor(socket, false, deadline) || ::recv(socket, reinterpret_cast<char*>(&first), 1, MSG_PEEK) != 1 ||
        first != kAlertRecord)
        return true;
    unsigned char header[5];
    if (!ReceiveExactly(socket, header, sizeof header, deadline))
        return false;
    std::string body((header[3] << 8) | header[4], '\0');
    return ReceiveExactly(socket, body.data(), body.size(), deadline);
}

} // namespace

Connection::Connection() : m_state(std::make_unique<State>()) {}

Connection::~Connection() {
    if (m_state->tls && !m_state->released) {
        // A short bound: the peer may be gone already.
        m_state->timeout = 500;
        m_state->tls->Close();
    }
    m_state->tls.reset();
    if (m_state->released)
        m_state->socket.release();
}

std::unique_ptr<Connection> Connection::Open(uint32_t deviceId, uint16_t port, std::string* error) {
    std::string problem;
    std::unique_ptr<MuxChannel> channel = MuxChannel::Open(MultiplexerTimeout(), &problem);
    if (!channel) {
        *error = problem;
        return nullptr;
    }
    // The port travels in network byte order.
    const uint16_t networkPort = static_cast<uint16_t>((port >> 8) | ((port & 0xFF) << 8));
    Dictionary fields;
    fields.SetInteger("DeviceID", deviceId).SetInteger("PortNumber", networkPort);
    Owned<CFDictionaryRef> reply = channel->Exchange("Connect", fields.get(), &problem);
    if (!reply) {
        *error = problem;
        return nullptr;
    }
    const int64_t number = ResultNumber(reply.get());
    if (number != 0) {
        *error = "the multiplexer refused to connect to port " + std::to_string(port) + " of device " +
                 std::to_string(deviceId) + " (result " + std::to_string(number) + ")";
        return nullptr;
    }
    std::unique_ptr<Connection> connection(new Connection());
    connection->m_state->socket.reset(channel->Release());
    connection->m_state->raw = connection->m_state->socket.get();
    return connection;
}

bool Connection::ReadExact(void* buffer, size_t size) {
    State& s = *m_state;
    if (!s.tls) {
        const DWORD deadline = DeadlineIn(s.timeout);
        if (s.alertMayFollow && size > 0) {
            s.alertMayFollow = false;
            if (!SkipLateAlert(s.raw, deadline)) {
                s.lastError = "the device's TLS ended badly";
                return false;
            }
        }
        if (ReceiveExactly(s.raw, buffer, size, deadline))
            return true;
        s.lastError = "the device closed the connection or did not answer in time";
        return false;
    }
    unsigned char* bytes = static_cast<unsigned char*>(buffer);
    size_t got = 0;
    while (got < size) {
        const size_t n = s.tls->Read(bytes + got, size - got);
        if (n == 0) {
            s.lastError = s.tls->peerClosed() ? "the device ended TLS"
                                              : "the device closed the connection or did not answer in time (TLS)";
            return false;
        }
        got += n;
    }
    return true;
}

bool Connection::WriteAll(const void* data, size_t size) {
    State& s = *m_state;
    const bool ok = s.tls ? s.tls->WriteAll(data, size) : SendAll(s.raw, data, size, DeadlineIn(s.timeout));
    if (!ok)
        s.lastError = "the device did not take what was sent";
    return ok;
}

bool Connection::StartTls(const std::string& certPem, const std::string& keyPem, tls::Resumption* resumption) {
    State& s = *m_state;
    if (s.tls)
        return true;
    auto session = std::make_unique<tls::Session>();
    session->ResumeWith(resumption);
    std::string error;
    if (!session->Start(tls::Role::Client, s.channel, certPem, keyPem, &error)) {
        s.lastError = "the TLS handshake failed: " + error;
        return false;
    }
    s.tls = std::move(session);
    return true;
}

void Connection::StopTls() {
    State& s = *m_state;
    if (!s.tls)
        return;
    // close_notify both ways. A peer that does not answer with its own at
    // once may send it later: it is then skipped before the next plain read.
    s.tls->Close();
    const unsigned timeout = s.timeout;
    s.timeout = kCloseNotifyMilliseconds;
    unsigned char scratch[256];
    while (!s.tls->peerClosed() && s.tls->Read(scratch, sizeof scratch) > 0) {
    }
    s.alertMayFollow = !s.tls->peerClosed();
    s.timeout = timeout;
    s.tls.reset();
}

bool Connection::tls() const { return m_state->tls != nullptr; }

void Connection::SetTimeout(unsigned milliseconds) { m_state->timeout = milliseconds; }

SOCKET Connection::socket() const { return m_state->raw; }

SOCKET Connection::ReleaseSocket() {
    m_state->released = true;
    return m_state->raw;
}

const std::string& Connection::lastError() const { return m_state->lastError; }

// ---- property-list messages ------------------------------------------------------

bool SendPlist(Connection& connection, CFTypeRef message) {
    const std::string body = XmlOf(message);
    if (body.empty() || body.size() > kMaxPlistMessage)
        return false;
    const uint32_t size = static_cast<uint32_t>(body.size());
    std::string framed = {static_cast<char>(size >> 24), static_cast<char>(size >> 16), static_cast<char>(size >> 8),
                          static_cast<char>(size)};
    framed += body;
    return connection.WriteAll(framed.data(), framed.size());
}

CFTypeRef ReceivePlist(Connection& connection, std::string* error) {
    std::string ignored;
    std::string& problem = error ? *error : ignored;
    unsigned char head[4];
    if (!connection.ReadExact(head, sizeof head)) {
        problem = connection.lastError();
        return nullptr;
    }
    const uint32_t size = (uint32_t(head[0]) << 24) | (uint32_t(head[1]) << 16) | (uint32_t(head[2]) << 8) | head[3];
    if (size == 0 || size > kMaxPlistMessage) {
        problem = "the device announced a message of " + std::to_string(size) + " bytes, which is not taken";
        return nullptr;
    }
    std::string body(size, '\0');
    if (!connection.ReadExact(body.data(), body.size())) {
        problem = connection.lastError();
        return nullptr;
    }
    Owned<CFTypeRef> parsed = ParsePlist(body.data(), body.size());
    if (!parsed) {
        problem = "the device's message is not a property list";
        return nullptr;
    }
    return parsed.release();
}

} // namespace backend
