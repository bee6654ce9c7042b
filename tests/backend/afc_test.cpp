// The file service client against the farm's file service served in
// process, and against scripted answers that break the protocol.
#include "backend/afc.h"
#include "backend/afc_packet.h"
#include "sim/farm/farm.h"
#include "sim/wire/stream.h"
#include "tests/sim/wire/wire_support.h"
#include "tests/support/test_util.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace backend;
using wiretest::ScratchFarm;
using wiretest::ServedConnection;

constexpr uint64_t kWriteOnly = 3, kReadWrite = 2, kReadOnly = 1;

std::string Pattern(size_t size, unsigned seed) {
    std::string bytes(size, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < size; ++i) {
        x = x * 1103515245u + 12345u;
        bytes[i] = static_cast<char>(x >> 16);
    }
    return bytes;
}

class AfcClientTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(farm.ok()) << farm.error();
        served = Serve();
        afc = OpenAfcConnection(PlainSocketPipe(served->client(), 10000));
        ASSERT_NE(nullptr, afc);
    }
    void TearDown() override {
        if (afc)
            AFCConnectionClose(afc);
    }

    std::unique_ptr<ServedConnection> Serve() {
        simwire::ServiceContext context = farm.context();
        auto connection = std::make_unique<ServedConnection>(
            [context](simwire::Stream& stream) { simwire::ServeFileService(stream, context, true); });
        EXPECT_TRUE(connection->ok());
        return connection;
    }

    // The file as the farm holds it.
    std::string HostBytes(const std::string& devicePath) const {
        std::string bytes;
        simfarm::Farm(farm.folder()).Files(farm.udid()).ReadWholeFile(devicePath, &bytes, 64u << 20);
        return bytes;
    }

    std::map<std::string, std::string> Info(const char* path) {
        std::map<std::string, std::string> pairs;
        afc_dictionary* list = nullptr;
        if (AFCFileInfoOpen(afc, path, &list) != 0)
            return pairs;
        char *key = nullptr, *value = nullptr;
        while (AFCKeyValueRead(list, &key, &value) == 0 && key)
            pairs[key] = value;
        EXPECT_EQ(0, AFCKeyValueClose(list));
        return pairs;
    }
    std::vector<std::string> List(const char* path) {
        std::vector<std::string> names;
        afc_directory* dir = nullptr;
        if (AFCDirectoryOpen(afc, path, &dir) != 0)
            return {"<failed>"};
        char* name = nullptr;
        while (AFCDirectoryRead(afc, dir, &name) == 0 && name) {
            if (std::strcmp(name, ".") != 0 && std::strcmp(name, "..") != 0)
                names.push_back(name);
        }
        EXPECT_EQ(0, AFCDirectoryClose(afc, dir));
        std::sort(names.begin(), names.end());
        return names;
    }
    // Writes `bytes` in chunks of `chunk` as the device library's upload does.
    int Put(const char* path, const std::string& bytes, size_t chunk) {
        afc_file_ref ref = 0;
        int code = AFCFileRefOpen(afc, path, kWriteOnly, &ref);
        for (size_t at = 0; code == 0 && at < bytes.size(); at += chunk)
            code =
                AFCFileRefWrite(afc, ref, bytes.data() + at, static_cast<unsigned>(std::min(chunk, bytes.size() - at)));
        int closed = code == 0 || ref ? AFCFileRefClose(afc, ref) : code;
        return code != 0 ? code : closed;
    }
    // Reads the whole file in chunks of `chunk`; the first failure.
    int Get(const char* path, size_t chunk, std::string* bytes) {
        afc_file_ref ref = 0;
        int code = AFCFileRefOpen(afc, path, kReadOnly, &ref);
        if (code != 0)
            return code;
        bytes->clear();
        std::string buffer(chunk, '\0');
        for (;;) {
            unsigned length = static_cast<unsigned>(chunk);
            code = AFCFileRefRead(afc, ref, buffer.data(), &length);
            if (code != 0 || length == 0)
                break;
            EXPECT_LE(length, chunk);
            bytes->append(buffer.data(), length);
        }
        AFCFileRefClose(afc, ref);
        return code;
    }

    ScratchFarm farm;
    std::unique_ptr<ServedConnection> served;
    afc_connection* afc = nullptr;
};

