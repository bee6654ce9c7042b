// Faults set per device make exactly the matching call fail; counted
// faults cut reads, writes and the device itself after so many bytes, and
// listings after so many names.
#include "tests/sim/farm/device_fixture.h"

#include "platform/text.h"

namespace simtest {
namespace {

class FaultTest : public DeviceTest {
  protected:
    // Reads `path`'s listing until its end or a failed read: the names read,
    // and in `*last` the status of the last read (0 at the end).
    std::vector<std::string> ReadListing(afc_connection* connection, const char* path, int* last) {
        std::vector<std::string> names;
        afc_directory* dir = nullptr;
        *last = md().AFCDirectoryOpen(connection, path, &dir);
        if (*last != 0)
            return names;
        char* name = nullptr;
        while ((*last = md().AFCDirectoryRead(connection, dir, &name)) == 0 && name)
            names.push_back(name);
        md().AFCDirectoryClose(connection, dir);
        return names;
    }
    // A new device with the folder /var/mobile/Media/two holding the files
    // a and b; its file connection, null on failure.
    afc_connection* TwoFiles(std::wstring* id) {
        *id = farm->Create(testfarm::kIPhone4S);
        am_device* device = Announced(*id);
        afc_connection* connection = device ? OpenAfc(device, "com.apple.afc2") : nullptr;
        if (!connection)
            return nullptr;
        if (md().AFCDirectoryCreate(connection, "/var/mobile/Media/two") != 0 ||
            WriteFile(connection, "/var/mobile/Media/two/a", "a") != 0 ||
            WriteFile(connection, "/var/mobile/Media/two/b", "b") != 0) {
            md().AFCConnectionClose(connection);
            return nullptr;
        }
        return connection;
    }
};

// Which step of a device exchange fails.
enum class Step { Connect, Validate, Session, Afc2, Afc, AfcConnection, DeviceInfo, Lookup, Install, None };

TEST_F(FaultTest, EachSwitchFaultBreaksItsStep) {
    struct Case {
        const wchar_t* fault;
        Step fails;
    } cases[] = {
        {L"connect", Step::Connect},
        {L"pair", Step::Validate},
        {L"session", Step::Session},
        {L"afc2", Step::Afc2},
        {L"afc", Step::Afc},
        {L"afc-connection", Step::AfcConnection},
        {L"device-info", Step::DeviceInfo},
        {L"lookup", Step::Lookup},
        {L"install", Step::Install},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(WideToUtf8(c.fault));
        std::wstring id = farm->Create(testfarm::kIPhone4S);
        am_device* device = Announced(id);
        ASSERT_NE(device, nullptr);
        ASSERT_TRUE(farm->SetFault(id, c.fault));

        Step failed = Step::None;
        auto run = [&]() {
            if (md().AMDeviceConnect(device) != 0)
                return Step::Connect;
            if (!md().AMDeviceIsPaired(device))
                md().AMDevicePair(device);
            if (md().AMDeviceValidatePairing(device) != 0)
                return Step::Validate;
            if (md().AMDeviceStartSession(device) != 0)
                return Step::Session;
            CFDictionaryRef apps = nullptr;
            if (md().AMDeviceLookupApplications(device, nullptr, &apps) != 0)
                return Step::Lookup;
            cf().CFRelease(apps);
            Owned bundle(cf(), cf().String("com.tencent.xin"));
            if (md().AMDeviceSecureUninstallApplication(0, device, static_cast<CFStringRef>(bundle.get()), nullptr,
                                                        nullptr, nullptr) != 0)
                return Step::Install;
            SOCKET s2 = INVALID_SOCKET, s = INVALID_SOCKET;
            Owned afc2(cf(), cf().String("com.apple.afc2"));
            Owned afc(cf(), cf().String("com.apple.afc"));
            bool privileged =
                md().AMDeviceStartService(device, static_cast<CFStringRef>(afc2.get()), &s2, nullptr) == 0;
            bool ordinary = md().AMDeviceStartService(device, static_cast<CFStringRef>(afc.get()), &s, nullptr) == 0;
            if (privileged)
                sockets.push_back(s2);
            if (ordinary)
                sockets.push_back(s);
            if (!privileged)
                return Step::Afc2;
            if (!ordinary)
                return Step::Afc;
            afc_connection* connection = nullptr;
            if (md().AFCConnectionOpen(s2, 0, &connection) != 0)
                return Step::AfcConnection;
            afc_dictionary* info = nullptr;
            int status = md().AFCDeviceInfoOpen(connection, &info);
            if (status == 0)
                md().AFCKeyValueClose(info);
            // Everything else of the file service still works.
            EXPECT_FALSE(List(connection, "/").empty());
            md().AFCConnectionClose(connection);
            return status != 0 ? Step::DeviceInfo : Step::None;
        };
        failed = run();
        CloseSession(device);
        EXPECT_EQ(static_cast<int>(failed), static_cast<int>(c.fails));

        // Cleared, the same exchange goes through.
        ASSERT_TRUE(farm->ClearFaults(id));
        EXPECT_TRUE(OpenSession(device));
        CloseSession(device);
        ASSERT_TRUE(farm->Remove(id));
    }
}

TEST_F(FaultTest, ReadsFailAfterTheCount) {
    std::wstring id = farm->Create(testfarm::kIPhone4S);
    am_device* device = Announced(id);
    ASSERT_NE(device, nullptr);
    afc_connection* connection = OpenAfc(device, "com.apple.afc2");
    ASSERT_NE(connection, nullptr);
    std::string content(10000, 'r');
    ASSERT_EQ(WriteFile(connection, "/var/mobile/Media/big.bin", content), 0);
    ASSERT_TRUE(farm->SetFault(id, L"read-after", 5000));
    std::string got;
    EXPECT_NE(ReadFile(connection, "/var/mobile/Media/big.bin", &got), 0);
    EXPECT_EQ(got.size(), 5000u) << "what came before the fault arrived";
    ASSERT_TRUE(farm->SetFault(id, L"read-after", 0));
    EXPECT_EQ(ReadFile(connection, "/var/mobile/Media/big.bin", &got), 0);
    EXPECT_EQ(got, content);
    md().AFCConnectionClose(connection);
}

TEST_F(FaultTest, ListingsFailAfterTheCountOfNames) {
    std::wstring id;
    afc_connection* connection = TwoFiles(&id);
    ASSERT_NE(connection, nullptr);
    // ".", "..", "a", "b": four names, then the end.
    struct Case {
        long long count;
        size_t names;    // delivered before the listing stops
        bool endIsRead;  // the listing ends rather than fails
        size_t nextTime; // names a second listing still gets
    } cases[] = {{3, 3, false, 0}, {4, 4, false, 0}, {5, 4, true, 1}, {9, 4, true, 4}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.count);
        ASSERT_TRUE(farm->SetFault(id, L"list-after", c.count));
        int last = -1;
        EXPECT_EQ(ReadListing(connection, "/var/mobile/Media/two", &last).size(), c.names);
        EXPECT_EQ(last == 0, c.endIsRead) << last;
        EXPECT_EQ(ReadListing(connection, "/var/mobile/Media/two", &last).size(), c.nextTime);
        // File contents are not counted, and the device stays.
        std::string got;
        EXPECT_EQ(ReadFile(connection, "/var/mobile/Media/two/a", &got), 0);
        EXPECT_EQ(got, "a");
    }
    ASSERT_TRUE(farm->SetFault(id, L"list-after", 0));
    EXPECT_EQ(List(connection, "/var/mobile/Media/two").size(), 4u);
    md().AFCConnectionClose(connection);
}

TEST_F(FaultTest, UnplugInTheMiddleOfAListing) {
    std::wstring id;
    afc_connection* connection = TwoFiles(&id);
    ASSERT_NE(connection, nullptr);
    ASSERT_TRUE(farm->SetFault(id, L"unplug-list-after", 3));
    int last = 0;
    EXPECT_EQ(ReadListing(connection, "/var/mobile/Media/two", &last).size(), 3u);
    EXPECT_NE(last, 0) << "the device goes at the fourth read";
    ASSERT_TRUE(announcements.WaitFor(2, 2000));
    EXPECT_EQ(announcements.Snapshot()[1].second, ADNCI_MSG_DISCONNECTED);
    EXPECT_NE(md().AFCRemovePath(connection, "/var/mobile/Media/two/b"), 0);
    md().AFCConnectionClose(connection);

    // Spent: plugged in again, the folder lists whole.
    ASSERT_TRUE(farm->Attach(id));
    ASSERT_TRUE(announcements.WaitFor(3, 2000));
    afc_connection* second = OpenAfc(announcements.Snapshot()[2].first, "com.apple.afc2");
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(List(second, "/var/mobile/Media/two").size(), 4u);
    md().AFCConnectionClose(second);
}

TEST_F(FaultTest, WritesFailAfterTheCountAcrossFiles) {
    std::wstring id = farm->Create(testfarm::kIPhone4S);
    am_device* device = Announced(id);
    ASSERT_NE(device, nullptr);
    afc_connection* connection = OpenAfc(device, "com.apple.afc2");
    ASSERT_NE(connection, nullptr);
    ASSERT_TRUE(farm->SetFault(id, L"write-after", 5000));
    EXPECT_EQ(WriteFile(connection, "/var/mobile/Media/one.bin", std::string(3000, '1')), 0);
    EXPECT_NE(WriteFile(connection, "/var/mobile/Media/two.bin", std::string(3000, '2')), 0);
    EXPECT_NE(WriteFile(connection, "/var/mobile/Media/three.bin", std::string(10, '3')), 0);
    EXPECT_EQ(Info(connection, "/var/mobile/Media/one.bin")["st_size"], "3000");
    EXPECT_EQ(Info(connection, "/var/mobile/Media/two.bin")["st_size"], "2000") << "the partial file stays";
    EXPECT_EQ(Info(connection, "/var/mobile/Media/three.bin")["st_size"], "0");
    md().AFCConnectionClose(connection);
}

TEST_F(FaultTest, LatencyDelaysEveryFileRequestUntilCleared) {
    std::wstring id = farm->Create(testfarm::kIPhone4S);
    am_device* device = Announced(id);
    ASSERT_NE(device, nullptr);
    afc_connection* connection = OpenAfc(device, "com.apple.afc2");
    ASSERT_NE(connection, nullptr);
    ASSERT_TRUE(farm->SetFault(id, L"latency", 400));
    // Open, write and close: three requests, each answered 400 ms later.
    DWORD start = ::GetTickCount();
    ASSERT_EQ(WriteFile(connection, "/var/mobile/Media/slow.bin", std::string(100, 's')), 0);
    EXPECT_GE(::GetTickCount() - start, 3 * 400u - 50);
    ASSERT_TRUE(farm->SetFault(id, L"latency", 0));
    start = ::GetTickCount();
    EXPECT_EQ(Info(connection, "/var/mobile/Media/slow.bin")["st_size"], "100");
    EXPECT_LT(::GetTickCount() - start, 400u) << "cleared";
    md().AFCConnectionClose(connection);
}

TEST_F(FaultTest, UnplugInTheMiddleOfAWrite) {
    std::wstring id = farm->Create(testfarm::kIPhone4S);
    am_device* device = Announced(id);
    ASSERT_NE(device, nullptr);
    afc_connection* connection = OpenAfc(device, "com.apple.afc2");
    ASSERT_NE(connection, nullptr);
    ASSERT_TRUE(farm->SetFault(id, L"unplug-after", 5000));
    afc_file_ref ref = 0;
    ASSERT_EQ(md().AFCFileRefOpen(connection, "/var/root/Media/Cydia/AutoInstall/Quillon.deb", AFC_FOPEN_WRONLY, &ref),
              0);
    std::string chunk(2048, 'd');
    EXPECT_EQ(md().AFCFileRefWrite(connection, ref, chunk.data(), 2048), 0);
    EXPECT_EQ(md().AFCFileRefWrite(connection, ref, chunk.data(), 2048), 0);
    EXPECT_NE(md().AFCFileRefWrite(connection, ref, chunk.data(), 2048), 0) << "the device goes during this one";
    EXPECT_NE(md().AFCFileRefWrite(connection, ref, chunk.data(), 2048), 0);
    EXPECT_NE(md().AFCFileRefClose(connection, ref), 0);

    // The removal is announced, and the device is unplugged in the farm.
    ASSERT_TRUE(announcements.WaitFor(2, 2000));
    auto events = announcements.Snapshot();
    EXPECT_EQ(events[1].first, device);
    EXPECT_EQ(events[1].second, ADNCI_MSG_DISCONNECTED);
    EXPECT_NE(md().AMDeviceConnect(device), 0);
    md().AFCConnectionClose(connection);

    // What reached the device before the cut stays there; the fault has
    // fired and does not come back with the next connection.
    std::string partial;
    ASSERT_TRUE(
        testutil::ReadFileBytes(farm->HostPath(id, L"/var/root/Media/Cydia/AutoInstall/Quillon.deb"), &partial));
    EXPECT_EQ(partial.size(), 5000u);
    ASSERT_TRUE(farm->Attach(id));
    ASSERT_TRUE(announcements.WaitFor(3, 2000));
    am_device* again = announcements.Snapshot()[2].first;
    afc_connection* second = OpenAfc(again, "com.apple.afc2");
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(WriteFile(second, "/var/mobile/Media/after.bin", std::string(8000, 'a')), 0);
    md().AFCConnectionClose(second);
}

} // namespace
} // namespace simtest
