// The multiplexer's address and its device list, asked within a bound: the
// request, the checks of a reply, the count of listed devices, and a fake
// multiplexer of the test's own that answers, stays silent or misbehaves.
#include "backend/backend.h"
#include "backend/multiplexer.h"
#include "platform/text.h"
#include "tests/support/fake_multiplexer.h"

#include <winsock2.h>

#include <gtest/gtest.h>

#include <array>
#include <cstring>

namespace {

using namespace backend;

std::string Narrow(const std::wstring& text) { return WideToUtf8(text.c_str()); }

TEST(Multiplexer, RequestIsAPropertyListMessageOfTheRightLength) {
    const std::string request = ListDevicesRequest(7);
    ASSERT_GT(request.size(), 16u);
    const auto* p = reinterpret_cast<const unsigned char*>(request.data());
    auto word = [&](int i) { return p[i] | (p[i + 1] << 8) | (p[i + 2] << 16) | (p[i + 3] << 24); };
    EXPECT_EQ(static_cast<size_t>(word(0)), request.size());
    EXPECT_EQ(word(4), 1);
    EXPECT_EQ(word(8), 8);
    EXPECT_EQ(word(12), 7);
    const std::string body = request.substr(16);
    for (const char* part : {"<key>MessageType</key>", "<string>ListDevices</string>", "<key>ProgName</key>",
                             "<key>ClientVersionString</key>", "<key>kLibUSBMuxVersion</key>", "<integer>3</integer>"})
        EXPECT_NE(body.find(part), std::string::npos) << part;
}

TEST(Multiplexer, ReplyHeaderMustMatch) {
    auto header = [](uint32_t length, uint32_t version, uint32_t message, uint32_t tag) {
        std::array<unsigned char, 16> h{};
        const uint32_t words[] = {length, version, message, tag};
        std::memcpy(h.data(), words, 16);
        return h;
    };
    EXPECT_EQ(ReplyLength(header(300, 1, 8, 5).data(), 5), 300u);
    EXPECT_EQ(ReplyLength(header(16, 1, 8, 5).data(), 5), 16u);
    EXPECT_EQ(ReplyLength(header(300, 1, 8, 6).data(), 5), 0u) << "another tag";
    EXPECT_EQ(ReplyLength(header(300, 0, 8, 5).data(), 5), 0u) << "binary protocol";
    EXPECT_EQ(ReplyLength(header(300, 1, 1, 5).data(), 5), 0u) << "a result message";
    EXPECT_EQ(ReplyLength(header(15, 1, 8, 5).data(), 5), 0u) << "shorter than its header";
    EXPECT_EQ(ReplyLength(header(kMaxMultiplexerMessage + 1, 1, 8, 5).data(), 5), 0u) << "too long";
}

std::string DeviceEntry(int id) { return testutil::FakeMultiplexer::DeviceEntry(id); }

TEST(Multiplexer, DevicesOfTheListAreCounted) {
    const std::string head = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!DOCTYPE plist PUBLIC \"-//Apple//DTD "
                             "PLIST 1.0//EN\" \"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n<plist "
                             "version=\"1.0\">\n";
    const struct {
        const char* what;
        std::string body;
        int expected;
    } cases[] = {
        {"two devices",
         head + "<dict><key>DeviceList</key><array>" + DeviceEntry(1) + DeviceEntry(2) + "</array></dict></plist>", 2},
        {"none", head + "<dict><key>DeviceList</key><array></array></dict></plist>", 0},
        {"none, empty element", head + "<dict><key>DeviceList</key><array/></dict></plist>", 0},
        {"other keys first, a comment",
         head +
             "<dict><!-- x --><key>Other</key><array><dict/></array>"
             "<key>DeviceList</key><array>" +
             DeviceEntry(3) + "</array></dict></plist>",
         1},
        {"no plist element", "<dict><key>DeviceList</key><array>" + DeviceEntry(1) + "</array></dict>", 1},
        {"a nested DeviceList does not count",
         head + "<dict><key>X</key><dict><key>DeviceList</key><array><dict/></array></dict></dict></plist>", -1},
        {"a result instead",
         head + "<dict><key>MessageType</key><string>Result</string><key>Number</key>"
                "<integer>1</integer></dict></plist>",
         -1},
        {"DeviceList not an array", head + "<dict><key>DeviceList</key><string>x</string></dict></plist>", -1},
        {"cut short", head + "<dict><key>DeviceList</key><array>" + DeviceEntry(1), -1},
        {"tags crossed", head + "<dict><key>DeviceList</key><array></dict></array></plist>", -1},
        {"an unended tag", head + "<dict><key>DeviceList</key><array", -1},
        {"deep nesting", head + std::string(5000, '<'), -1},
        {"binary list", "bplist00\xd1\x01\x02", -1},
        {"empty", "", -1},
    };
    for (const auto& c : cases)
        EXPECT_EQ(CountListedDevices(c.body), c.expected) << c.what;
    std::string deep = head + "<dict><key>DeviceList</key><array>";
    for (int i = 0; i < 100; ++i)
        deep += "<array>";
    EXPECT_EQ(CountListedDevices(deep), -1) << "nesting is bounded";
}

TEST(Multiplexer, AddressesAreSplit) {
    const struct {
        const wchar_t* address;
        bool ok;
        const char* host;
        const char* port;
    } cases[] = {
        {L"127.0.0.1:27015", true, "127.0.0.1", "27015"},
        {L"[::1]:27015", true, "::1", "27015"},
        {L"localhost:1", true, "localhost", "1"},
        {L"UNIX:/var/run/usbmuxd", false, "", ""},
        {L"127.0.0.1", false, "", ""},
        {L"127.0.0.1:", false, "", ""},
        {L":27015", false, "", ""},
        {L"127.0.0.1:65536", false, "", ""},
        {L"127.0.0.1:0", false, "", ""},
        {L"127.0.0.1:27x", false, "", ""},
        {L"::1:27015", false, "", ""},
        {L"[::1]27015", false, "", ""},
    };
    for (const auto& c : cases) {
        std::string host, port;
        std::wstring error;
        EXPECT_EQ(SplitMultiplexerAddress(c.address, &host, &port, &error), c.ok) << Narrow(c.address);
        if (c.ok) {
            EXPECT_EQ(host, c.host);
            EXPECT_EQ(port, c.port);
        } else {
            EXPECT_FALSE(error.empty());
        }
    }
}

using testutil::FakeMultiplexer;

TEST(Multiplexer, AskedForItsDevicesWithinTheTimeAllowed) {
    const struct {
        const char* what;
        FakeMultiplexer::Reply reply;
        int devices;
        bool answered;
    } cases[] = {
        {"three devices", FakeMultiplexer::Reply::DeviceList, 3, true},
        {"none", FakeMultiplexer::Reply::DeviceList, 0, true},
        {"silent", FakeMultiplexer::Reply::Silent, 0, false},
        {"another tag", FakeMultiplexer::Reply::WrongTag, 1, false},
        {"closes at once", FakeMultiplexer::Reply::CloseAtOnce, 0, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        FakeMultiplexer server(c.reply, c.devices);
        const DWORD start = ::GetTickCount();
        MultiplexerAnswer answer = AskMultiplexer(server.address(), 1000);
        const DWORD took = ::GetTickCount() - start;
        EXPECT_LT(took, 3000u);
        EXPECT_EQ(answer.address, server.address());
        EXPECT_EQ(answer.answered, c.answered) << Narrow(answer.problem);
        if (c.answered)
            EXPECT_EQ(std::make_pair(answer.devices, answer.problem), std::make_pair(c.devices, std::wstring()));
        else
            EXPECT_FALSE(answer.problem.empty());
    }
    // By name: whichever of its addresses listens.
    {
        FakeMultiplexer server(FakeMultiplexer::Reply::DeviceList, 1);
        const std::wstring address = server.address();
        MultiplexerAnswer answer = AskMultiplexer(L"localhost" + address.substr(address.find(L':')), 1000);
        EXPECT_TRUE(answer.answered) << Narrow(answer.problem);
        EXPECT_EQ(answer.devices, 1);
    }
    // Nothing listening: a port just given back.
    std::wstring closed;
    {
        FakeMultiplexer server(FakeMultiplexer::Reply::CloseAtOnce, 0);
        closed = server.address();
        AskMultiplexer(closed, 500);
    }
    MultiplexerAnswer answer = AskMultiplexer(closed, 1000);
    EXPECT_FALSE(answer.answered);
    EXPECT_FALSE(answer.problem.empty());
}

} // namespace
