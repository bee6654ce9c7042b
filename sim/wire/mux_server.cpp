#include "sim/wire/mux_server.h"

#include "sim/wire/pairing.h"
#include "sim/wire/socket_stream.h"

#include <ws2tcpip.h>

#include <cstdlib>
#include <new>

namespace simwire {

using simfarm::Fault;
using simfarm::Value;
namespace key = simfarm::key;

namespace {

const unsigned kWatchMilliseconds = 50;
const unsigned kListenPollMilliseconds = 250;
const DWORD kServicePortLife = 30000;
const size_t kMostPendingServices = 256;
const uint16_t kFirstServicePort = 49152;
// RSA keys kept ready: a device's first contact or pair record needs one,
// and making one takes seconds, longer than clients wait for an answer.
const size_t kKeysAhead = 4;
const size_t kKeysReady = 2; // before the first client
const unsigned kServiceIdleMilliseconds = 30 * 60 * 1000;

void StartWinsock() {
    static std::once_flag once;
    std::call_once(once, [] {
        WSADATA data;
        ::WSAStartup(MAKEWORD(2, 2), &data);
    });
}

uint32_t Le32(const unsigned char* at) {
    return uint32_t(at[0]) | (uint32_t(at[1]) << 8) | (uint32_t(at[2]) << 16) | (uint32_t(at[3]) << 24);
}

void PutLe32(unsigned char* at, uint32_t value) {
    for (int i = 0; i < 4; ++i)
        at[i] = static_cast<unsigned char>(value >> (8 * i));
}

int ProductId(const std::string& productType) {
    if (productType.rfind("iPad", 0) == 0)
        return 0x12ab;
    if (productType.rfind("iPod", 0) == 0)
        return 0x12aa;
    return 0x12a0;
}

Value Properties(const AttachedDevice& device) {
    Value p = Value::Dict();
    p.Set("ConnectionSpeed", Value::Integer(480000000));
    p.Set("ConnectionType", Value::String("USB"));
    p.Set("DeviceID", Value::Integer(device.deviceId));
    p.Set("LocationID", Value::Integer(0x14100000 + device.deviceId));
    p.Set("ProductID", Value::Integer(ProductId(device.productType)));
    p.Set("SerialNumber", Value::String(device.udid));
    return p;
}

Value Message(const char* type) {
    Value m = Value::Dict();
    m.Set("MessageType", Value::String(type));
    return m;
}

Value EventMessage(const DeviceEvent& event) {
    switch (event.kind) {
    case DeviceEvent::Kind::Attached: {
        Value m = Message("Attached");
        m.Set("DeviceID", Value::Integer(event.device.deviceId));
        m.Set("Properties", Properties(event.device));
        return m;
    }
    case DeviceEvent::Kind::Detached: {
        Value m = Message("Detached");
        m.Set("DeviceID", Value::Integer(event.device.deviceId));
        return m;
    }
    case DeviceEvent::Kind::Paired:
        break;
    }
    Value m = Message("Paired");
    m.Set("DeviceID", Value::Integer(event.device.deviceId));
    return m;
}

} // namespace

bool ParseLoopbackAddress(const std::string& text, uint16_t* port, std::string* error) {
    size_t colon = text.rfind(':');
    std::string host = colon == std::string::npos ? text : text.substr(0, colon);
    std::string number = colon == std::string::npos ? std::string() : text.substr(colon + 1);
    if (host != "127.0.0.1" && host != "localhost") {
        *error = "the server listens on loopback only (127.0.0.1:PORT), not " + text;
        return false;
    }
    unsigned long value = 0;
    if (!number.empty()) {
        char* end = nullptr;
        value = std::strtoul(number.c_str(), &end, 10);
        if (*end || number[0] < '0' || number[0] > '9' || value > 65535) {
            *error = "not a port: " + number;
            return false;
        }
    }
    *port = static_cast<uint16_t>(value);
    return true;
}

// One client connection: multiplexer messages until Listen or Connect
// turns it into something else.
class MuxConnection {
  public:
    MuxConnection(MuxServer& server, SocketStream& stream, SOCKET socket, uint64_t token)
        : m_server(server), m_tracker(server.m_tracker), m_stream(stream), m_socket(socket), m_token(token) {}

    void Run() {
        for (;;) {
            unsigned char head[kMuxHeaderSize];
            if (!m_stream.ReadExact(head, sizeof head))
                return;
            uint32_t length = Le32(head), version = Le32(head + 4), message = Le32(head + 8), tag = Le32(head + 12);
            if (length < kMuxHeaderSize || length > kMostMuxMessage)
                return; // the framing cannot be trusted any more
            std::string body(length - kMuxHeaderSize, '\0');
            if (!body.empty() && !m_stream.ReadExact(body.data(), body.size()))
                return;
            if (version != 1) {
                SendResult(tag, kMuxBadVersion); // the old binary protocol is not spoken
                return;
            }
            Value request;
            if (message != 8 || !simfarm::ReadPlist(body, &request) || !request.is(Value::Kind::Dict)) {
                if (!SendResult(tag, kMuxBadCommand))
                    return;
                continue;
            }
            if (!Handle(tag, request))
                return;
        }
    }

