#include "backend/socket.h"

#include "platform/text.h"

#include <ws2tcpip.h>

#include <algorithm>
#include <cstdint>

namespace backend {

Socket::Socket() { m_started = ::WSAStartup(MAKEWORD(2, 2), &m_data) == 0; }

Socket::~Socket() {
    reset();
    if (m_started)
        ::WSACleanup();
}

void Socket::reset(SOCKET socket) {
    if (m_socket != INVALID_SOCKET)
        ::closesocket(m_socket);
    m_socket = socket;
}

SOCKET Socket::release() {
    SOCKET s = m_socket;
    m_socket = INVALID_SOCKET;
    return s;
}

bool SplitMultiplexerAddress(const std::wstring& address, std::string* host, std::string* port, std::wstring* error) {
    if (address.compare(0, 5, L"UNIX:") == 0) {
        *error = L"a Unix socket, which a Windows program cannot use";
        return false;
    }
    std::wstring h, p;
    if (!address.empty() && address[0] == L'[') {
        size_t close = address.find(L"]:");
        if (close == std::wstring::npos) {
            *error = L"not [ADDRESS]:PORT";
            return false;
        }
        h = address.substr(1, close - 1);
        p = address.substr(close + 2);
    } else {
        size_t colon = address.rfind(L':');
        if (colon == std::wstring::npos || address.find(L':') != colon) {
            *error = L"not HOST:PORT";
            return false;
        }
        h = address.substr(0, colon);
        p = address.substr(colon + 1);
    }
    if (h.empty() || p.empty() || p.size() > 5 || p.find_first_not_of(L"0123456789") != std::wstring::npos ||
        std::stoul(p) == 0 || std::stoul(p) > 65535) {
        *error = L"not HOST:PORT";
        return false;
    }
    *host = WideToUtf8(h.c_str());
    *port = WideToUtf8(p.c_str());
    return true;
}

namespace {

// What getaddrinfo gives, given back by its holder.
struct AddressList {
    addrinfo* first = nullptr;
    AddressList() = default;
    ~AddressList() {
        if (first)
            ::freeaddrinfo(first);
    }
    AddressList(const AddressList&) = delete;
    AddressList& operator=(const AddressList&) = delete;
};

std::wstring SocketError(const wchar_t* what) {
    return what + std::wstring(L" (error ") + std::to_wstring(::WSAGetLastError()) + L")";
}

// Connects to one address; `problem` says why not.
bool ConnectToOne(Socket& c, const addrinfo& address, DWORD deadline, std::wstring* problem) {
    SOCKET s = ::socket(address.ai_family, address.ai_socktype, address.ai_protocol);
    if (s == INVALID_SOCKET) {
        *problem = SocketError(L"no socket");
        return false;
    }
    c.reset(s);
    u_long nonBlocking = 1;
    ::ioctlsocket(s, FIONBIO, &nonBlocking);
    // Requests and answers, never a stream of small writes: a short write
    // (a TLS alert, the tail of a message) goes out at once instead of
    // waiting for the acknowledgement of the one before.
    BOOL noDelay = TRUE;
    ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay), sizeof noDelay);
    if (::connect(s, address.ai_addr, static_cast<int>(address.ai_addrlen)) == 0)
        return true;
    if (::WSAGetLastError() != WSAEWOULDBLOCK) {
        *problem = SocketError(L"nothing listens there");
        return false;
    }
    if (!WaitFor(s, true, deadline)) {
        int error = 0;
        int size = sizeof error;
        ::getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &size);
        *problem = error ? L"nothing listens there (error " + std::to_wstring(error) + L")"
                         : std::wstring(L"no connection within the time allowed");
        return false;
    }
    return true;
}

} // namespace

// Milliseconds left until `deadline` (a GetTickCount value), 0 when past.
DWORD Left(DWORD deadline) {
    DWORD now = ::GetTickCount();
    return static_cast<int32_t>(deadline - now) > 0 ? deadline - now : 0;
}

// Waits until the socket can be written (`write`) or read; false on time-out.
bool WaitFor(SOCKET s, bool write, DWORD deadline) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(s, &set);
    fd_set failed;
    FD_ZERO(&failed);
    FD_SET(s, &failed);
    DWORD left = Left(deadline);
    timeval wait{static_cast<long>(left / 1000), static_cast<long>((left % 1000) * 1000)};
    int n = ::select(0, write ? nullptr : &set, write ? &set : nullptr, &failed, &wait);
    return n > 0 && FD_ISSET(s, &set);
}

bool ConnectTo(Socket& c, const std::string& host, const std::string& port, DWORD deadline, std::wstring* problem) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    AddressList addresses;
    if (::getaddrinfo(host.c_str(), port.c_str(), &hints, &addresses.first) != 0 || !addresses.first) {
        *problem = L"the address cannot be resolved";
        return false;
    }
    *problem = L"no connection within the time allowed";
    for (const addrinfo* address = addresses.first; address && Left(deadline) > 0; address = address->ai_next) {
        if (ConnectToOne(c, *address, deadline, problem))
            return true;
    }
    return false;
}

bool SendAll(SOCKET s, const void* data, size_t size, DWORD deadline) {
    const char* bytes = static_cast<const char*>(data);
    size_t sent = 0;
    while (sent < size) {
        if (!WaitFor(s, true, deadline))
            return false;
        const int chunk = static_cast<int>(std::min<size_t>(size - sent, 1 << 20));
        int n = ::send(s, bytes + sent, chunk, 0);
        if (n <= 0 && ::WSAGetLastError() != WSAEWOULDBLOCK)
            return false;
        if (n > 0)
            sent += static_cast<size_t>(n);
    }
    return true;
}

size_t ReceiveSome(SOCKET s, void* buffer, size_t size, DWORD deadline) {
    const int want = static_cast<int>(std::min<size_t>(size, 1 << 20));
    for (;;) {
        if (!WaitFor(s, false, deadline))
            return 0;
        int n = ::recv(s, static_cast<char*>(buffer), want, 0);
        if (n > 0)
            return static_cast<size_t>(n);
        if (n == 0 || ::WSAGetLastError() != WSAEWOULDBLOCK)
            return 0;
    }
}

bool ReceiveExactly(SOCKET s, void* buffer, size_t size, DWORD deadline) {
    char* bytes = static_cast<char*>(buffer);
    size_t got = 0;
    while (got < size) {
        const size_t n = ReceiveSome(s, bytes + got, size - got, deadline);
        if (n == 0)
            return false;
        got += n;
    }
    return true;
}

} // namespace backend
