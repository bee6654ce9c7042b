// The file service on the wire: operations, the confined tree, faults and
// bad packets, on the same farm the stand-in library serves.
#include "sim/farm/status.h"
#include "sim/wire/afc_protocol.h"
#include "tests/sim/wire/wire_fixture.h"
#include "tests/support/test_util.h"

#include "platform/text.h"

#include <map>

namespace wiretest {
namespace {

using namespace simwire::afc;
using C = AfcClient;

std::map<std::string, std::string> Pairs(const std::vector<std::string>& texts) {
    std::map<std::string, std::string> pairs;
    for (size_t i = 0; i + 1 < texts.size(); i += 2)
        pairs[texts[i]] = texts[i + 1];
    return pairs;
}

class AfcWireTest : public WireTest {
  protected:
    std::string HostBytes(const wchar_t* devicePath) {
        std::string bytes;
        testutil::ReadFileBytes(farm->HostPath(udid, devicePath), &bytes);
        return bytes;
    }
    bool Attached() { return simfarm::IsAttached(Description()); }
};

TEST_F(AfcWireTest, FilesWrittenReadAndEditedOnTheWholeTree) {
    auto served = ServeFiles(true);
    C afc(served->client());
    ASSERT_EQ(0, afc.StatusOf(kMakeDirectory, C::Z("/private/var/mobile/Media/w")));
    uint64_t handle = 0;
    ASSERT_EQ(0, afc.Open("/var/mobile/Media/w/a.bin", simfarm::kModeReadWriteTruncate, &handle));
    std::string bytes;
    for (int i = 0; i < 70000; ++i)
        bytes += static_cast<char>(i * 7);
    EXPECT_EQ(0, afc.Write(handle, bytes.substr(0, 40000)));
    EXPECT_EQ(0, afc.Write(handle, bytes.substr(40000)));
    // Seek and tell see the client's own writes; reads come back byte for byte.
    AfcReply tell = afc.Call(kFileTell, C::U64(handle));
    EXPECT_EQ(kFileTellResult, tell.operation);
    EXPECT_EQ(70000u, tell.number64());
    EXPECT_EQ(0, afc.StatusOf(kFileSeek, C::U64(handle) + C::U64(0) + C::U64(100)));
    std::string back;
    EXPECT_EQ(0, afc.Read(handle, 1000, &back));
    EXPECT_EQ(bytes.substr(100, 1000), back);
    EXPECT_EQ(0, afc.StatusOf(kFileSeek, C::U64(handle) + C::U64(2) + C::U64(static_cast<uint64_t>(-10))));
    EXPECT_EQ(0, afc.Read(handle, 1000, &back));
    EXPECT_EQ(bytes.substr(69990), back);
    EXPECT_EQ(0, afc.Read(handle, 1000, &back));
    EXPECT_EQ("", back) << "the end of the file is an empty answer";
    EXPECT_EQ(0, afc.StatusOf(kFileLock, C::U64(handle) + C::U64(2 | 4)));
    EXPECT_EQ(0, afc.StatusOf(kFileSetSize, C::U64(handle) + C::U64(5000)));
    EXPECT_EQ(simfarm::kAfcNoSpaceLeft, afc.StatusOf(kFileSetSize, C::U64(handle) + C::U64(1ull << 50)))
        << "no file grows beyond the device's free space";
    EXPECT_EQ(0, afc.Close(handle));
    EXPECT_EQ(bytes.substr(0, 5000), HostBytes(L"/var/mobile/Media/w/a.bin"));

    std::vector<std::string> texts;
    ASSERT_EQ(0, afc.Texts(kGetFileInfo, "/var/mobile/Media/w/a.bin", &texts));
    auto info = Pairs(texts);
    EXPECT_EQ("5000", info["st_size"]);
    EXPECT_EQ("S_IFREG", info["st_ifmt"]);
    // Modification time in nanoseconds, set and read back.
    EXPECT_EQ(0, afc.StatusOf(kSetFileTime, C::U64(1300000000ull * 1000000000ull) + C::Z("/var/mobile/Media/w/a.bin")));
    ASSERT_EQ(0, afc.Texts(kGetFileInfo, "/var/mobile/Media/w/a.bin", &texts));
    EXPECT_EQ("1300000000000000000", Pairs(texts)["st_mtime"]);

    // Links: a symbolic one is listed by name and reported as a link; a hard one shares the bytes.
    EXPECT_EQ(0, afc.StatusOf(kMakeLink, C::U64(kSymbolicLink) + C::Z("a.bin") + C::Z("/var/mobile/Media/w/s")));
    EXPECT_EQ(0, afc.StatusOf(kMakeLink,
                              C::U64(kHardLink) + C::Z("/var/mobile/Media/w/a.bin") + C::Z("/var/mobile/Media/w/h")));
    ASSERT_EQ(0, afc.Texts(kGetFileInfo, "/var/mobile/Media/w/s", &texts));
    EXPECT_EQ("S_IFLNK", Pairs(texts)["st_ifmt"]);
    EXPECT_EQ("a.bin", Pairs(texts)["LinkTarget"]);
    EXPECT_EQ(bytes.substr(0, 5000), HostBytes(L"/var/mobile/Media/w/h"));
    ASSERT_EQ(0, afc.Texts(kReadDirectory, "/var/mobile/Media/w", &texts));
    EXPECT_EQ((std::vector<std::string>{".", "..", "a.bin", "h", "s"}), texts);

    EXPECT_EQ(0, afc.StatusOf(kRenamePath, C::Z("/var/mobile/Media/w/h") + C::Z("/var/mobile/Media/w/h2")));
    EXPECT_EQ(0, afc.StatusOf(kRemovePath, C::Z("/var/mobile/Media/w/h2")));
    EXPECT_EQ(simfarm::kAfcDirectoryNotEmpty, afc.StatusOf(kRemovePath, C::Z("/var/mobile/Media/w")));
    EXPECT_EQ(0, afc.StatusOf(kRemovePathAndContents, C::Z("/var/mobile/Media/w")));
    EXPECT_EQ(simfarm::kAfcObjectNotFound, afc.Texts(kGetFileInfo, "/var/mobile/Media/w", &texts));
    EXPECT_EQ(simfarm::kAfcPermissionDenied, afc.StatusOf(kRemovePathAndContents, C::Z("/")));
}

TEST_F(AfcWireTest, RepliesCarryTheRequestNumberAndDeviceInformation) {
    auto served = ServeFiles(true);
    C afc(served->client());
    afc.Call(kMakeDirectory, C::Z("/tmp/x")); // number 0
    AfcReply reply = afc.Call(kGetDeviceInfo, "");
    EXPECT_EQ(1u, reply.number);
    std::vector<std::string> texts;
    ASSERT_EQ(0, afc.Texts(kGetDeviceInfo, "", &texts));
    auto info = Pairs(texts);
    EXPECT_EQ("iPhone4,1", info["Model"]);
    EXPECT_FALSE(info["FSTotalBytes"].empty());
    EXPECT_FALSE(info["FSBlockSize"].empty());
}

TEST_F(AfcWireTest, OrdinaryServiceIsConfinedToTheMediaArea) {
    auto served = ServeFiles(false);
    C afc(served->client());
    uint64_t handle = 0;
    ASSERT_EQ(0, afc.Open("../../../x.txt", simfarm::kModeWriteTruncate, &handle));
    EXPECT_EQ(0, afc.Write(handle, "media"));
    EXPECT_EQ(0, afc.Close(handle));
    EXPECT_EQ("media", HostBytes(L"/var/mobile/Media/x.txt"));
    std::vector<std::string> texts;
    ASSERT_EQ(0, afc.Texts(kReadDirectory, "/", &texts));
    EXPECT_NE(std::find(texts.begin(), texts.end(), "PublicStaging"), texts.end());
    EXPECT_EQ(simfarm::kAfcObjectNotFound, afc.Texts(kGetFileInfo, "/private/etc", &texts));
    // A link that points above the served root leads nowhere outside it.
    EXPECT_EQ(0, afc.StatusOf(kMakeLink, C::U64(kSymbolicLink) + C::Z("/../../../etc") + C::Z("up")));
    EXPECT_NE(0, afc.Texts(kReadDirectory, "/up/ssh", &texts));
}

TEST_F(AfcWireTest, RefusalsAnswerWithTheFileServiceCodes) {
    ASSERT_TRUE(testutil::WriteFileBytes(farm->HostPath(udid, L"/tmp/ro.txt"), "read only"));
    auto served = ServeFiles(true);
    C afc(served->client());
    uint64_t readOnly = 0;
    ASSERT_EQ(0, afc.Open("/tmp/ro.txt", simfarm::kModeRead, &readOnly));
    uint64_t ignored = 0;
    std::string data;
    struct Case {
        const char* what;
        int64_t status;
    } cases[] = {
        {"missing file", afc.Open("/nope/file", simfarm::kModeRead, &ignored)},
        {"open mode 9", afc.Open("/tmp/m", 9, &ignored)},
        {"name the PC cannot keep", afc.Open("/tmp/a:b", simfarm::kModeWriteTruncate, &ignored)},
        {"link-file suffix", afc.StatusOf(kMakeDirectory, C::Z("/tmp/d.symlink"))},
        {"write to a read-only file", afc.Write(readOnly, "x")},
        {"unknown handle", afc.Read(12345, 10, &data)},
        {"short parameters", afc.StatusOf(kFileRead, C::U64(readOnly))},
        {"unknown operation", afc.StatusOf(0x55, "")},
        {"a reply sent as a request", afc.StatusOf(kStatus, C::U64(0))},
        {"hard link to a folder", afc.StatusOf(kMakeLink, C::U64(kHardLink) + C::Z("/tmp") + C::Z("/tmp2"))},
        {"link of unknown kind", afc.StatusOf(kMakeLink, C::U64(7) + C::Z("/tmp") + C::Z("/tmp3"))},
    };
    const int64_t expected[] = {
        simfarm::kAfcObjectNotFound,    simfarm::kAfcInvalidArgument,  simfarm::kAfcInvalidArgument,
        simfarm::kAfcInvalidArgument,   simfarm::kAfcPermissionDenied, simfarm::kAfcInvalidArgument,
        simfarm::kAfcInvalidArgument,   simfarm::kAfcNotSupported,     simfarm::kAfcNotSupported,
        simfarm::kAfcObjectIsDirectory, simfarm::kAfcInvalidArgument};
    for (size_t i = 0; i < std::size(cases); ++i)
        EXPECT_EQ(expected[i], cases[i].status) << cases[i].what;
    // The connection still serves.
    EXPECT_EQ(0, afc.Close(readOnly));
}

TEST_F(AfcWireTest, ReadAndWriteFaultsGiveErrorCodes) {
    const std::string content(4096, 'r');
    ASSERT_TRUE(testutil::WriteFileBytes(farm->HostPath(udid, L"/tmp/in.bin"), content));
    ASSERT_TRUE(farm->SetFault(udid, L"read-after", 1000));
    ASSERT_TRUE(farm->SetFault(udid, L"write-after", 3000));
    auto served = ServeFiles(true);
    C afc(served->client());
    uint64_t in = 0, out = 0;
    ASSERT_EQ(0, afc.Open("/tmp/in.bin", simfarm::kModeRead, &in));
    std::string data;
    EXPECT_EQ(0, afc.Read(in, 4096, &data));
    EXPECT_EQ(1000u, data.size()) << "the fault lets 1000 bytes through";
    EXPECT_EQ(simfarm::kAfcReadError, afc.Read(in, 4096, &data));
    ASSERT_EQ(0, afc.Open("/tmp/out.bin", simfarm::kModeWriteTruncate, &out));
    EXPECT_EQ(0, afc.Write(out, std::string(2000, 'w')));
    EXPECT_EQ(simfarm::kAfcWriteError, afc.Write(out, std::string(2000, 'w')));
    EXPECT_EQ(simfarm::kAfcWriteError, afc.Write(out, "more"));
    EXPECT_EQ(0, afc.Close(out));
    EXPECT_EQ(3000u, HostBytes(L"/tmp/out.bin").size()) << "what the fault let through is kept";
}

// A listing is one answer: the listing faults fail it whole, the end of a
// listing counting as a read.
TEST_F(AfcWireTest, ListingFaultsFailOrUnplug) {
    ASSERT_TRUE(farm->SetFault(udid, L"list-after", 5));
    auto served = ServeFiles(true);
    C afc(served->client());
    ASSERT_EQ(0, afc.StatusOf(kMakeDirectory, C::Z("/tmp/l")));
    ASSERT_EQ(0, afc.StatusOf(kMakeDirectory, C::Z("/tmp/l/a")));
    ASSERT_EQ(0, afc.StatusOf(kMakeDirectory, C::Z("/tmp/l/b")));
    std::vector<std::string> texts;
    EXPECT_EQ(0, afc.Texts(kReadDirectory, "/tmp/l", &texts)) << "four names and the end fit in five";
    EXPECT_EQ(4u, texts.size());
    EXPECT_EQ(simfarm::kAfcReadError, afc.Texts(kReadDirectory, "/tmp/l", &texts));
    ASSERT_TRUE(farm->ClearFaults(udid));
    ASSERT_TRUE(farm->SetFault(udid, L"unplug-list-after", 2));
    EXPECT_FALSE(afc.Call(kReadDirectory, C::Z("/tmp/l")).received);
    EXPECT_TRUE(served->WaitFinished(5000));
    EXPECT_FALSE(Attached());
    EXPECT_EQ(0, simfarm::FaultAmount(Description(), simfarm::Fault::UnplugListAfter)) << "the fault is spent";
}

TEST_F(AfcWireTest, DeviceInformationFaultAndLatency) {
    ASSERT_TRUE(farm->SetFault(udid, L"device-info"));
    ASSERT_TRUE(farm->SetFault(udid, L"latency", 300));
    auto served = ServeFiles(true);
    C afc(served->client());
    DWORD start = ::GetTickCount();
    EXPECT_EQ(simfarm::kAfcIoError, afc.StatusOf(kGetDeviceInfo, ""));
    EXPECT_EQ(0, afc.StatusOf(kMakeDirectory, C::Z("/tmp/slow")));
    EXPECT_GE(::GetTickCount() - start, 600u) << "each reply comes 300 ms later";
}

TEST_F(AfcWireTest, UnplugAfterClosesTheConnectionAndDetachesTheDevice) {
    ASSERT_TRUE(farm->SetFault(udid, L"unplug-after", 5000));
    auto served = ServeFiles(true);
    C afc(served->client());
    uint64_t out = 0;
    ASSERT_EQ(0, afc.Open("/tmp/cut.bin", simfarm::kModeWriteTruncate, &out));
    EXPECT_EQ(0, afc.Write(out, std::string(4000, 'u')));
    EXPECT_TRUE(Attached());
    EXPECT_FALSE(afc.Call(kFileWrite, C::U64(out), std::string(4000, 'u')).received);
    EXPECT_TRUE(served->WaitFinished(5000)) << "the service returns with the device gone";
    EXPECT_FALSE(Attached());
    EXPECT_EQ(5000u, HostBytes(L"/tmp/cut.bin").size());
    EXPECT_EQ(0, simfarm::FaultAmount(Description(), simfarm::Fault::UnplugAfter)) << "the fault is spent";
}

TEST_F(AfcWireTest, ServiceEndsWhenTheDeviceIsUnpluggedOrRefusesConnections) {
    {
        auto served = ServeFiles(true);
        C afc(served->client());
        EXPECT_EQ(0, afc.StatusOf(kMakeDirectory, C::Z("/tmp/p")));
        ASSERT_TRUE(farm->Detach(udid));
        EXPECT_FALSE(afc.Call(kMakeDirectory, C::Z("/tmp/q")).received);
        EXPECT_TRUE(served->WaitFinished(5000));
    }
    ASSERT_TRUE(farm->Attach(udid));
    ASSERT_TRUE(farm->SetFault(udid, L"afc-connection"));
    auto served = ServeFiles(true);
    EXPECT_TRUE(served->WaitFinished(5000));
}

// Packets that cannot be framed close the connection; the service returns.
TEST_F(AfcWireTest, UnframablePacketsCloseTheConnection) {
    struct Case {
        const char* what;
        std::string bytes;
    };
    auto header = [](const char* magic, uint64_t entire, uint64_t self) {
        std::string h(magic, 8);
        return h + C::U64(entire) + C::U64(self) + C::U64(1) + C::U64(kMakeDirectory);
    };
    const Case cases[] = {
        {"wrong magic", header("CFA6LPAB", 48, 48) + std::string(8, 'a')},
        {"this length below the header", header("CFA6LPAA", 48, 20) + std::string(8, 'a')},
        {"this length above the whole", header("CFA6LPAA", 48, 60) + std::string(8, 'a')},
        {"4 GiB announced", header("CFA6LPAA", 0x100000000ull, 48)},
        {"largest length", header("CFA6LPAA", ~0ull, ~0ull)},
        {"cut packet", header("CFA6LPAA", 100, 100) + "/tmp"},
        {"cut header", std::string("CFA6LPAA", 8) + C::U64(48)},
    };
    for (const Case& c : cases) {
        auto served = ServeFiles(true);
        ASSERT_EQ(static_cast<int>(c.bytes.size()),
                  ::send(served->client(), c.bytes.data(), static_cast<int>(c.bytes.size()), 0));
        ::shutdown(served->client(), SD_SEND);
        EXPECT_TRUE(served->WaitFinished(5000)) << c.what;
        C afc(served->client());
        EXPECT_FALSE(afc.Receive().received) << c.what;
    }
}

// One farm, two ways in: what the stand-in library writes reads back over
// the wire byte for byte, and the reverse.
TEST_F(AfcWireTest, StandInAndWireShareTheFiles) {
    am_device* device = Announced(udid);
    ASSERT_NE(nullptr, device);
    afc_connection* library = OpenAfc(device, "com.apple.afc");
    ASSERT_NE(nullptr, library);
    std::string bytes;
    for (int i = 0; i < 300000; ++i)
        bytes += static_cast<char>((i * 31) ^ (i >> 8));
    ASSERT_EQ(0, WriteFile(library, "/up.bin", bytes));

    auto served = ServeFiles(false);
    C afc(served->client());
    uint64_t handle = 0;
    ASSERT_EQ(0, afc.Open("/up.bin", simfarm::kModeRead, &handle));
    std::string back, chunk;
    while (afc.Read(handle, 65536, &chunk) == 0 && !chunk.empty())
        back += chunk;
    EXPECT_TRUE(back == bytes) << back.size() << " bytes read back";
    ASSERT_EQ(0, afc.Open("/down.bin", simfarm::kModeWriteTruncate, &handle));
    ASSERT_EQ(0, afc.Write(handle, bytes));
    ASSERT_EQ(0, afc.Close(handle));
    std::string read;
    ASSERT_EQ(0, ReadFile(library, "/down.bin", &read));
    EXPECT_TRUE(read == bytes);
    md().AFCConnectionClose(library);
}

} // namespace
} // namespace wiretest