TEST_F(AfcClientTest, ListsAttributesAndDeviceFigures) {
    ASSERT_EQ(0, AFCDirectoryCreate(afc, "/var/mobile/Media/t"));
    ASSERT_EQ(0, AFCDirectoryCreate(afc, "/var/mobile/Media/t/sub"));
    ASSERT_EQ(0, Put("/var/mobile/Media/t/a.txt", "hello", 2048));
    EXPECT_EQ((std::vector<std::string>{"a.txt", "sub"}), List("/var/mobile/Media/t"));
    auto file = Info("/var/mobile/Media/t/a.txt");
    EXPECT_EQ("5", file["st_size"]);
    EXPECT_EQ("S_IFREG", file["st_ifmt"]);
    EXPECT_EQ("S_IFDIR", Info("/var/mobile/Media/t/sub")["st_ifmt"]);

    afc_dictionary* figures = nullptr;
    ASSERT_EQ(0, AFCDeviceInfoOpen(afc, &figures));
    std::map<std::string, std::string> pairs;
    char *key = nullptr, *value = nullptr;
    while (AFCKeyValueRead(figures, &key, &value) == 0 && key)
        pairs[key] = value;
    EXPECT_EQ(nullptr, value) << "the end is a null key and a null value";
    EXPECT_EQ(0, AFCKeyValueRead(figures, &key, &value)) << "reading past the end stays at the end";
    EXPECT_EQ(nullptr, key);
    EXPECT_EQ(0, AFCKeyValueClose(figures));
    EXPECT_FALSE(pairs["FSTotalBytes"].empty());
    EXPECT_FALSE(pairs["Model"].empty());

    // The device's refusals come back as its codes.
    afc_directory* dir = nullptr;
    EXPECT_EQ(afc::kObjectNotFound, AFCDirectoryOpen(afc, "/var/mobile/Media/none", &dir));
    afc_dictionary* none = nullptr;
    EXPECT_EQ(afc::kObjectNotFound, AFCFileInfoOpen(afc, "/var/mobile/Media/none", &none));
}

TEST_F(AfcClientTest, EditsReachTheDevice) {
    ASSERT_EQ(0, AFCDirectoryCreate(afc, "/var/mobile/Media/e"));
    ASSERT_EQ(0, Put("/var/mobile/Media/e/one", "1", 2048));
    EXPECT_EQ(0, AFCRenamePath(afc, "/var/mobile/Media/e/one", "/var/mobile/Media/e/two"));
    EXPECT_EQ("1", HostBytes("/var/mobile/Media/e/two"));
    EXPECT_EQ(afc::kObjectNotFound, AFCRenamePath(afc, "/var/mobile/Media/e/one", "/var/mobile/Media/e/three"));
    EXPECT_NE(0, AFCRemovePath(afc, "/var/mobile/Media/e")) << "a folder with something in it stays";
    EXPECT_EQ(0, AFCRemovePath(afc, "/var/mobile/Media/e/two"));
    EXPECT_EQ(0, AFCRemovePath(afc, "/var/mobile/Media/e"));
    EXPECT_EQ(afc::kObjectNotFound, AFCRemovePath(afc, "/var/mobile/Media/e"));
    EXPECT_EQ(std::vector<std::string>{"<failed>"}, List("/var/mobile/Media/e"));
}

