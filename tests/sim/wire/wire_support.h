// Test and benchmark helpers of the device services on the wire: a service
// run on one end of a loopback socket pair in its own thread, and small
// clients of the file service and the property-list services.
#pragma once

#include "sim/farm/plist.h"
#include "sim/wire/stream.h"

#include <winsock2.h>

#include <cstdint>
#include <functional>
#include <string>
#include <thread>

namespace wiretest {

// A Stream over a connected socket (no TLS).
class SocketStream : public simwire::Stream {
  public:
    explicit SocketStream(SOCKET socket) : m_socket(socket) {}
    bool ReadExact(void* buffer, size_t size) override;
    bool WriteAll(const void* data, size_t size) override;
    bool StartServerTls() override { return false; }
    bool tls() const override { return false; }

  private:
    SOCKET m_socket;
};

// A farm of its own in a fresh temporary folder, with one attached
// jailbroken handset; removed with everything in it when it goes.
class ScratchFarm {
  public:
    ScratchFarm();
    ~ScratchFarm();
    ScratchFarm(const ScratchFarm&) = delete;
    ScratchFarm& operator=(const ScratchFarm&) = delete;

    bool ok() const { return !m_udid.empty(); }
    const std::string& error() const { return m_error; }
    const std::wstring& folder() const { return m_folder; }
    const std::string& udid() const { return m_udid; }
    simwire::ServiceContext context() const { return simwire::ServiceContext{m_folder, m_udid}; }

  private:
    std::wstring m_folder;
    std::string m_udid, m_error;
};

// Two connected TCP sockets on loopback; false when Winsock fails.
bool SocketPair(SOCKET* server, SOCKET* client);
// Gives up reads on `socket` after `milliseconds`, so a silent peer fails a test rather than hangs it.
void SetReadTimeout(SOCKET socket, DWORD milliseconds);

// A service serving the server end of a fresh socket pair in its own
// thread until the client end closes (or the service returns).
class ServedConnection {
  public:
    using Service = std::function<void(simwire::Stream&)>;
    explicit ServedConnection(Service service);
    ~ServedConnection();
    ServedConnection(const ServedConnection&) = delete;
    ServedConnection& operator=(const ServedConnection&) = delete;

    bool ok() const { return m_client != INVALID_SOCKET; }
    SOCKET client() const { return m_client; }
    // Whether the service has returned, waiting up to `milliseconds`.
    bool WaitFinished(DWORD milliseconds);
    // Closes the client end and waits for the service to return.
    void Close();

  private:
    SOCKET m_server = INVALID_SOCKET;
    SOCKET m_client = INVALID_SOCKET;
    HANDLE m_finished = nullptr;
    std::thread m_thread;
};

// One reply of the file service.
struct AfcReply {
    bool received = false; // false: the connection closed or timed out
    uint64_t operation = 0;
    uint64_t number = 0;
    std::string parameters;
    std::string payload;

    // The status code of a status reply; -1 for any other reply.
    int64_t status() const;
    uint64_t number64() const; // the first 8 bytes of the parameters
};

class AfcClient {
  public:
    explicit AfcClient(SOCKET socket) : m_socket(socket) {}

    bool Send(uint64_t operation, const std::string& parameters, const std::string& payload = std::string()) {
        return Send(operation, parameters, payload.data(), payload.size());
    }
    bool Send(uint64_t operation, const std::string& parameters, const char* payload, size_t payloadSize);
    AfcReply Receive();
    AfcReply Call(uint64_t operation, const std::string& parameters, const std::string& payload = std::string());

    // The status of an operation that answers with one (-1 otherwise).
    int64_t StatusOf(uint64_t operation, const std::string& parameters);
    // Opens a file; the status, and the handle on success.
    int64_t Open(const std::string& path, uint64_t mode, uint64_t* handle);
    // Reads up to `length` bytes: the status (0 with data) and the data.
    int64_t Read(uint64_t handle, uint64_t length, std::string* data);
    int64_t Write(uint64_t handle, const std::string& data) { return Write(handle, data.data(), data.size()); }
    int64_t Write(uint64_t handle, const char* data, size_t size);
    int64_t Close(uint64_t handle);
    // NUL-separated texts of a data reply; the status on failure.
    int64_t Texts(uint64_t operation, const std::string& path, std::vector<std::string>* texts);

    // Helpers for building parameters.
    static std::string U64(uint64_t value);
    static std::string Z(const std::string& text) { return text + std::string(1, '\0'); }

  private:
    SOCKET m_socket;
    uint64_t m_number = 0;
    std::string m_packet; // kept between requests, so large ones cost no new allocation
};

// The property-list framing from the client's side.
bool SendPlist(SOCKET socket, const simfarm::Value& value);
bool ReceivePlist(SOCKET socket, simfarm::Value* value);

} // namespace wiretest
