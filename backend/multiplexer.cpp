#include "backend/multiplexer.h"

#include "backend/backend.h"

#include "platform/text.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace backend {

namespace {

constexpr uint32_t kHeaderSize = 16;
constexpr uint32_t kPlistVersion = 1;
constexpr uint32_t kPlistMessage = 8;
constexpr size_t kMaxNesting = 64;

void PutWord(std::string* out, uint32_t value) {
    for (int i = 0; i < 4; ++i)
        out->push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

uint32_t Word(const unsigned char* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// ---- XML property lists ---------------------------------------------------

// One tag of an XML text.
struct Tag {
    std::string name;
    bool closing = false;
    bool empty = false; // <name/>
};

// Reads the tag starting at `text[at]` == '<'. Declarations, comments and
// processing instructions give an empty name. False when the text ends
// inside it.
bool ReadTag(const std::string& text, size_t* at, Tag* tag) {
    size_t start = *at;
    const char* ends = ">";
    if (text.compare(start, 4, "<!--") == 0)
        ends = "-->";
    else if (text.compare(start, 2, "<?") == 0)
        ends = "?>";
    size_t end = text.find(ends, start + 1);
    if (end == std::string::npos)
        return false;
    *at = end + std::strlen(ends);
    *tag = Tag();
    if (text[start + 1] == '!' || text[start + 1] == '?')
        return true;
    std::string inside = text.substr(start + 1, end - start - 1);
    if (!inside.empty() && inside.front() == '/') {
        tag->closing = true;
        inside.erase(0, 1);
    }
    if (!inside.empty() && inside.back() == '/') {
        tag->empty = true;
        inside.pop_back();
    }
    size_t nameEnd = inside.find_first_of(" \t\r\n");
    tag->name = inside.substr(0, nameEnd);
    return !tag->name.empty();
}

} // namespace

std::string ListDevicesRequest(uint32_t tag) {
    static const char kBody[] =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" \"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
        "<plist version=\"1.0\">\n"
        "<dict>\n"
        "\t<key>ClientVersionString</key>\n"
        "\t<string>OrvexDevice</string>\n"
        "\t<key>MessageType</key>\n"
        "\t<string>ListDevices</string>\n"
        "\t<key>ProgName</key>\n"
        "\t<string>OrvexDevice</string>\n"
        "\t<key>kLibUSBMuxVersion</key>\n"
        "\t<integer>3</integer>\n"
        "</dict>\n"
        "</plist>\n";
    const uint32_t bodySize = sizeof kBody - 1;
    std::string message;
    PutWord(&message, kHeaderSize + bodySize);
    PutWord(&message, kPlistVersion);
    PutWord(&message, kPlistMessage);
    PutWord(&message, tag);
    message.append(kBody, bodySize);
    return message;
}

uint32_t ReplyLength(const unsigned char header[16], uint32_t tag) {
    const uint32_t length = Word(header);
    if (length < kHeaderSize || length > kMaxMultiplexerMessage || Word(header + 4) != kPlistVersion ||
        Word(header + 8) != kPlistMessage || Word(header + 12) != tag)
        return 0;
    return length;
}

int CountListedDevices(const std::string& body) {
    std::vector<std::string> open; // the elements open at this point
    size_t members = 0;            // depth of the top dictionary's members; 0 before it
    bool listNext = false;         // the next member is DeviceList's value
    size_t listMembers = 0;        // depth of DeviceList's entries while it is open
    int count = -1;
    size_t at = 0;
    while ((at = body.find('<', at)) != std::string::npos) {
        Tag tag;
        if (!ReadTag(body, &at, &tag))
            return -1;
        if (tag.name.empty())
            continue;
        if (tag.closing) {
            if (open.empty() || open.back() != tag.name)
                return -1;
            open.pop_back();
            if (listMembers && open.size() < listMembers)
                listMembers = 0;
            continue;
        }
        const size_t depth = open.size();
        if (members == 0) {
            if (tag.name == "dict" && (depth == 0 || (depth == 1 && open[0] == "plist")))
                members = depth + 1;
        } else if (depth == members && tag.name == "key") {
            const size_t close = tag.empty ? at : body.find("</key>", at);
            if (close == std::string::npos)
                return -1;
            listNext = body.compare(at, close - at, "DeviceList") == 0 && close - at == 10;
        } else if (depth == members && listNext) {
            listNext = false;
            if (tag.name != "array")
                return -1;
            count = 0;
            if (!tag.empty)
                listMembers = depth + 1;
        } else if (listMembers && depth == listMembers) {
            ++count;
        }
        if (!tag.empty) {
            if (open.size() >= kMaxNesting)
                return -1;
            open.push_back(tag.name);
        }
    }
    return open.empty() ? count : -1;
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

// Owns a socket and the Windows Sockets start that goes with it.
class Connection {
  public:
    Connection() { m_started = ::WSAStartup(MAKEWORD(2, 2), &m_data) == 0; }
    ~Connection() {
        if (m_socket != INVALID_SOCKET)
            ::closesocket(m_socket);
        if (m_started)
            ::WSACleanup();
    }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    bool started() const { return m_started; }
    SOCKET& socket() { return m_socket; }

  private:
    WSADATA m_data{};
    bool m_started = false;
    SOCKET m_socket = INVALID_SOCKET;
};

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

std::wstring SocketError(const wchar_t* what) {
    return what + std::wstring(L" (error ") + std::to_wstring(::WSAGetLastError()) + L")";
}

// Connects to one address; `problem` says why not.
bool ConnectTo(Connection& c, const addrinfo& address, DWORD deadline, std::wstring* problem) {
    if (c.socket() != INVALID_SOCKET) {
        ::closesocket(c.socket());
        c.socket() = INVALID_SOCKET;
    }
    SOCKET s = ::socket(address.ai_family, address.ai_socktype, address.ai_protocol);
    if (s == INVALID_SOCKET) {
        *problem = SocketError(L"no socket");
        return false;
    }
    c.socket() = s;
    u_long nonBlocking = 1;
    ::ioctlsocket(s, FIONBIO, &nonBlocking);
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

// Connects to the first of the host's addresses that takes the connection
// ("localhost" may name ::1 before 127.0.0.1).
bool Connect(Connection& c, const std::string& host, const std::string& port, DWORD deadline, std::wstring* problem) {
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
        if (ConnectTo(c, *address, deadline, problem))
            return true;
    }
    return false;
}

bool SendAll(SOCKET s, const std::string& bytes, DWORD deadline) {
    size_t sent = 0;
    while (sent < bytes.size()) {
        if (!WaitFor(s, true, deadline))
            return false;
        int n = ::send(s, bytes.data() + sent, static_cast<int>(bytes.size() - sent), 0);
        if (n <= 0 && ::WSAGetLastError() != WSAEWOULDBLOCK)
            return false;
        if (n > 0)
            sent += static_cast<size_t>(n);
    }
    return true;
}

// Reads exactly `size` bytes into `out`; false on time-out or a closed link.
bool ReceiveExactly(SOCKET s, size_t size, std::string* out, DWORD deadline) {
    out->clear();
    char buffer[4096];
    while (out->size() < size) {
        if (!WaitFor(s, false, deadline))
            return false;
        int want = static_cast<int>(std::min(sizeof buffer, size - out->size()));
        int n = ::recv(s, buffer, want, 0);
        if (n == 0)
            return false;
        if (n < 0) {
            if (::WSAGetLastError() == WSAEWOULDBLOCK)
                continue;
            return false;
        }
        out->append(buffer, static_cast<size_t>(n));
    }
    return true;
}

} // namespace

std::wstring MultiplexerAddress() {
    wchar_t value[512] = {};
    DWORD n = ::GetEnvironmentVariableW(kMultiplexerVariable, value, 512);
    if (n == 0 || n >= 512)
        return kDefaultMultiplexerAddress;
    return std::wstring(value, n);
}

MultiplexerAnswer AskMultiplexer(std::wstring address, unsigned timeoutMilliseconds) {
    MultiplexerAnswer answer;
    answer.address = address.empty() ? MultiplexerAddress() : address;
    std::string host, port;
    if (!SplitMultiplexerAddress(answer.address, &host, &port, &answer.problem))
        return answer;
    Connection c;
    if (!c.started()) {
        answer.problem = L"Windows Sockets did not start";
        return answer;
    }
    const DWORD deadline = ::GetTickCount() + timeoutMilliseconds;
    if (!Connect(c, host, port, deadline, &answer.problem))
        return answer;
    const uint32_t tag = 1;
    if (!SendAll(c.socket(), ListDevicesRequest(tag), deadline)) {
        answer.problem = L"the request could not be sent";
        return answer;
    }
    std::string header;
    if (!ReceiveExactly(c.socket(), kHeaderSize, &header, deadline)) {
        answer.problem = L"no answer within the time allowed";
        return answer;
    }
    const uint32_t length = ReplyLength(reinterpret_cast<const unsigned char*>(header.data()), tag);
    if (length == 0) {
        answer.problem = L"the answer is not a multiplexer reply";
        return answer;
    }
    std::string body;
    if (!ReceiveExactly(c.socket(), length - kHeaderSize, &body, deadline)) {
        answer.problem = L"the answer ended early";
        return answer;
    }
    const int devices = CountListedDevices(body);
    if (devices < 0) {
        answer.problem = L"the answer holds no device list";
        return answer;
    }
    answer.answered = true;
    answer.devices = devices;
    answer.problem.clear();
    return answer;
}

} // namespace backend
