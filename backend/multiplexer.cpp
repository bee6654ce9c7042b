#include "backend/multiplexer.h"

#include "backend/backend.h"
#include "backend/timeouts.h"

#include "platform/text.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <mutex>
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
    Socket c;
    if (!c.started()) {
        answer.problem = L"Windows Sockets did not start";
        return answer;
    }
    const DWORD deadline = ::GetTickCount() + timeoutMilliseconds;
    if (!ConnectTo(c, host, port, deadline, &answer.problem))
        return answer;
    const uint32_t tag = 1;
    const std::string request = ListDevicesRequest(tag);
    if (!SendAll(c.get(), request.data(), request.size(), deadline)) {
        answer.problem = L"the request could not be sent";
        return answer;
    }
    std::string header(kHeaderSize, '\0');
    if (!ReceiveExactly(c.get(), header.data(), header.size(), deadline)) {
        answer.problem = L"no answer within the time allowed";
        return answer;
    }
    const uint32_t length = ReplyLength(reinterpret_cast<const unsigned char*>(header.data()), tag);
    if (length == 0) {
        answer.problem = L"the answer is not a multiplexer reply";
        return answer;
    }
    std::string body(length - kHeaderSize, '\0');
    if (!ReceiveExactly(c.get(), body.data(), body.size(), deadline)) {
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

// ---- the multiplexer client ----------------------------------------------------

std::unique_ptr<MuxChannel> MuxChannel::Open(unsigned timeoutMilliseconds, std::string* error) {
    std::unique_ptr<MuxChannel> channel(new MuxChannel());
    channel->m_timeout = timeoutMilliseconds;
    const std::wstring address = MultiplexerAddress();
    std::string host, port;
    std::wstring problem;
    if (!channel->m_socket.started())
        problem = L"Windows Sockets did not start";
    else if (SplitMultiplexerAddress(address, &host, &port, &problem) &&
             ConnectTo(channel->m_socket, host, port, DeadlineIn(timeoutMilliseconds), &problem))
        return channel;
    *error = "the multiplexer at " + WideToUtf8(address.c_str()) + ": " + WideToUtf8(problem.c_str());
    return nullptr;
}

bool MuxChannel::Send(const char* type, CFDictionaryRef fields, uint32_t tag, std::string* error) {
    Owned<CFMutableDictionaryRef> request(fields ? CFDictionaryCreateMutableCopy(nullptr, 0, fields)
                                                 : CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks,
                                                                             &kCFTypeDictionaryValueCallBacks));
    if (!request) {
        *error = "no memory for a multiplexer request";
        return false;
    }
    Dictionary names;
    names.Set("MessageType", type).Set("ClientVersionString", "OrvexDevice").Set("ProgName", "OrvexDevice");
    names.SetInteger("kLibUSBMuxVersion", 3);
    for (const char* key : {"MessageType", "ClientVersionString", "ProgName", "kLibUSBMuxVersion"})
        CFDictionarySetValue(request.get(), MakeString(key).get(), Find(names.get(), key));
    const std::string body = XmlOf(request.get());
    if (body.empty() || body.size() > kMaxMultiplexerMessage - kHeaderSize) {
        *error = "a multiplexer request could not be written";
        return false;
    }
    std::string message;
    PutWord(&message, static_cast<uint32_t>(kHeaderSize + body.size()));
    PutWord(&message, kPlistVersion);
    PutWord(&message, kPlistMessage);
    PutWord(&message, tag);
    message += body;
    if (!SendAll(m_socket.get(), message.data(), message.size(), DeadlineIn(m_timeout))) {
        *error = std::string("the multiplexer did not take the request ") + type;
        return false;
    }
    return true;
}