  private:
    // False when the connection is done with (turned into a pipe or a
    // listener that ended, or failed).
    bool Handle(uint32_t tag, const Value& request) {
        std::string type = request.GetString("MessageType");
        if (type == "ListDevices")
            return ListDevices(tag);
        if (type == "Listen") {
            Listen(tag);
            return false;
        }
        if (type == "Connect")
            return Connect(tag, request);
        if (type == "ReadBUID") {
            Value reply = Value::Dict();
            reply.Set("BUID", Value::String(SystemBuid(m_tracker.farm().folder())));
            return Send(tag, reply);
        }
        if (type == "ReadPairRecord")
            return ReadPairRecord(tag, request);
        if (type == "SavePairRecord")
            return SavePairRecord(tag, request);
        if (type == "DeletePairRecord")
            return DeletePairRecord(tag, request);
        return SendResult(tag, kMuxBadCommand);
    }

    bool Send(uint32_t tag, const Value& body) {
        std::string xml;
        if (!simfarm::WriteXmlPlist(body, &xml))
            return false;
        unsigned char head[kMuxHeaderSize];
        PutLe32(head, static_cast<uint32_t>(kMuxHeaderSize + xml.size()));
        PutLe32(head + 4, 1);
        PutLe32(head + 8, 8);
        PutLe32(head + 12, tag);
        std::string message(reinterpret_cast<const char*>(head), sizeof head);
        message += xml;
        return m_stream.WriteAll(message.data(), message.size());
    }

    bool SendResult(uint32_t tag, int number) {
        Value reply = Message("Result");
        reply.Set("Number", Value::Integer(number));
        return Send(tag, reply);
    }

    bool ListDevices(uint32_t tag) {
        Value list = Value::Array();
        for (const AttachedDevice& device : m_tracker.Attached()) {
            Value entry = Message("Attached");
            entry.Set("DeviceID", Value::Integer(device.deviceId));
            entry.Set("Properties", Properties(device));
            list.Append(std::move(entry));
        }
        Value reply = Value::Dict();
        reply.Set("DeviceList", std::move(list));
        return Send(tag, reply);
    }

    // Whether a listening client has closed its end (anything it sends is dropped).
    bool PeerGone() {
        for (;;) {
            fd_set readable;
            FD_ZERO(&readable);
            FD_SET(m_socket, &readable);
            timeval none = {0, 0};
            if (::select(0, &readable, nullptr, nullptr, &none) <= 0)
                return false;
            char scratch[256];
            if (::recv(m_socket, scratch, sizeof scratch, 0) <= 0)
                return true;
        }
    }

    void Listen(uint32_t tag) {
        if (!SendResult(tag, kMuxOk))
            return;
        uint64_t serial = 0;
        for (const AttachedDevice& device : m_tracker.Snapshot(&serial)) {
            DeviceEvent event;
            event.device = device;
            if (!Send(0, EventMessage(event)))
                return;
        }
        std::vector<DeviceEvent> events;
        while (m_tracker.WaitForEvents(serial, kListenPollMilliseconds, &events)) {
            for (const DeviceEvent& event : events) {
                serial = event.serial;
                if (!Send(0, EventMessage(event)))
                    return;
            }
            if (PeerGone())
                return;
        }
    }

    bool Connect(uint32_t tag, const Value& request) {
        int64_t deviceId = request.GetInteger("DeviceID", -1);
        int64_t raw = request.GetInteger("PortNumber", -1);
        AttachedDevice device;
        if (deviceId <= 0 || deviceId > UINT32_MAX || !m_tracker.Find(static_cast<uint32_t>(deviceId), &device))
            return SendResult(tag, kMuxBadDevice);
        if (raw < 0 || raw > 0xFFFF)
            return SendResult(tag, kMuxConnectionRefused);
        // The port travels in network byte order inside the integer.
        uint16_t port = static_cast<uint16_t>(((raw & 0xFF) << 8) | ((raw >> 8) & 0xFF));
        Value description;
        if (!m_tracker.farm().Load(device.udid, &description) || simfarm::FaultAmount(description, Fault::Connect))
            return SendResult(tag, kMuxConnectionRefused);
        MuxServer::PendingService service;
        if (port != kLockdownPort && !m_server.TakeService(port, device.deviceId, &service))
            return SendResult(tag, kMuxConnectionRefused);
        if (!SendResult(tag, kMuxOk))
            return false;
        // From here on the connection is a pipe to the device's port.
        m_tracker.SetDeviceOf(m_token, device.deviceId);
        if (port == kLockdownPort) {
            // The link faults are the file service's, as the farm defines
            // them (latency per file-service request, unplug after N file
            // bytes): the services apply them, lockdown takes neither.
            LockdownContext context;
            context.tracker = &m_tracker;
            context.ports = &m_server;
            context.deviceId = device.deviceId;
            context.udid = device.udid;
            ServeLockdown(m_stream, context);
            return false;
        }
        ServeService(service);
        return false;
    }

