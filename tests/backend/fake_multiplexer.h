// A scripted multiplexer on a loopback port of the test's own, for the
// answers a real one never gives: silence, oversized lengths, malformed
// lists, and after a Connect, a device that misbehaves the same ways or
// breaks off TLS. USBMUXD_SOCKET_ADDRESS points the backend at it while it
// lives.
#pragma once

#include <winsock2.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace backendtest {

// A socket listening on a free loopback port (Windows Sockets started).
SOCKET ListenOnLoopback(unsigned short* port);

enum class Fault {
    MuxSilent,       // accepts and never answers
    MuxOversized,    // a header announcing 0x7FFFFFFF bytes
    MuxMalformed,    // a body that is no property list
    MuxRefused,      // Connect answered with result 3
    MuxOneAnswer,    // answers one question a connection, then closes it
    DeviceSilent,    // lockdown connected, never answers
    DeviceOversized, // lockdown answers with a 0xFFFFFFF0-byte length
    DeviceMalformed, // lockdown answers with noise
    DeviceNoTls,     // lockdown starts a session with TLS, then closes
    DeviceRefuses,   // lockdown answers every request with an Error
};

class FakeMultiplexer {
  public:
    // `record`: the pair record (XML) ReadPairRecord hands out.
    FakeMultiplexer(Fault fault, std::string record);
    ~FakeMultiplexer();
    FakeMultiplexer(const FakeMultiplexer&) = delete;
    FakeMultiplexer& operator=(const FakeMultiplexer&) = delete;

    std::wstring address() const;
    int connections() const { return m_connections; }

  private:
    void Accept();
    void Serve(SOCKET s);
    bool ServeDevice(SOCKET s);

    Fault m_fault;
    std::string m_record;
    SOCKET m_listener = INVALID_SOCKET;
    unsigned short m_port = 0;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_connections{0};
    std::thread m_acceptor;
    std::vector<std::thread> m_clients; // the acceptor's
};

} // namespace backendtest