MuxChannel::Next MuxChannel::Receive(unsigned waitMilliseconds, Owned<CFDictionaryRef>* message, uint32_t* tag,
                                     std::string* error) {
    if (!WaitFor(m_socket.get(), false, DeadlineIn(waitMilliseconds)))
        return Next::Quiet;
    const DWORD deadline = DeadlineIn(m_timeout);
    unsigned char header[kHeaderSize];
    if (!ReceiveExactly(m_socket.get(), header, sizeof header, deadline)) {
        *error = "the multiplexer closed the connection or stopped answering";
        return Next::Failed;
    }
    const uint32_t length = Word(header);
    if (length < kHeaderSize || length > kMaxMultiplexerMessage || Word(header + 4) != kPlistVersion ||
        Word(header + 8) != kPlistMessage) {
        *error = "the multiplexer sent a message of length " + std::to_string(length) + " that is not taken";
        return Next::Failed;
    }
    std::string body(length - kHeaderSize, '\0');
    if (!ReceiveExactly(m_socket.get(), body.data(), body.size(), deadline)) {
        *error = "the multiplexer's message ended early";
        return Next::Failed;
    }
    Owned<CFTypeRef> parsed = ParsePlist(body.data(), body.size());
    if (!IsDictionary(parsed.get())) {
        *error = "the multiplexer's message is not a property-list dictionary";
        return Next::Failed;
    }
    *tag = Word(header + 12);
    message->reset(static_cast<CFDictionaryRef>(parsed.release()));
    return Next::Message;
}

Owned<CFDictionaryRef> MuxChannel::Exchange(const char* type, CFDictionaryRef fields, std::string* error,
                                            bool* silent) {
    const uint32_t tag = ++m_lastTag;
    if (!Send(type, fields, tag, error))
        return Owned<CFDictionaryRef>();
    Owned<CFDictionaryRef> reply;
    uint32_t replyTag = 0;
    Next next = Receive(m_timeout, &reply, &replyTag, error);
    if (silent)
        *silent = next == Next::Quiet;
    if (next == Next::Quiet)
        *error = std::string("the multiplexer did not answer ") + type + " in time";
    else if (next == Next::Message && replyTag != tag)
        *error = std::string("the multiplexer answered ") + type + " with another tag";
    else if (next == Next::Message)
        return reply;
    return Owned<CFDictionaryRef>();
}

int64_t ResultNumber(CFDictionaryRef reply) {
    int64_t number = -1;
    if (TextOf(reply, "MessageType") != "Result" || !IntegerOf(reply, "Number", &number))
        return -1;
    return number;
}

bool DeviceOfMessage(CFDictionaryRef message, MuxDevice* device) {
    int64_t id = 0;
    if (!IntegerOf(message, "DeviceID", &id) || id <= 0 || id > UINT32_MAX)
        return false;
    MuxDevice found;
    found.id = static_cast<uint32_t>(id);
    CFTypeRef properties = Find(message, "Properties");
    if (IsDictionary(properties))
        found.udid = TextOf(static_cast<CFDictionaryRef>(properties), "SerialNumber");
    *device = found;
    return true;
}

namespace {

Owned<CFDictionaryRef> AskOnce(const char* type, CFDictionaryRef fields, std::string* error) {
    std::unique_ptr<MuxChannel> channel = MuxChannel::Open(MultiplexerTimeout(), error);
    return channel ? channel->Exchange(type, fields, error) : Owned<CFDictionaryRef>();
}

// The connection kept for reading pair records: every export call of the
// device library reads its device's record, and the multiplexer answers
// any number of questions on one connection, so the call spares both ends
// a connection's set-up. One question at a time.
struct KeptConnection {
    std::mutex lock; // guards what follows
    std::unique_ptr<MuxChannel> channel;
};

KeptConnection& Kept() {
    static KeptConnection* kept = new KeptConnection; // used until the process ends
    return *kept;
}

// Asks on the kept connection. One the multiplexer has closed (it
// restarted, or answers one question a connection) is replaced by a new
// one at once; one that went silent is given up, not waited on twice.
Owned<CFDictionaryRef> AskKept(const char* type, CFDictionaryRef fields, std::string* error) {
    KeptConnection& kept = Kept();
    std::lock_guard<std::mutex> guard(kept.lock);
    if (kept.channel) {
        bool silent = false;
        Owned<CFDictionaryRef> reply = kept.channel->Exchange(type, fields, error, &silent);
        if (reply)
            return reply;
        kept.channel.reset();
        if (silent)
            return Owned<CFDictionaryRef>();
    }
    std::unique_ptr<MuxChannel> channel = MuxChannel::Open(MultiplexerTimeout(), error);
    if (!channel)
        return Owned<CFDictionaryRef>();
    Owned<CFDictionaryRef> reply = channel->Exchange(type, fields, error);
    if (reply)
        kept.channel = std::move(channel);
    return reply;
}

} // namespace

