#include "backend/afc.h"

#include "backend/afc_packet.h"
#include "backend/device.h"
#include "backend/handle_registry.h"
#include "backend/lockdown.h"
#include "backend/timeouts.h"
#include "platform/log.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace backend {
namespace {

using namespace afc;

// ---- plain sockets -----------------------------------------------------------

class SocketPipe : public AfcPipe {
  public:
    SocketPipe(SOCKET socket, unsigned timeoutMilliseconds) : m_socket(socket), m_timeout(timeoutMilliseconds) {}

    bool ReadExact(void* buffer, size_t size) override {
        char* at = static_cast<char*>(buffer);
        while (size > 0) {
            if (!Ready(false))
                return false;
            const int got = ::recv(m_socket, at, static_cast<int>(std::min<size_t>(size, 1u << 30)), 0);
            if (got <= 0)
                return false;
            at += got;
            size -= static_cast<size_t>(got);
        }
        return true;
    }

    bool WriteAll(const void* data, size_t size) override {
        const char* at = static_cast<const char*>(data);
        while (size > 0) {
            if (!Ready(true))
                return false;
            const int sent = ::send(m_socket, at, static_cast<int>(std::min<size_t>(size, 1u << 30)), 0);
            if (sent <= 0)
                return false;
            at += sent;
            size -= static_cast<size_t>(sent);
        }
        return true;
    }

  private:
    // Whether the socket can be read (written) before the timeout.
    bool Ready(bool writing) const {
        fd_set set;
        FD_ZERO(&set);
        FD_SET(m_socket, &set);
        timeval wait{static_cast<long>(m_timeout / 1000), static_cast<long>(m_timeout % 1000) * 1000};
        return ::select(0, writing ? nullptr : &set, writing ? &set : nullptr, nullptr, &wait) == 1;
    }

    SOCKET m_socket;
    unsigned m_timeout;
};

// ---- the connection ------------------------------------------------------------

// Where the data of a reply goes: a buffer of the caller's (at most
// `capacity` bytes), or else a text of at most kMostTextReply bytes.
struct Sink {
    char* buffer = nullptr;
    size_t capacity = 0;
    std::string* text = nullptr;
};

struct Reply {
    uint64_t operation = 0;
    uint64_t number = 0; // the code of a status reply, the value of a handle or position reply
    size_t size = 0;     // bytes of data received
};

// An open file: its device handle and the bytes read ahead.
struct OpenFile {
    static constexpr size_t kFirstReadAhead = 64 * 1024;

    uint64_t handle = 0;
    std::unique_ptr<char[]> in;
    size_t inCapacity = 0, inBegin = 0, inEnd = 0;
    size_t readAhead = kFirstReadAhead;
    int failed = kSuccess; // a write that failed after its call had returned
    // The answer to the read sent ahead, received while another request
    // needed the connection, kept until this file's caller wants it.
    std::unique_ptr<char[]> parked;
    size_t parkedCapacity = 0, parkedSize = 0, parkedAsked = 0;
    bool hasParked = false;
    int parkedCode = kSuccess;

    size_t unread() const { return inEnd - inBegin; }
};

class Session;

struct Directory {
    const Session* owner = nullptr;
    std::vector<std::string> names;
    size_t next = 0;
};

struct KeyValues {
    std::vector<std::string> texts; // key, value, key, value...
    size_t next = 0;
};

HandleRegistry<Directory> g_directories;
HandleRegistry<KeyValues> g_keyValues;

std::vector<std::string> SplitTexts(const std::string& bytes) {
    std::vector<std::string> texts;
    size_t start = 0;
    while (start < bytes.size()) {
        size_t end = bytes.find('\0', start);
        if (end == std::string::npos)
            end = bytes.size();
        texts.emplace_back(bytes, start, end - start);
        start = end + 1;
    }
    return texts;
}

std::string Number64(uint64_t value) {
    std::string bytes(8, '\0');
    PutLittle64(reinterpret_cast<unsigned char*>(bytes.data()), value);
    return bytes;
}

class Session {
  public:
    explicit Session(std::unique_ptr<AfcPipe> pipe) : m_pipe(std::move(pipe)) {}
    ~Session() { ForgetDirectories(); }