    void ServeService(const MuxServer::PendingService& service) {
        // A service connection may rest between a client's requests (a
        // file connection kept open); it is dropped only after a long silence.
        m_stream.SetIdle(kServiceIdleMilliseconds);
        if (service.tls) {
            std::string cert, keyPem;
            if (!DeviceCredentials(m_tracker.farm(), service.udid, &cert, &keyPem, nullptr))
                return;
            m_stream.SetCredentials(cert, keyPem);
            if (!m_stream.StartServerTls())
                return;
        }
        ServiceContext context;
        context.farmFolder = m_tracker.farm().folder();
        context.udid = service.udid;
        if (service.service == "com.apple.afc" || service.service == "com.apple.afc2")
            ServeFileService(m_stream, context, service.service == "com.apple.afc2");
        else if (service.service == "com.apple.mobile.installation_proxy")
            ServeInstallationProxy(m_stream, context);
        else if (service.service == "com.apple.misagent")
            ServeMisagent(m_stream, context);
    }

    // The device named by a pair-record request, whether plugged in or not.
    bool RecordDevice(const Value& request, Value* description, std::string* udid) {
        *udid = request.GetString("PairRecordID");
        return m_tracker.farm().Load(*udid, description);
    }

    bool ReadPairRecord(uint32_t tag, const Value& request) {
        Value d;
        std::string udid;
        if (!RecordDevice(request, &d, &udid) || !EnsurePairing(m_tracker.farm(), udid, nullptr) ||
            !m_tracker.farm().Load(udid, &d))
            return SendResult(tag, kMuxBadDevice);
        const Value* record = d.Find(key::kPairRecord);
        std::string bytes;
        if (record && record->is(Value::Kind::Data))
            bytes = record->text(); // as the host saved it
        else if (!record || !simfarm::WriteXmlPlist(*record, &bytes))
            return SendResult(tag, kMuxBadDevice);
        Value reply = Value::Dict();
        reply.Set("PairRecordData", Value::Data(bytes));
        return Send(tag, reply);
    }

    bool SavePairRecord(uint32_t tag, const Value& request) {
        Value d;
        std::string udid;
        const Value* data = request.Find("PairRecordData");
        if (!RecordDevice(request, &d, &udid) || !data || !data->is(Value::Kind::Data) || data->text().empty())
            return SendResult(tag, kMuxBadCommand);
        // A record (XML or binary) is kept as a dictionary; anything else as the bytes it came in.
        Value record;
        if (!simfarm::ReadPlist(data->text(), &record) || !record.is(Value::Kind::Dict))
            record = Value::Data(data->text());
        bool ok = m_tracker.farm().Update(
            udid,
            [&](Value& description, std::string*) {
                description.Set(key::kPairRecord, record);
                return true;
            },
            nullptr);
        if (!ok)
            return SendResult(tag, kMuxBadDevice);
        m_tracker.PostPaired(udid);
        return SendResult(tag, kMuxOk);
    }

    bool DeletePairRecord(uint32_t tag, const Value& request) {
        Value d;
        std::string udid;
        if (!RecordDevice(request, &d, &udid) || !d.Find(key::kPairRecord))
            return SendResult(tag, kMuxBadDevice);
        bool ok = m_tracker.farm().Update(
            udid,
            [&](Value& description, std::string*) {
                description.Remove(key::kPairRecord);
                return true;
            },
            nullptr);
        return SendResult(tag, ok ? kMuxOk : kMuxBadDevice);
    }

    MuxServer& m_server;
    DeviceTracker& m_tracker;
    SocketStream& m_stream;
    SOCKET m_socket;
    uint64_t m_token;
};

MuxServer::MuxServer(const ServerOptions& options) : m_options(options), m_tracker(options.farmFolder) {}

MuxServer::~MuxServer() { Stop(); }

bool MuxServer::Start(std::string* error) {
    if (m_started) {
        *error = "the server runs already";
        return false;
    }
    StartWinsock();
    m_listener = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (m_listener == INVALID_SOCKET) {
        *error = "cannot make a socket";
        return false;
    }
    BOOL exclusive = TRUE;
    ::setsockopt(m_listener, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&exclusive),
                 sizeof exclusive);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(m_options.port);
    int length = sizeof address;
    if (::bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(m_listener, SOMAXCONN) != 0 ||
        ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        *error = "cannot listen on 127.0.0.1:" + std::to_string(m_options.port) + " (Winsock error " +
                 std::to_string(::WSAGetLastError()) + ")";
        ::closesocket(m_listener);
        m_listener = INVALID_SOCKET;
        return false;
    }
    m_port = ntohs(address.sin_port);
    if (!PrepareKeys(m_tracker.farm(), kKeysReady, error)) {
        ::closesocket(m_listener);
        m_listener = INVALID_SOCKET;
        return false;
    }
    m_tracker.Refresh(true);
    StartKeyMaker(kKeysAhead);
    m_started = true;
    m_watchThread = std::thread([this] { WatchLoop(); });
    m_acceptThread = std::thread([this] { AcceptLoop(); });
    return true;
}