bool ListDevices(std::vector<MuxDevice>* devices, std::string* error) {
    Owned<CFDictionaryRef> reply = AskOnce("ListDevices", nullptr, error);
    if (!reply)
        return false;
    CFTypeRef list = Find(reply.get(), "DeviceList");
    if (!list || CFGetTypeID(list) != CFArrayGetTypeID()) {
        *error = "the multiplexer's device list is missing";
        return false;
    }
    std::vector<MuxDevice> found;
    const CFIndex count = CFArrayGetCount(static_cast<CFArrayRef>(list));
    for (CFIndex i = 0; i < count; ++i) {
        MuxDevice device;
        CFTypeRef entry = CFArrayGetValueAtIndex(static_cast<CFArrayRef>(list), i);
        if (IsDictionary(entry) && DeviceOfMessage(static_cast<CFDictionaryRef>(entry), &device) &&
            !device.udid.empty())
            found.push_back(device);
    }
    *devices = std::move(found);
    return true;
}

bool ReadBuid(std::string* buid, std::string* error) {
    Owned<CFDictionaryRef> reply = AskOnce("ReadBUID", nullptr, error);
    if (!reply)
        return false;
    std::string text = TextOf(reply.get(), "BUID");
    if (text.empty()) {
        *error = "the multiplexer gave no system identifier";
        return false;
    }
    *buid = text;
    return true;
}

Record ReadPairRecord(const std::string& udid, Owned<CFDictionaryRef>* record, std::string* error) {
    Dictionary fields;
    fields.Set("PairRecordID", udid);
    Owned<CFDictionaryRef> reply = AskKept("ReadPairRecord", fields.get(), error);
    if (!reply)
        return Record::Failed;
    if (ResultNumber(reply.get()) > 0)
        return Record::Missing;
    const std::string bytes = BytesOf(reply.get(), "PairRecordData");
    Owned<CFTypeRef> parsed = ParsePlist(bytes.data(), bytes.size());
    if (!IsDictionary(parsed.get())) {
        *error = "the multiplexer's pair record for " + udid + " is not a property-list dictionary";
        return Record::Failed;
    }
    record->reset(static_cast<CFDictionaryRef>(parsed.release()));
    return Record::Found;
}

bool SavePairRecord(const std::string& udid, uint32_t deviceId, CFDictionaryRef record, std::string* error) {
    const std::string bytes = XmlOf(record);
    Dictionary fields;
    fields.Set("PairRecordID", udid).SetData("PairRecordData", bytes).SetInteger("DeviceID", deviceId);
    Owned<CFDictionaryRef> reply = AskOnce("SavePairRecord", fields.get(), error);
    if (!reply)
        return false;
    const int64_t number = ResultNumber(reply.get());
    if (number != 0) {
        *error = "the multiplexer did not save the pair record (result " + std::to_string(number) + ")";
        return false;
    }
    return true;
}

void CloseKeptMultiplexerConnection() {
    KeptConnection& kept = Kept();
    std::lock_guard<std::mutex> guard(kept.lock);
    kept.channel.reset();
}

} // namespace backend
