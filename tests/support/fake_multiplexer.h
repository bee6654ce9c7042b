// A device multiplexer of a test's own on a loopback port (127.0.0.1, a
// port of the system's choosing). Each connection it accepts gets its
// request read and answered as `reply` says; a silent one is held open
// until the client closes it or the server goes.
#pragma once

#include <atomic>
#include <string>
#include <thread>

#include <winsock2.h>

namespace testutil {

class FakeMultiplexer {
  public:
    enum class Reply {
        DeviceList,  // a device list of `devices` entries, with the request's tag
        Silent,      // nothing
        WrongTag,    // a device list with another tag
        CloseAtOnce, // the connection closed as soon as the request is read
    };

    explicit FakeMultiplexer(Reply reply, int devices = 0);
    ~FakeMultiplexer();
    FakeMultiplexer(const FakeMultiplexer&) = delete;
    FakeMultiplexer& operator=(const FakeMultiplexer&) = delete;

    // "127.0.0.1:PORT"; the port is 0 when the listener could not be made.
    std::wstring address() const { return L"127.0.0.1:" + std::to_wstring(m_port); }
    // The connections accepted so far.
    int connections() const { return m_connections; }

    // One entry of a device list, an attached USB device with this id.
    static std::string DeviceEntry(int id);

  private:
    void Serve();
    void Answer(SOCKET client);

    Reply m_reply;
    int m_devices;
    SOCKET m_listener = INVALID_SOCKET;
    unsigned short m_port = 0;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_connections{0};
    std::thread m_thread;
};

// An address where nothing listens: a loopback port just given back.
std::wstring ClosedLoopbackAddress();

} // namespace testutil