    std::mutex& lock() { return m_lock; }

    // ---- requests; the lock held by the caller ----

    // An operation answered by a status.
    int Simple(uint64_t operation, const std::string& parameters) {
        Reply reply;
        int code = Call(operation, parameters, nullptr, 0, Sink{}, &reply);
        if (code != kSuccess)
            return code;
        return reply.operation == kStatus ? StatusCode(reply) : static_cast<int>(kUnknownError);
    }

    // An operation answered by NUL-separated texts.
    int Texts(uint64_t operation, const std::string& parameters, std::vector<std::string>* texts) {
        std::string bytes;
        Reply reply;
        int code = Call(operation, parameters, nullptr, 0, Sink{nullptr, 0, &bytes}, &reply);
        if (code != kSuccess)
            return code;
        if (reply.operation == kStatus && StatusCode(reply) != kSuccess)
            return StatusCode(reply);
        if (reply.operation != kData && reply.operation != kStatus)
            return kUnknownError;
        *texts = SplitTexts(bytes);
        return kSuccess;
    }

    int Open(const std::string& path, uint64_t mode, afc_file_ref* ref) {
        Reply reply;
        int code = Call(kFileOpen, Number64(mode) + path + '\0', nullptr, 0, Sink{}, &reply);
        if (code != kSuccess)
            return code;
        if (reply.operation == kStatus)
            return StatusCode(reply) != kSuccess ? StatusCode(reply) : static_cast<int>(kUnknownError);
        if (reply.operation != kFileOpenResult)
            return kUnknownError;
        auto file = std::make_unique<OpenFile>();
        file->handle = reply.number;
        // The device's handle names the file; one it hands out twice is refused.
        if (m_files.count(reply.number))
            return Break(L"the device handed out a file handle that is in use");
        m_files[reply.number] = std::move(file);
        *ref = reply.number;
        return kSuccess;
    }

    int Read(afc_file_ref ref, char* buffer, unsigned int* length) {
        OpenFile* file = Find(ref);
        if (!file)
            return kInvalidArgument;
        int code = FlushPending();
        if (code != kSuccess)
            return code;
        const size_t wanted = *length;
        if (file->unread() == 0 && wanted > 0) {
            bool took = false;
            code = TakeReadSentAhead(*file, &took);
            if (code != kSuccess)
                return code;
            if (took && file->unread() == 0) { // the end of the file
                *length = 0;
                return kSuccess;
            }
        }
        if (file->unread() == 0 && wanted >= file->readAhead) {
            // A large read goes straight into the caller's buffer.
            size_t got = 0;
            code = ReadFromDevice(*file, buffer, std::min<size_t>(wanted, kMostRead), &got);
            if (code == kSuccess)
                *length = static_cast<unsigned int>(got);
            return code;
        }
        if (file->unread() == 0 && wanted > 0) {
            code = ReadAhead(*file, wanted);
            if (code != kSuccess)
                return code;
        }
        const size_t served = std::min(wanted, file->unread());
        if (served > 0)
            std::memcpy(buffer, file->in.get() + file->inBegin, served);
        file->inBegin += served;
        *length = static_cast<unsigned int>(served);
        return kSuccess;
    }

    int Write(afc_file_ref ref, const char* data, size_t length) {
        OpenFile* file = Find(ref);
        if (!file)
            return kInvalidArgument;
        if (file->failed != kSuccess)
            return file->failed;
        // Writes reach the device in the order they were made: another
        // file's go first, and what this one read ahead is given back.
        if (m_pending && m_pending != file) {
            int code = Flush(*m_pending);
            if (code != kSuccess && m_broken)
                return code;
        }
        int code = GiveBackReadAhead(*file);
        if (code != kSuccess)
            return code;
        // What was gathered goes before a write that does not fit with it,
        // and before a large one, which goes out straight from the caller.
        if (m_outUsed + length > kMostWrite || length >= kMostWrite / 2) {
            code = Flush(*file);
            if (code != kSuccess)
                return code;
        }
        if (length >= kMostWrite / 2)
            return WriteDirect(*file, data, length);
        if (!m_out[m_current])
            m_out[m_current].reset(new char[kRoom + kMostWrite]);
        std::memcpy(m_out[m_current].get() + kRoom + m_outUsed, data, length);
        m_outUsed += length;
        m_pending = file;
        return m_outUsed >= kMostWrite ? Flush(*file) : static_cast<int>(kSuccess);
    }