// Small writes are gathered and large reads fetched ahead: the bytes must
// come out as they went in, whatever the chunk sizes, and what is gathered
// must be on the device before anything else is asked.
TEST_F(AfcClientTest, LargeFilesMoveByteForByteInAnyChunks) {
    const std::string bytes = Pattern(20 * 1024 * 1024 + 123, 1);
    struct Case {
        size_t writeChunk, readChunk;
    } cases[] = {{2048, 2048}, {9 * 1024 * 1024, 3 * 1024 * 1024 + 5}, {777, 20 * 1024 * 1024}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.writeChunk) + "/" + std::to_string(c.readChunk));
        ASSERT_EQ(0, Put("/var/mobile/Media/big.bin", bytes, c.writeChunk));
        EXPECT_TRUE(HostBytes("/var/mobile/Media/big.bin") == bytes);
        std::string back;
        ASSERT_EQ(0, Get("/var/mobile/Media/big.bin", c.readChunk, &back));
        EXPECT_EQ(bytes.size(), back.size());
        EXPECT_TRUE(back == bytes);
    }

    // Small and large writes mixed keep their order.
    afc_file_ref ref = 0;
    ASSERT_EQ(0, AFCFileRefOpen(afc, "/var/mobile/Media/mixed.bin", kWriteOnly, &ref));
    size_t at = 0;
    for (size_t size : {size_t(1000), size_t(5u << 20), size_t(3000), size_t(9u << 20), size_t(2048)}) {
        ASSERT_EQ(0, AFCFileRefWrite(afc, ref, bytes.data() + at, static_cast<unsigned>(size)));
        at += size;
    }
    ASSERT_EQ(0, AFCFileRefClose(afc, ref));
    EXPECT_TRUE(HostBytes("/var/mobile/Media/mixed.bin") == bytes.substr(0, at));

    ASSERT_EQ(0, AFCFileRefOpen(afc, "/var/mobile/Media/part.bin", kWriteOnly, &ref));
    ASSERT_EQ(0, AFCFileRefWrite(afc, ref, bytes.data(), 5000));
    EXPECT_EQ("5000", Info("/var/mobile/Media/part.bin")["st_size"]) << "gathered writes go out before a request";
    EXPECT_EQ(0, AFCFileRefClose(afc, ref));
}

// A handle opened for reading and writing: a write after a read lands
// right after what the caller read, not after what was read ahead.
TEST_F(AfcClientTest, WriteAfterReadLandsWhereTheCallerIs) {
    const std::string bytes = Pattern(300000, 2);
    ASSERT_EQ(0, Put("/var/mobile/Media/rw.bin", bytes, 65536));
    afc_file_ref ref = 0;
    ASSERT_EQ(0, AFCFileRefOpen(afc, "/var/mobile/Media/rw.bin", kReadWrite, &ref));
    char head[10];
    unsigned length = sizeof head;
    ASSERT_EQ(0, AFCFileRefRead(afc, ref, head, &length));
    ASSERT_EQ(10u, length);
    ASSERT_EQ(0, AFCFileRefWrite(afc, ref, "XYZ", 3));
    length = sizeof head;
    ASSERT_EQ(0, AFCFileRefRead(afc, ref, head, &length));
    EXPECT_EQ(bytes.substr(13, 10), std::string(head, length));
    EXPECT_EQ(0, AFCFileRefClose(afc, ref));
    std::string expected = bytes;
    expected.replace(10, 3, "XYZ");
    EXPECT_TRUE(HostBytes("/var/mobile/Media/rw.bin") == expected);
}

