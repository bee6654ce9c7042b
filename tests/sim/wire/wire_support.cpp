#include "tests/sim/wire/wire_support.h"

#include "platform/file.h"
#include "sim/farm/farm.h"
#include "sim/wire/afc_protocol.h"

#include <ws2tcpip.h>

#include <cstring>

namespace wiretest {

namespace {

bool ReadAll(SOCKET socket, void* buffer, size_t size) {
    char* out = static_cast<char*>(buffer);
    while (size > 0) {
        int chunk = size > (1u << 30) ? (1 << 30) : static_cast<int>(size);
        int got = ::recv(socket, out, chunk, 0);
        if (got <= 0)
            return false;
        out += got;
        size -= static_cast<size_t>(got);
    }
    return true;
}

bool SendAll(SOCKET socket, const void* data, size_t size) {
    const char* in = static_cast<const char*>(data);
    while (size > 0) {
        int chunk = size > (1u << 30) ? (1 << 30) : static_cast<int>(size);
        int sent = ::send(socket, in, chunk, 0);
        if (sent <= 0)
            return false;
        in += sent;
        size -= static_cast<size_t>(sent);
    }
    return true;
}

void NoDelay(SOCKET socket) {
    BOOL on = TRUE;
    ::setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
}

} // namespace

bool SocketStream::ReadExact(void* buffer, size_t size) { return ReadAll(m_socket, buffer, size); }
bool SocketStream::WriteAll(const void* data, size_t size) { return SendAll(m_socket, data, size); }

ScratchFarm::ScratchFarm() {
    wchar_t temp[MAX_PATH];
    ::GetTempPathW(MAX_PATH, temp);
    static long serial = 0;
    m_folder = std::wstring(temp) + L"wire-farm-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
               std::to_wstring(::InterlockedIncrement(&serial));
    simfarm::Farm farm(m_folder);
    std::string udid;
    if (farm.Prepare(&m_error) && farm.Create("iphone4s-jailbroken", "", &udid, &m_error) &&
        farm.Attach(udid, &m_error))
        m_udid = udid;
    m_folder = farm.folder();
}

ScratchFarm::~ScratchFarm() { RemoveLocalTree(m_folder); }

bool SocketPair(SOCKET* server, SOCKET* client) {
    static bool started = [] {
        WSADATA data;
        return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    if (!started)
        return false;
    SOCKET listener = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (listener == INVALID_SOCKET)
        return false;
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof address;
    SOCKET a = INVALID_SOCKET, b = INVALID_SOCKET;
    if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) == 0 && ::listen(listener, 1) == 0) {
        b = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        if (b != INVALID_SOCKET && ::connect(b, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0)
            a = ::accept(listener, nullptr, nullptr);
    }
    ::closesocket(listener);
    if (a == INVALID_SOCKET) {
        if (b != INVALID_SOCKET)
            ::closesocket(b);
        return false;
    }
    NoDelay(a);
    NoDelay(b);
    *server = a;
    *client = b;
    return true;
}

void SetReadTimeout(SOCKET socket, DWORD milliseconds) {
    ::setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&milliseconds), sizeof milliseconds);
}

ServedConnection::ServedConnection(Service service) {
    if (!SocketPair(&m_server, &m_client))
        return;
    SetReadTimeout(m_client, 20000);
    m_finished = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    SOCKET server = m_server;
    HANDLE finished = m_finished;
    m_thread = std::thread([service, server, finished] {
        SocketStream stream(server);
        service(stream);
        ::shutdown(server, SD_BOTH); // the service's return closes the connection
        ::SetEvent(finished);
    });
}

ServedConnection::~ServedConnection() {
    Close();
    if (m_server != INVALID_SOCKET)
        ::closesocket(m_server);
    if (m_finished)
        ::CloseHandle(m_finished);
}

bool ServedConnection::WaitFinished(DWORD milliseconds) {
    return m_finished && ::WaitForSingleObject(m_finished, milliseconds) == WAIT_OBJECT_0;
}

void ServedConnection::Close() {
    if (m_client != INVALID_SOCKET) {
        ::shutdown(m_client, SD_BOTH);
        ::closesocket(m_client);
        m_client = INVALID_SOCKET;
    }
    if (m_thread.joinable())
        m_thread.join();
}

int64_t AfcReply::status() const {
    if (!received || operation != simwire::afc::kStatus || parameters.size() < 8)
        return -1;
    return static_cast<int64_t>(number64());
}

uint64_t AfcReply::number64() const {
    if (parameters.size() < 8)
        return 0;
    return simwire::GetLittle64(reinterpret_cast<const unsigned char*>(parameters.data()));
}

std::string AfcClient::U64(uint64_t value) {
    unsigned char bytes[8];
    simwire::PutLittle64(bytes, value);
    return std::string(reinterpret_cast<char*>(bytes), 8);
}