    int Close(afc_file_ref ref) {
        auto it = m_files.find(ref);
        if (it == m_files.end())
            return kInvalidArgument;
        std::unique_ptr<OpenFile> file = std::move(it->second);
        m_files.erase(it);
        int code = Flush(*file);
        if (m_pending == file.get())
            m_pending = nullptr;
        int closed = Simple(kFileClose, Number64(file->handle));
        if (file->failed != kSuccess)
            return file->failed;
        return code != kSuccess ? code : closed;
    }

    // Sends what every file has gathered; the first failure.
    int FlushPending() {
        if (!m_pending)
            return m_broken ? static_cast<int>(kServiceNotConnected) : static_cast<int>(kSuccess);
        int code = Flush(*m_pending);
        // A file's own failure is told at its next write or its close.
        return m_broken ? code : static_cast<int>(kSuccess);
    }

    int CloseAll() {
        int code = kSuccess;
        OpenFile* last = m_pending ? m_pending : m_sentFile;
        if (m_pending)
            code = Flush(*m_pending);
        const int collected = Collect();
        if (code == kSuccess)
            code = collected;
        if (code == kSuccess && last)
            code = last->failed;
        m_files.clear();
        m_pending = nullptr;
        ForgetDirectories();
        return code;
    }

    void AddDirectory(const void* key) { m_directories.insert(key); }
    void RemoveDirectory(const void* key) { m_directories.erase(key); }

  private:
    OpenFile* Find(afc_file_ref ref) {
        auto it = m_files.find(ref);
        return it == m_files.end() ? nullptr : it->second.get();
    }

    void ForgetDirectories() {
        for (const void* key : m_directories)
            g_directories.Take(key);
        m_directories.clear();
    }

    static int StatusCode(const Reply& reply) {
        return reply.number > 0x7fffffff ? static_cast<int>(kUnknownError) : static_cast<int>(reply.number);
    }

    // The connection is no longer usable: its framing is lost.
    int Break(const std::wstring& why) {
        if (!m_broken)
            LogLine(L"AFC: " + why + L"; the file service connection is given up");
        m_broken = true;
        return kServiceNotConnected;
    }

    // One request and its reply. A request's reply carries its number; an
    // answer that breaks the framing ends the connection.
    int Call(uint64_t operation, const std::string& parameters, const char* payload, size_t payloadSize, Sink sink,
             Reply* reply) {
        uint64_t number = 0;
        int code = Send(operation, parameters, payload, payloadSize, &number);
        return code != kSuccess ? code : Receive(number, sink, reply);
    }

    // Sends one request, after the answer still outstanding was collected;
    // `number` is what its answer will carry.
    int Send(uint64_t operation, const std::string& parameters, const char* payload, size_t payloadSize,
             uint64_t* sentNumber) {
        Collect();
        if (m_broken)
            return kServiceNotConnected;
        const uint64_t number = m_number++;
        Header h;
        h.thisLength = kHeaderSize + parameters.size();
        h.entireLength = h.thisLength + payloadSize;
        h.number = number;
        h.operation = operation;
        m_head.resize(static_cast<size_t>(h.thisLength));
        EncodeHeader(h, reinterpret_cast<unsigned char*>(m_head.data()));
        std::memcpy(m_head.data() + kHeaderSize, parameters.data(), parameters.size());
        if (payloadSize > 0 && payloadSize <= 64 * 1024) {
            m_head.append(payload, payloadSize);
            payloadSize = 0;
        }
        if (!m_pipe->WriteAll(m_head.data(), m_head.size()) ||
            (payloadSize > 0 && !m_pipe->WriteAll(payload, payloadSize)))
            return Break(L"the request could not be sent");
        *sentNumber = number;
        return kSuccess;
    }