// Sequential reads ask for the next piece before the caller needs it. Two
// files read in turns, other requests between them and a write in the
// middle of one still see every byte where the caller is.
TEST_F(AfcClientTest, ReadsAheadOfTheCallerKeepEachFilesPlace) {
    const std::string first = Pattern(1500000, 4), second = Pattern(700001, 5);
    ASSERT_EQ(0, Put("/var/mobile/Media/a.bin", first, 1 << 20));
    ASSERT_EQ(0, Put("/var/mobile/Media/b.bin", second, 1 << 20));
    afc_file_ref a = 0, b = 0;
    ASSERT_EQ(0, AFCFileRefOpen(afc, "/var/mobile/Media/a.bin", kReadWrite, &a));
    ASSERT_EQ(0, AFCFileRefOpen(afc, "/var/mobile/Media/b.bin", kReadOnly, &b));
    std::string gotA, gotB;
    char buffer[2048];
    auto readSome = [&](afc_file_ref ref, std::string* into) {
        unsigned length = sizeof buffer;
        EXPECT_EQ(0, AFCFileRefRead(afc, ref, buffer, &length));
        into->append(buffer, length);
        return length;
    };
    while (gotA.size() < 400000) {
        readSome(a, &gotA);
        readSome(b, &gotB);
        if (gotA.size() % (64 * 2048) == 0) {
            const std::vector<std::string> names = List("/var/mobile/Media");
            EXPECT_EQ(1, std::count(names.begin(), names.end(), "a.bin"));
        }
    }
    EXPECT_TRUE(gotA == first.substr(0, gotA.size()));
    ASSERT_EQ(0, AFCFileRefWrite(afc, a, "XYZ", 3));
    const size_t written = gotA.size();
    gotA.append("XYZ");
    while (readSome(a, &gotA) > 0) {
    }
    while (readSome(b, &gotB) > 0) {
    }
    EXPECT_EQ(0, AFCFileRefClose(afc, a));
    EXPECT_EQ(0, AFCFileRefClose(afc, b));
    std::string expected = first;
    expected.replace(written, 3, "XYZ");
    EXPECT_EQ(expected.size(), gotA.size());
    EXPECT_TRUE(gotA == expected);
    EXPECT_TRUE(HostBytes("/var/mobile/Media/a.bin") == expected);
    EXPECT_TRUE(gotB == second);

    // A file closed with a read still on its way leaves the connection in step.
    ASSERT_EQ(0, AFCFileRefOpen(afc, "/var/mobile/Media/a.bin", kReadOnly, &a));
    std::string head;
    while (head.size() < 70000)
        readSome(a, &head);
    EXPECT_EQ(0, AFCFileRefClose(afc, a));
    EXPECT_EQ("700001", Info("/var/mobile/Media/b.bin")["st_size"]);
}

TEST_F(AfcClientTest, UnknownHandlesAreRefused) {
    int dummy = 0;
    auto* bogus = reinterpret_cast<afc_connection*>(&dummy);
    afc_dictionary* list = nullptr;
    EXPECT_EQ(afc::kInvalidArgument, AFCDeviceInfoOpen(bogus, &list));
    EXPECT_EQ(afc::kInvalidArgument, AFCKeyValueClose(reinterpret_cast<afc_dictionary*>(&dummy)));
    char buffer[4];
    unsigned length = sizeof buffer;
    EXPECT_EQ(afc::kInvalidArgument, AFCFileRefRead(afc, 12345, buffer, &length));
    EXPECT_EQ(afc::kInvalidArgument, AFCFileRefClose(afc, 12345));

    // A folder belongs to the connection that opened it.
    auto other = Serve();
    afc_connection* second = OpenAfcConnection(PlainSocketPipe(other->client(), 10000));
    afc_directory* dir = nullptr;
    ASSERT_EQ(0, AFCDirectoryOpen(afc, "/var/mobile/Media", &dir));
    char* name = nullptr;
    EXPECT_EQ(afc::kInvalidArgument, AFCDirectoryRead(second, dir, &name));
    EXPECT_EQ(0, AFCConnectionClose(second));
    EXPECT_EQ(afc::kInvalidArgument, AFCConnectionClose(second));
    EXPECT_EQ(0, AFCDirectoryClose(afc, dir));
}

