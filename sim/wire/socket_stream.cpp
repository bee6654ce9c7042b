#include "sim/wire/socket_stream.h"

#include <cstring>

namespace simwire {

namespace {

const size_t kMostChunk = 64 * 1024;

int Chunk(size_t size) { return static_cast<int>(size > kMostChunk ? kMostChunk : size); }

} // namespace

SocketStream::SocketStream(SOCKET socket, unsigned idleMilliseconds) : m_socket(socket) {
    SetIdle(idleMilliseconds);
    BOOL noDelay = TRUE;
    ::setsockopt(m_socket, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay), sizeof noDelay);
}

SocketStream::~SocketStream() = default;

void SocketStream::SetIdle(unsigned idleMilliseconds) {
    DWORD timeout = idleMilliseconds;
    ::setsockopt(m_socket, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout), sizeof timeout);
}

size_t SocketStream::Send(const unsigned char* data, size_t size) {
    int sent = ::send(m_socket, reinterpret_cast<const char*>(data), Chunk(size), 0);
    return sent > 0 ? static_cast<size_t>(sent) : 0;
}

size_t SocketStream::Receive(unsigned char* buffer, size_t size) {
    if (size == 0)
        return 0;
    if (!m_pushback.empty()) {
        size_t n = size < m_pushback.size() ? size : m_pushback.size();
        std::memcpy(buffer, m_pushback.data(), n);
        m_pushback.erase(0, n);
        return n;
    }
    int got = ::recv(m_socket, reinterpret_cast<char*>(buffer), Chunk(size), 0);
    return got > 0 ? static_cast<size_t>(got) : 0;
}

bool SocketStream::RawRead(void* buffer, size_t size) {
    auto* at = static_cast<unsigned char*>(buffer);
    while (size > 0) {
        size_t got = Receive(at, size);
        if (got == 0)
            return false;
        at += got;
        size -= got;
    }
    return true;
}

bool SocketStream::ReadExact(void* buffer, size_t size) {
    if (!m_tls)
        return RawRead(buffer, size);
    auto* at = static_cast<unsigned char*>(buffer);
    while (size > 0) {
        size_t got = m_tls->Read(at, size);
        if (got == 0)
            return false;
        at += got;
        size -= got;
    }
    return true;
}

bool SocketStream::WriteAll(const void* data, size_t size) {
    if (m_tls)
        return m_tls->WriteAll(data, size);
    const auto* at = static_cast<const unsigned char*>(data);
    while (size > 0) {
        size_t sent = Send(at, size);
        if (sent == 0)
            return false;
        at += sent;
        size -= sent;
    }
    return true;
}

void SocketStream::SetCredentials(const std::string& certPem, const std::string& keyPem) {
    m_cert = certPem;
    m_key = keyPem;
}

bool SocketStream::StartServerTls() {
    if (m_tls)
        return true;
    if (m_cert.empty() || m_key.empty()) {
        m_error = "no device certificate for TLS";
        return false;
    }
    auto session = std::make_unique<tls::Session>();
    session->RememberIn(m_sessionCache);
    if (!session->Start(tls::Role::Server, *this, m_cert, m_key, &m_error))
        return false;
    m_tls = std::move(session);
    return true;
}

void SocketStream::StopServerTls() {
    if (!m_tls)
        return;
    // A client that ends TLS politely sends close_notify (an alert record,
    // type 21) and may wait for ours; one that just drops TLS goes on with
    // a plain message, whose length starts with a zero byte.
    unsigned char first = 0;
    if (RawRead(&first, 1)) {
        m_pushback.insert(m_pushback.begin(), static_cast<char>(first));
        if (first == 21) {
            unsigned char scratch[64];
            while (m_tls->Read(scratch, sizeof scratch) > 0) {
            }
            if (m_tls->peerClosed())
                m_tls->Close();
        }
    }
    m_tls.reset();
}

} // namespace simwire