    // Sends a packet laid out by the caller: room for the header, the
    // parameters, then the payload, `size` bytes in all.
    // Sends the write request laid out in `packet` (room for the header, the
    // handle, then the data; `size` bytes in all) without waiting for its
    // answer: the file's caller goes on while the device stores the data.
    // The answer is collected before the next request goes out.
    int SendWrite(OpenFile& file, char* packet, size_t size) {
        int code = Collect();
        if (m_broken)
            return code;
        const uint64_t number = m_number++;
        Header h;
        h.thisLength = kHeaderSize + 8;
        h.entireLength = size;
        h.number = number;
        h.operation = kFileWrite;
        EncodeHeader(h, reinterpret_cast<unsigned char*>(packet));
        PutLittle64(reinterpret_cast<unsigned char*>(packet + kHeaderSize), file.handle);
        if (!m_pipe->WriteAll(packet, size))
            return Break(L"the request could not be sent");
        m_sent = true;
        m_sentNumber = number;
        m_sentFile = &file;
        return kSuccess;
    }

    // The answer to the write still outstanding; a refusal is the file's
    // failure, told at its next write or its close.
    int Collect() {
        if (int code = CollectRead(); code != kSuccess)
            return code;
        if (!m_sent)
            return m_broken ? static_cast<int>(kServiceNotConnected) : static_cast<int>(kSuccess);
        m_sent = false;
        OpenFile* file = m_sentFile;
        m_sentFile = nullptr;
        Reply reply;
        int code = Receive(m_sentNumber, Sink{}, &reply);
        if (code == kSuccess)
            code = reply.operation == kStatus ? StatusCode(reply) : static_cast<int>(kUnknownError);
        if (code != kSuccess && file->failed == kSuccess)
            file->failed = code;
        return code;
    }

    int Receive(uint64_t number, Sink sink, Reply* reply) {
        unsigned char head[kHeaderSize];
        Header h;
        if (!m_pipe->ReadExact(head, sizeof head))
            return Break(L"no answer from the device");
        if (!DecodeHeader(head, &h))
            return Break(L"the device's answer has no valid header");
        if (h.number != number)
            return Break(L"the device answered another request than the one sent");
        const uint64_t body = h.entireLength - kHeaderSize;
        reply->operation = h.operation;
        if (h.operation == kData && (sink.buffer || sink.text))
            return ReceiveData(body, sink, reply);
        if (body > kMostSmallReply)
            return Break(L"the device's answer is longer than any answer to this request");
        unsigned char small[kMostSmallReply];
        if (body > 0 && !m_pipe->ReadExact(small, static_cast<size_t>(body)))
            return Break(L"the device's answer was cut short");
        const bool numbered =
            h.operation == kStatus || h.operation == kFileOpenResult || h.operation == kFileTellResult;
        if (numbered && body < 8)
            return Break(L"the device's answer lacks its value");
        reply->number = numbered ? GetLittle64(small) : 0;
        return kSuccess;
    }

    int ReceiveData(uint64_t body, Sink sink, Reply* reply) {
        const uint64_t most = sink.buffer ? sink.capacity : kMostTextReply;
        if (body > most)
            return Break(L"the device sent more data than was asked for");
        char* into = sink.buffer;
        if (!into) {
            sink.text->resize(static_cast<size_t>(body));
            into = sink.text->data();
        }
        if (body > 0 && !m_pipe->ReadExact(into, static_cast<size_t>(body)))
            return Break(L"the device's data was cut short");
        reply->size = static_cast<size_t>(body);
        return kSuccess;
    }

    int ReadFromDevice(OpenFile& file, char* buffer, size_t wanted, size_t* got) {
        Reply reply;
        int code = Call(kFileRead, Number64(file.handle) + Number64(wanted), nullptr, 0, Sink{buffer, wanted}, &reply);
        return code != kSuccess ? code : ReadAnswer(reply, got);
    }

