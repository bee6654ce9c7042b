#include "tests/backend/fake_multiplexer.h"

#include "backend/cf.h"

#include <cstring>

namespace backendtest {

namespace {

uint32_t Le32(const unsigned char* p) { return p[0] | (p[1] << 8) | (p[2] << 16) | (uint32_t(p[3]) << 24); }

bool ReadAll(SOCKET s, void* buffer, size_t size, const std::atomic<bool>& stop) {
    char* p = static_cast<char*>(buffer);
    while (size > 0 && !stop) {
        fd_set set;
        FD_ZERO(&set);
        FD_SET(s, &set);
        timeval wait{0, 50 * 1000};
        if (::select(0, &set, nullptr, nullptr, &wait) <= 0)
            continue;
        int n = ::recv(s, p, static_cast<int>(size), 0);
        if (n <= 0)
            return false;
        p += n;
        size -= static_cast<size_t>(n);
    }
    return size == 0;
}

void SendBytes(SOCKET s, const std::string& bytes) { ::send(s, bytes.data(), static_cast<int>(bytes.size()), 0); }

std::string MuxMessage(uint32_t tag, const std::string& body) {
    const uint32_t words[] = {static_cast<uint32_t>(16 + body.size()), 1, 8, tag};
    return std::string(reinterpret_cast<const char*>(words), 16) + body;
}

std::string Result(int number) {
    backend::Dictionary d;
    d.Set("MessageType", "Result").SetInteger("Number", number);
    return backend::XmlOf(d.get());
}

std::string Framed(const std::string& body) {
    const uint32_t n = static_cast<uint32_t>(body.size());
    const char head[] = {static_cast<char>(n >> 24), static_cast<char>(n >> 16), static_cast<char>(n >> 8),
                         static_cast<char>(n)};
    return std::string(head, 4) + body;
}

void WaitForClose(SOCKET s, const std::atomic<bool>& stop) {
    char scratch[256];
    while (!stop) {
        fd_set set;
        FD_ZERO(&set);
        FD_SET(s, &set);
        timeval wait{0, 50 * 1000};
        if (::select(0, &set, nullptr, nullptr, &wait) > 0 && ::recv(s, scratch, sizeof scratch, 0) <= 0)
            return;
    }
}

} // namespace

SOCKET ListenOnLoopback(unsigned short* port) {
    SOCKET listener = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
    int size = sizeof address;
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size);
    *port = ntohs(address.sin_port);
    ::listen(listener, 8);
    return listener;
}

FakeMultiplexer::FakeMultiplexer(Fault fault, std::string record) : m_fault(fault), m_record(std::move(record)) {
    WSADATA data;
    ::WSAStartup(MAKEWORD(2, 2), &data);
    m_listener = ListenOnLoopback(&m_port);
    ::SetEnvironmentVariableW(L"USBMUXD_SOCKET_ADDRESS", address().c_str());
    m_acceptor = std::thread([this] { Accept(); });
}

FakeMultiplexer::~FakeMultiplexer() {
    m_stop = true;
    ::closesocket(m_listener);
    m_acceptor.join();
    for (std::thread& client : m_clients)
        client.join();
    ::SetEnvironmentVariableW(L"USBMUXD_SOCKET_ADDRESS", nullptr);
    ::WSACleanup();
}

std::wstring FakeMultiplexer::address() const { return L"127.0.0.1:" + std::to_wstring(m_port); }

void FakeMultiplexer::Accept() {
    while (!m_stop) {
        fd_set set;
        FD_ZERO(&set);
        FD_SET(m_listener, &set);
        timeval wait{0, 50 * 1000};
        if (::select(0, &set, nullptr, nullptr, &wait) <= 0)
            continue;
        SOCKET s = ::accept(m_listener, nullptr, nullptr);
        if (s == INVALID_SOCKET)
            continue;
        ++m_connections;
        m_clients.emplace_back([this, s] {
            Serve(s);
            ::closesocket(s);
        });
    }
}

