#include "tests/support/fake_multiplexer.h"

#include <windows.h>

#include <cstdint>
#include <cstring>

namespace testutil {
namespace {

constexpr size_t kHeaderSize = 16;

// Whether `s` has something to read (or was closed) within `milliseconds`.
bool Readable(SOCKET s, long milliseconds) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(s, &set);
    timeval wait{milliseconds / 1000, (milliseconds % 1000) * 1000};
    return ::select(0, &set, nullptr, nullptr, &wait) > 0;
}

// A listening loopback socket on a port of the system's choosing.
SOCKET Listen(unsigned short* port) {
    SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET)
        return s;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int size = sizeof address;
    if (::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(s, reinterpret_cast<sockaddr*>(&address), &size) != 0 || ::listen(s, 8) != 0) {
        ::closesocket(s);
        return INVALID_SOCKET;
    }
    *port = ntohs(address.sin_port);
    return s;
}

} // namespace

FakeMultiplexer::FakeMultiplexer(Reply reply, int devices) : m_reply(reply), m_devices(devices) {
    WSADATA data;
    ::WSAStartup(MAKEWORD(2, 2), &data);
    m_listener = Listen(&m_port);
    if (m_listener != INVALID_SOCKET)
        m_thread = std::thread([this] { Serve(); });
}

FakeMultiplexer::~FakeMultiplexer() {
    m_stop = true;
    if (m_thread.joinable())
        m_thread.join();
    if (m_listener != INVALID_SOCKET)
        ::closesocket(m_listener);
    ::WSACleanup();
}

std::string FakeMultiplexer::DeviceEntry(int id) {
    const std::string n = std::to_string(id);
    return "<dict><key>DeviceID</key><integer>" + n +
           "</integer><key>MessageType</key><string>Attached</string><key>Properties</key><dict>"
           "<key>DeviceID</key><integer>" +
           n +
           "</integer><key>SerialNumber</key><string>abc</string><key>ConnectionType</key><string>USB</string>"
           "</dict></dict>";
}

void FakeMultiplexer::Serve() {
    while (!m_stop) {
        if (!Readable(m_listener, 50))
            continue;
        SOCKET client = ::accept(m_listener, nullptr, nullptr);
        if (client == INVALID_SOCKET)
            continue;
        ++m_connections;
        Answer(client);
        ::closesocket(client);
    }
}

void FakeMultiplexer::Answer(SOCKET client) {
    std::string request;
    char buffer[4096];
    for (;;) {
        uint32_t length = 0;
        if (request.size() >= kHeaderSize)
            std::memcpy(&length, request.data(), 4);
        if (length && request.size() >= length)
            break;
        if (m_stop)
            return;
        if (!Readable(client, 50))
            continue;
        int n = ::recv(client, buffer, sizeof buffer, 0);
        if (n <= 0)
            return;
        request.append(buffer, static_cast<size_t>(n));
    }
    uint32_t tag = 0;
    std::memcpy(&tag, request.data() + 12, 4);
    switch (m_reply) {
    case Reply::CloseAtOnce:
        return;
    case Reply::Silent:
        // Held until the client gives up (a read of 0) or the server goes.
        while (!m_stop) {
            if (Readable(client, 50) && ::recv(client, buffer, sizeof buffer, 0) <= 0)
                return;
        }
        return;
    case Reply::DeviceList:
    case Reply::WrongTag:
        break;
    }
    std::string body = "<plist version=\"1.0\"><dict><key>DeviceList</key><array>";
    for (int i = 0; i < m_devices; ++i)
        body += DeviceEntry(i + 1);
    body += "</array></dict></plist>";
    const uint32_t words[] = {static_cast<uint32_t>(kHeaderSize + body.size()), 1, 8,
                              m_reply == Reply::WrongTag ? tag + 1 : tag};
    std::string message(reinterpret_cast<const char*>(words), kHeaderSize);
    message += body;
    ::send(client, message.data(), static_cast<int>(message.size()), 0);
}

std::wstring ClosedLoopbackAddress() {
    WSADATA data;
    ::WSAStartup(MAKEWORD(2, 2), &data);
    unsigned short port = 0;
    SOCKET s = Listen(&port);
    if (s != INVALID_SOCKET)
        ::closesocket(s);
    ::WSACleanup();
    return L"127.0.0.1:" + std::to_wstring(port);
}

} // namespace testutil