    // A read's answer: its data (`got` bytes), else the device's refusal.
    static int ReadAnswer(const Reply& reply, size_t* got) {
        if (reply.operation == kStatus)
            return StatusCode(reply) != kSuccess ? StatusCode(reply) : static_cast<int>(kUnknownError);
        if (reply.operation != kData)
            return kUnknownError;
        *got = reply.size;
        return kSuccess;
    }

    // Fills the file's read-ahead buffer with at least `wanted` bytes asked
    // for; each refill asks for twice as much as the last, up to the most one
    // read may ask.
    int ReadAhead(OpenFile& file, size_t wanted) {
        const size_t ask = std::min<size_t>(std::max(wanted, file.readAhead), kMostRead);
        if (file.inCapacity < ask) {
            file.in.reset(new char[ask]);
            file.inCapacity = ask;
        }
        file.inBegin = file.inEnd = 0;
        size_t got = 0;
        int code = ReadFromDevice(file, file.in.get(), ask, &got);
        if (code != kSuccess)
            return code;
        file.inEnd = got;
        return ReadFilled(file, ask, got);
    }

    // After the file's buffer was filled with `got` of the `asked` bytes:
    // the next refill is larger and, while the file goes on (a full
    // answer), is asked for at once, so that the device's next answer is
    // on its way while the caller takes this one.
    int ReadFilled(OpenFile& file, size_t asked, size_t got) {
        file.readAhead = std::min<size_t>(file.readAhead * 2, kMostRead);
        if (got < asked)
            return kSuccess;
        const size_t ask = file.readAhead;
        uint64_t number = 0;
        int code = Send(kFileRead, Number64(file.handle) + Number64(ask), nullptr, 0, &number);
        if (code != kSuccess)
            return code;
        m_readSent = true;
        m_readNumber = number;
        m_readAsked = ask;
        m_readFile = &file;
        return kSuccess;
    }

    // Receives the answer to the read sent ahead into `buffer` (room for
    // the bytes asked); `got` the bytes, or the device's refusal.
    int ReceiveReadSentAhead(char* buffer, size_t* got) {
        m_readSent = false;
        m_readFile = nullptr;
        Reply reply;
        int code = Receive(m_readNumber, Sink{buffer, m_readAsked}, &reply);
        return code != kSuccess ? code : ReadAnswer(reply, got);
    }

    // The answer to the read sent ahead, when another request needs the
    // connection first: parked with its file.
    int CollectRead() {
        if (!m_readSent)
            return kSuccess;
        OpenFile& file = *m_readFile;
        if (file.parkedCapacity < m_readAsked) {
            file.parked.reset(new char[m_readAsked]);
            file.parkedCapacity = m_readAsked;
        }
        file.parkedAsked = m_readAsked;
        size_t got = 0;
        int code = ReceiveReadSentAhead(file.parked.get(), &got);
        if (m_broken)
            return code;
        file.hasParked = true;
        file.parkedCode = code;
        file.parkedSize = code == kSuccess ? got : 0;
        return kSuccess;
    }

    // Moves what was read ahead of the file's caller (the answer still on
    // its way, or parked) into the file's buffer, which is empty; nothing
    // when there is none (`took` false). A refusal of the read sent ahead
    // is told now.
    int TakeReadSentAhead(OpenFile& file, bool* took) {
        size_t asked = 0, got = 0;
        if (m_readSent && m_readFile == &file) {
            asked = m_readAsked;
            if (file.inCapacity < asked) {
                file.in.reset(new char[asked]);
                file.inCapacity = asked;
            }
            int code = ReceiveReadSentAhead(file.in.get(), &got);
            if (code != kSuccess)
                return code;
        } else if (file.hasParked) {
            file.hasParked = false;
            if (file.parkedCode != kSuccess)
                return std::exchange(file.parkedCode, static_cast<int>(kSuccess));
            std::swap(file.in, file.parked);
            std::swap(file.inCapacity, file.parkedCapacity);
            asked = file.parkedAsked;
            got = file.parkedSize;
        } else {
            return kSuccess;
        }
        *took = true;
        file.inBegin = 0;
        file.inEnd = got;
        return ReadFilled(file, asked, got);
    }