void FakeMultiplexer::Serve(SOCKET s) {
    for (;;) {
        unsigned char head[16];
        if (!ReadAll(s, head, sizeof head, m_stop))
            return;
        const uint32_t length = Le32(head), tag = Le32(head + 12);
        if (length < 16 || length > (1 << 20))
            return;
        std::string body(length - 16, '\0');
        if (!ReadAll(s, body.data(), body.size(), m_stop))
            return;
        backend::Owned<CFTypeRef> request = backend::ParsePlist(body.data(), body.size());
        const std::string type = backend::TextOf(static_cast<CFDictionaryRef>(request.get()), "MessageType");
        switch (m_fault) {
        case Fault::MuxSilent:
            return WaitForClose(s, m_stop);
        case Fault::MuxOversized:
            SendBytes(s, MuxMessage(tag, "").replace(0, 4, "\xff\xff\xff\x7f", 4));
            return WaitForClose(s, m_stop);
        case Fault::MuxMalformed:
            SendBytes(s, MuxMessage(tag, "<plist><dict><key>MessageType</key><string>Res"));
            return WaitForClose(s, m_stop);
        default:
            break;
        }
        if (type == "ReadPairRecord") {
            backend::Dictionary reply;
            reply.SetData("PairRecordData", m_record);
            SendBytes(s, MuxMessage(tag, backend::XmlOf(reply.get())));
        } else if (type == "ReadBUID") {
            backend::Dictionary reply;
            reply.Set("BUID", "00000000-1111-2222-3333-444444444444");
            SendBytes(s, MuxMessage(tag, backend::XmlOf(reply.get())));
        } else if (type == "Connect") {
            SendBytes(s, MuxMessage(tag, Result(m_fault == Fault::MuxRefused ? 3 : 0)));
            if (m_fault != Fault::MuxRefused)
                return (void)ServeDevice(s);
        } else {
            SendBytes(s, MuxMessage(tag, Result(1)));
        }
        if (m_fault == Fault::MuxOneAnswer)
            return;
    }
}

// Lockdown as the fault says.
bool FakeMultiplexer::ServeDevice(SOCKET s) {
    for (;;) {
        unsigned char head[4];
        if (!ReadAll(s, head, sizeof head, m_stop))
            return false;
        const uint32_t size = (uint32_t(head[0]) << 24) | (head[1] << 16) | (head[2] << 8) | head[3];
        if (size == 0 || size > (1 << 20))
            return false;
        std::string body(size, '\0');
        if (!ReadAll(s, body.data(), body.size(), m_stop))
            return false;
        backend::Owned<CFTypeRef> request = backend::ParsePlist(body.data(), body.size());
        const std::string name = backend::TextOf(static_cast<CFDictionaryRef>(request.get()), "Request");
        backend::Dictionary reply;
        reply.Set("Request", name);
        if (name == "QueryType") {
            reply.Set("Type", "com.apple.mobile.lockdown");
            SendBytes(s, Framed(backend::XmlOf(reply.get())));
            continue;
        }
        switch (m_fault) {
        case Fault::DeviceSilent:
            WaitForClose(s, m_stop);
            return false;
        case Fault::DeviceOversized:
            SendBytes(s, "\xff\xff\xff\xf0<plist>");
            WaitForClose(s, m_stop);
            return false;
        case Fault::DeviceMalformed:
            SendBytes(s, Framed(std::string("bplist00\x01\x02\x03 noise \xff\xfe", 22)));
            WaitForClose(s, m_stop);
            return false;
        case Fault::DeviceNoTls:
            reply.Set("SessionID", "S").SetValue("EnableSessionSSL", kCFBooleanTrue);
            SendBytes(s, Framed(backend::XmlOf(reply.get())));
            SendBytes(s, std::string("\x15\x03\x01\x00\x02\x02\x28", 7)); // a fatal alert
            return false;
        case Fault::DeviceRefuses:
            reply.Set("Error", "InvalidHostID");
            SendBytes(s, Framed(backend::XmlOf(reply.get())));
            continue;
        default:
            return false;
        }
    }
}

} // namespace backendtest
