// The device multiplexer of the farm on loopback TCP: ListDevices, Listen,
// Connect (to lockdown and to the ports its StartService hands out),
// ReadBUID and the pair records. One thread per client connection, up to
// a bound; a watcher thread follows the farm.
#pragma once

#include "sim/wire/devices.h"
#include "sim/wire/lockdown.h"

#include <winsock2.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace simwire {

// The multiplexer's message header: four little-endian words.
constexpr size_t kMuxHeaderSize = 16;
// The largest multiplexer message taken from a client.
constexpr uint32_t kMostMuxMessage = 1024 * 1024;
constexpr uint16_t kLockdownPort = 62078;

// Result numbers of the multiplexer.
enum MuxResult : int {
    kMuxOk = 0,
    kMuxBadCommand = 1,
    kMuxBadDevice = 2,
    kMuxConnectionRefused = 3,
    kMuxBadVersion = 6
};

struct ServerOptions {
    std::wstring farmFolder;
    uint16_t port = 0;                 // 0: a free port
    unsigned idleMilliseconds = 60000; // a client that says nothing this long is dropped
    unsigned mostConnections = 64;     // more wait for a place
};

// "127.0.0.1:PORT" (or "localhost:PORT"; PORT 0 or absent: a free one).
// Anything that is not the loopback address is refused.
bool ParseLoopbackAddress(const std::string& text, uint16_t* port, std::string* error);

class MuxServer : private ServicePorts {
  public:
    explicit MuxServer(const ServerOptions& options);
    ~MuxServer() override;
    MuxServer(const MuxServer&) = delete;
    MuxServer& operator=(const MuxServer&) = delete;

    bool Start(std::string* error);
    uint16_t port() const { return m_port; }
    // Closes every connection and returns when every thread has ended.
    void Stop();

  private:
    uint16_t Open(uint32_t deviceId, const std::string& udid, const std::string& service, bool tls) override;

    struct ClientStart {
        MuxServer* server;
        SOCKET socket;
    };
    static DWORD WINAPI ClientThread(void* parameter);
    void AcceptLoop();
    void WatchLoop();
    void ServeClient(SOCKET socket);

    struct PendingService {
        uint32_t deviceId = 0;
        std::string udid, service;
        bool tls = false;
        DWORD issued = 0; // GetTickCount when handed out
    };
    bool TakeService(uint16_t port, uint32_t deviceId, PendingService* out);
    friend class MuxConnection;

    ServerOptions m_options;
    DeviceTracker m_tracker;
    SOCKET m_listener = INVALID_SOCKET;
    uint16_t m_port = 0;
    std::thread m_acceptThread, m_watchThread;
    std::atomic<bool> m_stopping{false};
    bool m_started = false;

    std::mutex m_lock;
    std::condition_variable m_threadsChanged;
    unsigned m_clientThreads = 0;
    std::map<uint16_t, PendingService> m_services;
    uint16_t m_nextServicePort = 0;
};

} // namespace simwire