    // Moves the device's position back over what was read ahead and not
    // taken, so that a write lands where the caller expects it.
    int GiveBackReadAhead(OpenFile& file) {
        int code = CollectRead();
        if (code != kSuccess)
            return code;
        size_t unread = file.unread();
        if (file.hasParked && file.parkedCode == kSuccess)
            unread += file.parkedSize;
        file.hasParked = false;
        file.parkedCode = kSuccess;
        file.inBegin = file.inEnd = 0;
        if (unread == 0)
            return kSuccess;
        return Simple(kFileSeek, Number64(file.handle) + Number64(kSeekCurrent) +
                                     Number64(static_cast<uint64_t>(-static_cast<int64_t>(unread))));
    }

    // Sends what was gathered for `file`, if anything.
    int Flush(OpenFile& file) {
        const bool gathered = m_pending == &file && m_outUsed > 0;
        if (m_pending == &file)
            m_pending = nullptr;
        if (!gathered)
            return m_broken ? static_cast<int>(kServiceNotConnected) : static_cast<int>(kSuccess);
        const size_t size = kRoom + m_outUsed;
        m_outUsed = 0;
        char* packet = m_out[m_current].get();
        m_current ^= 1; // the next bytes gather while this packet is in flight
        int code = SendWrite(file, packet, size);
        return code != kSuccess ? code : file.failed;
    }

    int WriteDirect(OpenFile& file, const char* data, size_t length) {
        while (length > 0) {
            const size_t chunk = std::min<size_t>(length, kMostWrite);
            Reply reply;
            int code = Call(kFileWrite, Number64(file.handle), data, chunk, Sink{}, &reply);
            if (code == kSuccess)
                code = reply.operation == kStatus ? StatusCode(reply) : static_cast<int>(kUnknownError);
            if (code != kSuccess)
                return code;
            data += chunk;
            length -= chunk;
        }
        return kSuccess;
    }

    std::mutex m_lock;
    std::unique_ptr<AfcPipe> m_pipe;
    uint64_t m_number = 0;
    bool m_broken = false;
    std::string m_head;
    std::map<uint64_t, std::unique_ptr<OpenFile>> m_files;
    // Written bytes not yet sent, of one file at a time, after room for the
    // header and the handle; two buffers, one gathering while the other is
    // in flight, kept for the connection's life so that their pages are
    // touched once.
    static constexpr size_t kRoom = kHeaderSize + 8;
    std::unique_ptr<char[]> m_out[2];
    int m_current = 0;
    size_t m_outUsed = 0;
    OpenFile* m_pending = nullptr; // the file they belong to
    // The one write whose answer is still to come.
    bool m_sent = false;
    uint64_t m_sentNumber = 0;
    OpenFile* m_sentFile = nullptr;
    // The one read sent ahead of its file's caller, its answer still to come.
    bool m_readSent = false;
    uint64_t m_readNumber = 0;
    size_t m_readAsked = 0;
    OpenFile* m_readFile = nullptr;
    std::set<const void*> m_directories;
};

HandleRegistry<Session> g_sessions;

template <typename Body> int Guarded(Body&& body) {
    try {
        return body();
    } catch (...) {
        return kInternalError;
    }
}

// Runs `body` on the connection behind `key` with its lock held, after the
// gathered writes went out.
template <typename Body> int OnSession(afc_connection* key, Body&& body) {
    return Guarded([&] {
        std::shared_ptr<Session> session = g_sessions.Get(key);
        if (!session)
            return static_cast<int>(kInvalidArgument);
        std::lock_guard<std::mutex> guard(session->lock());
        return body(*session);
    });
}

template <typename Body> int Request(afc_connection* key, Body&& body) {
    return OnSession(key, [&](Session& session) {
        int code = session.FlushPending();
        return code != kSuccess ? code : body(session);
    });
}

afc_dictionary* NewKeyValues(std::vector<std::string> texts) {
    if (texts.size() % 2 != 0)
        texts.pop_back(); // a key without its value
    auto list = std::make_shared<KeyValues>();
    list->texts = std::move(texts);
    return static_cast<afc_dictionary*>(g_keyValues.Add(std::move(list)));
}

int OpenKeyValues(afc_connection* connection, uint64_t operation, const std::string& parameters,
                  afc_dictionary** info) {
    return Request(connection, [&](Session& session) {
        std::vector<std::string> texts;
        int code = session.Texts(operation, parameters, &texts);
        if (code == kSuccess)
            *info = NewKeyValues(std::move(texts));
        return code;
    });
}

} // namespace