void MuxServer::Stop() {
    if (!m_started)
        return;
    m_started = false;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_stopping = true;
        m_threadsChanged.notify_all();
    }
    ::closesocket(m_listener);
    m_listener = INVALID_SOCKET;
    m_tracker.Stop();
    if (m_acceptThread.joinable())
        m_acceptThread.join();
    if (m_watchThread.joinable())
        m_watchThread.join();
    {
        std::unique_lock<std::mutex> guard(m_lock);
        m_threadsChanged.wait(guard, [&] { return m_clientThreads == 0; });
    }
    StopKeyMaker();
}

void MuxServer::AcceptLoop() {
    while (!m_stopping) {
        SOCKET client = ::accept(m_listener, nullptr, nullptr);
        if (client == INVALID_SOCKET) {
            if (m_stopping)
                return;
            ::Sleep(10);
            continue;
        }
        std::unique_lock<std::mutex> guard(m_lock);
        m_threadsChanged.wait(guard, [&] { return m_stopping || m_clientThreads < m_options.mostConnections; });
        if (m_stopping) {
            ::closesocket(client);
            return;
        }
        ++m_clientThreads;
        guard.unlock();
        // A Win32 thread: a std::thread detached at once can crash as it
        // starts under MinGW's thread library.
        auto* start = new (std::nothrow) ClientStart{this, client};
        HANDLE thread = start ? ::CreateThread(nullptr, 0, &MuxServer::ClientThread, start, 0, nullptr) : nullptr;
        if (thread) {
            ::CloseHandle(thread);
            continue;
        }
        delete start;
        ::closesocket(client);
        std::lock_guard<std::mutex> done(m_lock);
        --m_clientThreads;
        m_threadsChanged.notify_all();
    }
}

DWORD WINAPI MuxServer::ClientThread(void* parameter) {
    std::unique_ptr<ClientStart> start(static_cast<ClientStart*>(parameter));
    MuxServer* server = start->server;
    try {
        server->ServeClient(start->socket);
    } catch (...) {
    }
    ::closesocket(start->socket);
    std::lock_guard<std::mutex> done(server->m_lock);
    --server->m_clientThreads;
    server->m_threadsChanged.notify_all();
    return 0;
}

void MuxServer::WatchLoop() {
    do {
        try {
            m_tracker.Refresh();
        } catch (...) {
        }
    } while (m_tracker.Pause(kWatchMilliseconds));
}

void MuxServer::ServeClient(SOCKET socket) {
    uint64_t token = m_tracker.Register(socket, 0);
    {
        SocketStream stream(socket, m_options.idleMilliseconds);
        MuxConnection(*this, stream, socket, token).Run();
    }
    m_tracker.Unregister(token);
}

uint16_t MuxServer::Open(uint32_t deviceId, const std::string& udid, const std::string& service, bool tls) {
    std::lock_guard<std::mutex> guard(m_lock);
    DWORD now = ::GetTickCount();
    for (auto it = m_services.begin(); it != m_services.end();)
        it = now - it->second.issued >= kServicePortLife ? m_services.erase(it) : std::next(it);
    if (m_services.size() >= kMostPendingServices)
        return 0;
    for (;;) {
        if (m_nextServicePort < kFirstServicePort || m_nextServicePort == 0xFFFF)
            m_nextServicePort = kFirstServicePort;
        uint16_t port = m_nextServicePort++;
        if (port == kLockdownPort || m_services.count(port))
            continue;
        PendingService& p = m_services[port];
        p.deviceId = deviceId;
        p.udid = udid;
        p.service = service;
        p.tls = tls;
        p.issued = now;
        return port;
    }
}

bool MuxServer::TakeService(uint16_t port, uint32_t deviceId, PendingService* out) {
    std::lock_guard<std::mutex> guard(m_lock);
    auto it = m_services.find(port);
    if (it == m_services.end() || it->second.deviceId != deviceId ||
        ::GetTickCount() - it->second.issued >= kServicePortLife)
        return false;
    *out = it->second;
    m_services.erase(it);
    return true;
}

} // namespace simwire