bool AfcClient::Send(uint64_t operation, const std::string& parameters, const char* payload, size_t payloadSize) {
    simwire::AfcHeader h;
    h.thisLength = simwire::kAfcHeaderSize + parameters.size();
    h.entireLength = h.thisLength + payloadSize;
    h.number = m_number++;
    h.operation = operation;
    m_packet.assign(simwire::kAfcHeaderSize, '\0');
    simwire::EncodeAfcHeader(h, reinterpret_cast<unsigned char*>(m_packet.data()));
    m_packet += parameters;
    if (payloadSize < 65536) {
        m_packet.append(payload, payloadSize);
        return SendAll(m_socket, m_packet.data(), m_packet.size());
    }
    // A large payload goes out from where it is, behind the header.
    return SendAll(m_socket, m_packet.data(), m_packet.size()) && SendAll(m_socket, payload, payloadSize);
}

AfcReply AfcClient::Receive() {
    AfcReply reply;
    unsigned char head[simwire::kAfcHeaderSize];
    simwire::AfcHeader h;
    if (!ReadAll(m_socket, head, sizeof head) || !simwire::DecodeAfcHeader(head, &h) ||
        h.entireLength > simwire::kMostAfcPacket + simwire::kMostAfcRead)
        return reply;
    const size_t parameters = static_cast<size_t>(h.thisLength - simwire::kAfcHeaderSize);
    if (parameters > 0) {
        reply.parameters.resize(parameters);
        if (!ReadAll(m_socket, reply.parameters.data(), parameters))
            return reply;
    }
    reply.payload.resize(static_cast<size_t>(h.entireLength - h.thisLength));
    if (!ReadAll(m_socket, reply.payload.data(), reply.payload.size()))
        return reply;
    reply.received = true;
    reply.operation = h.operation;
    reply.number = h.number;
    return reply;
}

AfcReply AfcClient::Call(uint64_t operation, const std::string& parameters, const std::string& payload) {
    if (!Send(operation, parameters, payload))
        return AfcReply();
    return Receive();
}

int64_t AfcClient::StatusOf(uint64_t operation, const std::string& parameters) {
    return Call(operation, parameters).status();
}

int64_t AfcClient::Open(const std::string& path, uint64_t mode, uint64_t* handle) {
    AfcReply reply = Call(simwire::afc::kFileOpen, U64(mode) + Z(path));
    if (reply.received && reply.operation == simwire::afc::kFileOpenResult) {
        *handle = reply.number64();
        return 0;
    }
    return reply.status();
}

int64_t AfcClient::Read(uint64_t handle, uint64_t length, std::string* data) {
    AfcReply reply = Call(simwire::afc::kFileRead, U64(handle) + U64(length));
    if (reply.received && reply.operation == simwire::afc::kData) {
        *data = std::move(reply.payload);
        return 0;
    }
    return reply.status();
}

int64_t AfcClient::Write(uint64_t handle, const char* data, size_t size) {
    if (!Send(simwire::afc::kFileWrite, U64(handle), data, size))
        return -1;
    return Receive().status();
}

int64_t AfcClient::Close(uint64_t handle) { return StatusOf(simwire::afc::kFileClose, U64(handle)); }

int64_t AfcClient::Texts(uint64_t operation, const std::string& path, std::vector<std::string>* texts) {
    AfcReply reply = Call(operation, Z(path));
    if (!reply.received || reply.operation != simwire::afc::kData)
        return reply.status();
    texts->clear();
    size_t start = 0;
    while (start < reply.payload.size()) {
        size_t end = reply.payload.find('\0', start);
        if (end == std::string::npos)
            end = reply.payload.size();
        texts->push_back(reply.payload.substr(start, end - start));
        start = end + 1;
    }
    return 0;
}

bool SendPlist(SOCKET socket, const simfarm::Value& value) {
    std::string xml;
    if (!simfarm::WriteXmlPlist(value, &xml))
        return false;
    uint32_t size = static_cast<uint32_t>(xml.size());
    unsigned char head[4] = {static_cast<unsigned char>(size >> 24), static_cast<unsigned char>(size >> 16),
                             static_cast<unsigned char>(size >> 8), static_cast<unsigned char>(size)};
    return SendAll(socket, head, 4) && SendAll(socket, xml.data(), xml.size());
}

bool ReceivePlist(SOCKET socket, simfarm::Value* value) {
    unsigned char head[4];
    if (!ReadAll(socket, head, 4))
        return false;
    uint32_t size = (uint32_t(head[0]) << 24) | (uint32_t(head[1]) << 16) | (uint32_t(head[2]) << 8) | head[3];
    if (size == 0 || size > simwire::kMostPlistMessage)
        return false;
    std::string body(size, '\0');
    return ReadAll(socket, body.data(), size) && simfarm::ReadXmlPlist(body, value);
}

} // namespace wiretest