std::unique_ptr<AfcPipe> PlainSocketPipe(SOCKET socket, unsigned timeoutMilliseconds) {
    return std::make_unique<SocketPipe>(socket, timeoutMilliseconds);
}

afc_connection* OpenAfcConnection(std::unique_ptr<AfcPipe> pipe) {
    if (!pipe)
        return nullptr;
    return static_cast<afc_connection*>(g_sessions.Add(std::make_shared<Session>(std::move(pipe))));
}

namespace {

// Whether the device has already closed a connection: a look without
// waiting (a service that refuses its client closes the connection at once;
// the vendor's library finds that out when it opens the file connection).
bool PeerClosed(SOCKET socket) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(socket, &readable);
    timeval now = {0, 0};
    if (::select(0, &readable, nullptr, nullptr, &now) != 1)
        return false;
    char byte;
    return ::recv(socket, &byte, 1, MSG_PEEK) == 0;
}

} // namespace

int __cdecl AFCConnectionOpen(SOCKET socket, unsigned int ioTimeout, afc_connection** connection) {
    return Guarded([&] {
        if (!connection || socket == INVALID_SOCKET)
            return static_cast<int>(kInvalidArgument);
        // The socket's connection (and its TLS state) comes from the service
        // start that handed the socket out; the socket stays its owner's.
        std::unique_ptr<Connection> service = TakeServiceConnection(socket);
        if (!service)
            return static_cast<int>(kInvalidArgument);
        if (PeerClosed(socket)) {
            LogLine("AFCConnectionOpen: the device closed the file service's connection");
            return static_cast<int>(kServiceNotConnected);
        }
        service->SetTimeout(ioTimeout ? ioTimeout * 1000 : DeviceTimeout());
        afc_connection* opened = OpenAfcConnection(ServiceConnectionPipe(std::move(service)));
        if (!opened)
            return static_cast<int>(kServiceNotConnected);
        *connection = opened;
        return static_cast<int>(kSuccess);
    });
}

int __cdecl AFCConnectionClose(afc_connection* connection) {
    return Guarded([&] {
        std::shared_ptr<Session> session = g_sessions.Take(connection);
        if (!session)
            return static_cast<int>(kInvalidArgument);
        std::lock_guard<std::mutex> guard(session->lock());
        return session->CloseAll(); // the socket stays open: its owner closes it
    });
}

int __cdecl AFCDeviceInfoOpen(afc_connection* connection, afc_dictionary** info) {
    if (!info)
        return kInvalidArgument;
    return OpenKeyValues(connection, kGetDeviceInfo, std::string(), info);
}

int __cdecl AFCFileInfoOpen(afc_connection* connection, const char* path, afc_dictionary** info) {
    if (!path || !info)
        return kInvalidArgument;
    return OpenKeyValues(connection, kGetFileInfo, std::string(path) + '\0', info);
}

int __cdecl AFCKeyValueRead(afc_dictionary* dict, char** key, char** value) {
    return Guarded([&] {
        std::shared_ptr<KeyValues> list = g_keyValues.Get(dict);
        if (!list || !key || !value)
            return static_cast<int>(kInvalidArgument);
        // The texts stay valid until the list is closed; the end is a null key.
        if (list->next + 1 >= list->texts.size()) {
            *key = nullptr;
            *value = nullptr;
            return static_cast<int>(kSuccess);
        }
        *key = list->texts[list->next].data();
        *value = list->texts[list->next + 1].data();
        list->next += 2;
        return static_cast<int>(kSuccess);
    });
}