// The device unplugged in the middle of a download: the read that crosses
// the cut fails, soon, and so does everything after it.
TEST_F(AfcClientTest, UnplugMidReadFailsSoon) {
    ASSERT_EQ(0, Put("/var/mobile/Media/cut.bin", Pattern(6 * 1024 * 1024, 3), 1 << 20));
    std::string error;
    ASSERT_TRUE(simfarm::Farm(farm.folder()).SetFault(farm.udid(), simfarm::Fault::UnplugAfter, 1 << 20, &error))
        << error;
    const auto start = std::chrono::steady_clock::now();
    std::string back;
    EXPECT_NE(0, Get("/var/mobile/Media/cut.bin", 2048, &back));
    EXPECT_LT(back.size(), 6u * 1024 * 1024);
    afc_dictionary* list = nullptr;
    EXPECT_EQ(afc::kServiceNotConnected, AFCDeviceInfoOpen(afc, &list));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

// A thousand rounds of every kind of object the calls hand out leave none
// of them, and no handle, behind.
TEST_F(AfcClientTest, NothingLeaksOverAThousandRounds) {
    const std::string bytes = Pattern(5000, 4);
    // Files are the slow part on the farm: one round in ten moves one.
    auto round = [&](int i) {
        afc_dictionary* info = nullptr;
        afc_directory* dir = nullptr;
        afc_file_ref ref = 0;
        char buffer[4096];
        unsigned length = sizeof buffer;
        const bool file =
            i % 10 != 0 || (AFCFileRefOpen(afc, "/var/mobile/Media/leak/leak.bin", kReadWrite + 2, &ref) == 0 &&
                            AFCFileRefWrite(afc, ref, bytes.data(), static_cast<unsigned>(bytes.size())) == 0 &&
                            AFCFileRefRead(afc, ref, buffer, &length) == 0 && AFCFileRefClose(afc, ref) == 0);
        return file && AFCFileInfoOpen(afc, "/var/mobile/Media/leak/leak.bin", &info) == 0 &&
               AFCKeyValueClose(info) == 0 && AFCDirectoryOpen(afc, "/var/mobile/Media/leak", &dir) == 0 &&
               AFCDirectoryClose(afc, dir) == 0;
    };
    auto usage = [] {
        DWORD handles = 0;
        ::GetProcessHandleCount(::GetCurrentProcess(), &handles);
        return std::pair<size_t, DWORD>(LiveAfcObjects(), handles);
    };
    ASSERT_EQ(0, AFCDirectoryCreate(afc, "/var/mobile/Media/leak"));
    for (int i = 0; i < 50; ++i)
        ASSERT_TRUE(round(i)); // buffers and caches settle first
    const auto before = usage();
    for (int i = 0; i < 1000; ++i)
        ASSERT_TRUE(round(i)) << i;
    const auto after = usage();
    EXPECT_EQ(after.first, before.first) << "lists, listings and connections all given back";
    EXPECT_LE(after.second, before.second + 4);
}

// ---- scripted answers ----------------------------------------------------------

// Answers each request with the bytes `answer` makes of its header, then
// stays silent until the client goes.
class ScriptedService {
  public:
    using Answer = std::function<std::string(const afc::Header& request)>;
    explicit ScriptedService(Answer answer) {
        if (!wiretest::SocketPair(&m_server, &m_client))
            return;
        m_thread = std::thread([this, answer] {
            unsigned char head[afc::kHeaderSize];
            afc::Header h;
            while (Read(head, sizeof head) && afc::DecodeHeader(head, &h)) {
                std::string body(static_cast<size_t>(h.entireLength - afc::kHeaderSize), '\0');
                if (!Read(body.data(), body.size()))
                    break;
                std::string reply = answer(h);
                if (reply.empty() || ::send(m_server, reply.data(), static_cast<int>(reply.size()), 0) <= 0)
                    break;
            }
            char byte;
            ::recv(m_server, &byte, 1, 0); // until the client closes
        });
    }
    ~ScriptedService() {
        if (m_client != INVALID_SOCKET)
            ::closesocket(m_client);
        if (m_thread.joinable())
            m_thread.join();
        if (m_server != INVALID_SOCKET)
            ::closesocket(m_server);
    }
    SOCKET client() const { return m_client; }

    static std::string Packet(uint64_t operation, uint64_t number, const std::string& body, uint64_t entire = 0) {
        afc::Header h;
        h.operation = operation;
        h.number = number;
        h.thisLength = afc::kHeaderSize;
        h.entireLength = entire ? entire : afc::kHeaderSize + body.size();
        std::string bytes(afc::kHeaderSize, '\0');
        afc::EncodeHeader(h, reinterpret_cast<unsigned char*>(bytes.data()));
        return bytes + body;
    }

  private:
    bool Read(void* buffer, size_t size) {
        char* at = static_cast<char*>(buffer);
        while (size > 0) {
            int got = ::recv(m_server, at, static_cast<int>(size), 0);
            if (got <= 0)
                return false;
            at += got;
            size -= static_cast<size_t>(got);
        }
        return true;
    }

    SOCKET m_server = INVALID_SOCKET, m_client = INVALID_SOCKET;
    std::thread m_thread;
};

TEST(AfcHostileAnswers, EndInFailureWithoutHanging) {
    using S = ScriptedService;
    const std::string status0(8, '\0');
    struct Case {
        const char* what;
        S::Answer answer;
    } cases[] = {
        {"an oversized length", [](const afc::Header& r) { return S::Packet(afc::kData, r.number, "", 1ull << 40); }},
        {"a length beyond the text bound",
         [](const afc::Header& r) { return S::Packet(afc::kData, r.number, "", afc::kMostTextReply + 41); }},
        {"another packet number", [&](const afc::Header& r) { return S::Packet(afc::kData, r.number + 1, "a\0b", 0); }},
        {"a short header", [](const afc::Header&) { return std::string("CFA6LPAA\x30\0\0", 11); }},
        {"a wrong magic",
         [](const afc::Header& r) {
             std::string p = S::Packet(afc::kData, r.number, "x");
             p[0] = 'X';
             return p;
         }},
        {"this length above the whole length",
         [](const afc::Header& r) {
             std::string p = S::Packet(afc::kData, r.number, "");
             afc::PutLittle64(reinterpret_cast<unsigned char*>(p.data()) + 16, 1000);
             return p;
         }},
        {"a status without its code", [](const afc::Header& r) { return S::Packet(afc::kStatus, r.number, "\1"); }},
        {"a body cut short", [](const afc::Header& r) { return S::Packet(afc::kData, r.number, "abc", 1000); }},
        {"silence", [](const afc::Header&) { return std::string(); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        S service(c.answer);
        ASSERT_NE(INVALID_SOCKET, service.client());
        afc_connection* afc = OpenAfcConnection(PlainSocketPipe(service.client(), 500));
        const auto start = std::chrono::steady_clock::now();
        afc_dictionary* list = nullptr;
        EXPECT_NE(0, AFCFileInfoOpen(afc, "/x", &list));
        EXPECT_EQ(afc::kServiceNotConnected, AFCFileInfoOpen(afc, "/x", &list)) << "the connection is given up";
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
        AFCConnectionClose(afc);
    }

    // A write the device refuses after its call returned: the next write
    // that reaches the device, or the close, tells it.
    S refusing([](const afc::Header& r) {
        if (r.operation == afc::kFileOpen)
            return S::Packet(afc::kFileOpenResult, r.number, std::string("\7\0\0\0\0\0\0\0", 8));
        if (r.operation == afc::kFileWrite)
            return S::Packet(afc::kStatus, r.number, std::string("\22\0\0\0\0\0\0\0", 8)); // no space left
        return S::Packet(afc::kStatus, r.number, std::string(8, '\0'));
    });
    afc_connection* full = OpenAfcConnection(PlainSocketPipe(refusing.client(), 2000));
    for (size_t chunks : {size_t(1), size_t(3 * 4096)}) {
        SCOPED_TRACE(chunks);
        afc_file_ref file = 0;
        ASSERT_EQ(0, AFCFileRefOpen(full, "/f", kWriteOnly, &file));
        const std::string chunk(2048, 'w');
        int code = 0;
        for (size_t i = 0; i < chunks && code == 0; ++i)
            code = AFCFileRefWrite(full, file, chunk.data(), 2048);
        const int closed = AFCFileRefClose(full, file);
        EXPECT_EQ(18, code != 0 ? code : closed);
        if (chunks > 1) {
            EXPECT_EQ(18, code) << "a long upload stops at the first refusal, not at its close";
        }
    }
    AFCConnectionClose(full);

    // A read answered with more than it asked for.
    S greedy([](const afc::Header& r) {
        if (r.operation == afc::kFileOpen)
            return S::Packet(afc::kFileOpenResult, r.number, std::string("\7\0\0\0\0\0\0\0", 8));
        return S::Packet(afc::kData, r.number, std::string(70000, 'x'));
    });
    afc_connection* afc = OpenAfcConnection(PlainSocketPipe(greedy.client(), 500));
    afc_file_ref ref = 0;
    ASSERT_EQ(0, AFCFileRefOpen(afc, "/f", kReadOnly, &ref));
    EXPECT_EQ(7u, ref);
    std::string buffer(100, '\0');
    unsigned length = static_cast<unsigned>(buffer.size());
    EXPECT_NE(0, AFCFileRefRead(afc, ref, buffer.data(), &length));
    AFCConnectionClose(afc);
}

} // namespace
