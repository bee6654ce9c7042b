// Loopback TCP sockets to the device multiplexer, non-blocking, with every
// wait bounded by a deadline (a GetTickCount value).
#pragma once

#include <winsock2.h>

#include <cstddef>
#include <string>

namespace backend {

// Milliseconds left until `deadline`, 0 when it has passed.
DWORD Left(DWORD deadline);
inline DWORD DeadlineIn(unsigned milliseconds) { return ::GetTickCount() + milliseconds; }

// Owns a socket and the Windows Sockets start that goes with it.
class Socket {
  public:
    Socket();
    ~Socket();
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    bool started() const { return m_started; }
    SOCKET get() const { return m_socket; }
    void reset(SOCKET socket = INVALID_SOCKET);
    // Gives the socket up without closing it.
    SOCKET release();

  private:
    WSADATA m_data{};
    bool m_started = false;
    SOCKET m_socket = INVALID_SOCKET;
};

// HOST:PORT or [IPV6]:PORT into its parts; false with the reason otherwise.
bool SplitMultiplexerAddress(const std::wstring& address, std::string* host, std::string* port, std::wstring* error);

// Connects to the first of the host's addresses that takes the connection
// ("localhost" may name ::1 before 127.0.0.1); the socket is left
// non-blocking.
bool ConnectTo(Socket& socket, const std::string& host, const std::string& port, DWORD deadline, std::wstring* problem);

// Waits until the socket can be written (`write`) or read; false on time-out.
bool WaitFor(SOCKET s, bool write, DWORD deadline);
bool SendAll(SOCKET s, const void* data, size_t size, DWORD deadline);
// Reads exactly `size` bytes; false on time-out or a closed link.
bool ReceiveExactly(SOCKET s, void* buffer, size_t size, DWORD deadline);
// Reads what has come, up to `size` bytes, waiting until the deadline for
// the first: the count, 0 on time-out or a closed link.
size_t ReceiveSome(SOCKET s, void* buffer, size_t size, DWORD deadline);

} // namespace backend