int __cdecl AFCKeyValueClose(afc_dictionary* dict) {
    return Guarded([&] { return static_cast<int>(g_keyValues.Take(dict) ? kSuccess : kInvalidArgument); });
}

int __cdecl AFCDirectoryOpen(afc_connection* connection, const char* path, afc_directory** dir) {
    if (!path || !dir)
        return kInvalidArgument;
    return Request(connection, [&](Session& session) {
        auto directory = std::make_shared<Directory>();
        int code = session.Texts(kReadDirectory, std::string(path) + '\0', &directory->names);
        if (code != kSuccess)
            return code;
        directory->owner = &session;
        void* key = g_directories.Add(std::move(directory));
        session.AddDirectory(key);
        *dir = static_cast<afc_directory*>(key);
        return static_cast<int>(kSuccess);
    });
}

int __cdecl AFCDirectoryRead(afc_connection* connection, afc_directory* dir, char** name) {
    return OnSession(connection, [&](Session& session) {
        std::shared_ptr<Directory> directory = g_directories.Get(dir);
        if (!directory || directory->owner != &session || !name)
            return static_cast<int>(kInvalidArgument);
        // The names stay valid until the folder is closed; the end is a null name.
        *name = directory->next < directory->names.size() ? directory->names[directory->next++].data() : nullptr;
        return static_cast<int>(kSuccess);
    });
}

int __cdecl AFCDirectoryClose(afc_connection* connection, afc_directory* dir) {
    return OnSession(connection, [&](Session& session) {
        std::shared_ptr<Directory> directory = g_directories.Get(dir);
        if (!directory || directory->owner != &session)
            return static_cast<int>(kInvalidArgument);
        g_directories.Take(dir);
        session.RemoveDirectory(dir);
        return static_cast<int>(kSuccess);
    });
}

int __cdecl AFCDirectoryCreate(afc_connection* connection, const char* path) {
    if (!path)
        return kInvalidArgument;
    return Request(connection,
                   [&](Session& session) { return session.Simple(kMakeDirectory, std::string(path) + '\0'); });
}

int __cdecl AFCRemovePath(afc_connection* connection, const char* path) {
    if (!path)
        return kInvalidArgument;
    return Request(connection, [&](Session& session) { return session.Simple(kRemovePath, std::string(path) + '\0'); });
}

int __cdecl AFCRenamePath(afc_connection* connection, const char* oldPath, const char* newPath) {
    if (!oldPath || !newPath)
        return kInvalidArgument;
    return Request(connection, [&](Session& session) {
        return session.Simple(kRenamePath, std::string(oldPath) + '\0' + newPath + '\0');
    });
}

int __cdecl AFCFileRefOpen(afc_connection* connection, const char* path, uint64_t mode, afc_file_ref* ref) {
    if (!path || !ref)
        return kInvalidArgument;
    return Request(connection, [&](Session& session) { return session.Open(path, mode, ref); });
}

int __cdecl AFCFileRefRead(afc_connection* connection, afc_file_ref ref, void* buffer, unsigned int* length) {
    if (!length || (!buffer && *length > 0))
        return kInvalidArgument;
    return OnSession(connection,
                     [&](Session& session) { return session.Read(ref, static_cast<char*>(buffer), length); });
}

int __cdecl AFCFileRefWrite(afc_connection* connection, afc_file_ref ref, const void* buffer, unsigned int length) {
    if (!buffer && length > 0)
        return kInvalidArgument;
    return OnSession(connection,
                     [&](Session& session) { return session.Write(ref, static_cast<const char*>(buffer), length); });
}

int __cdecl AFCFileRefClose(afc_connection* connection, afc_file_ref ref) {
    return OnSession(connection, [&](Session& session) { return session.Close(ref); });
}

size_t LiveAfcObjects() { return g_sessions.size() + g_keyValues.size() + g_directories.size(); }

void CloseAllAfcConnections() {
    for (const std::shared_ptr<Session>& session : g_sessions.TakeAll()) {
        std::lock_guard<std::mutex> guard(session->lock());
        session->CloseAll();
    }
}

} // namespace backend
