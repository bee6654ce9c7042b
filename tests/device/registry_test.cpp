// The device list: arrivals and removals relayed as identifiers, FindDevice,
// and listening started and stopped, against the simulated farm.
#include "tests/device/registry_fixture.h"

#include <cwctype>

namespace {

using testutil::EventLog;
using testutil::RegistryTest;
using Events = std::vector<std::wstring>;

TEST_F(RegistryTest, TwoDevicesTheFirstRemoved) {
    ASSERT_EQ(StartListeningDeviceConnections(OnArrived, OnRemoved), 1);
    std::wstring first = m_farm->Create(testfarm::kIPhone4S);
    ASSERT_TRUE(s_arrived.WaitForCount(1));
    std::wstring second = m_farm->Create(testfarm::kIPad2);
    ASSERT_TRUE(s_arrived.WaitForCount(2));
    EXPECT_EQ(s_arrived.Events(), (Events{first, second}));

    ASSERT_TRUE(m_farm->Detach(first));
    ASSERT_TRUE(s_removed.WaitForCount(1));
    EXPECT_TRUE(GoneFromTheList(first));
    Settle();
    EXPECT_EQ(s_removed.Events(), Events{first});
    DeviceRef found = FindDevice(second.c_str());
    ASSERT_TRUE(found);
    EXPECT_EQ(CopyDeviceIdentifier(found.get()), second);
}

TEST_F(RegistryTest, RepeatedAndUnknownMessagesChangeNothing) {
    ASSERT_EQ(StartListeningDeviceConnections(OnArrived, OnRemoved), 1);
    std::wstring id = m_farm->Create(testfarm::kIPhone4S);
    ASSERT_TRUE(s_arrived.WaitForCount(1));
    DeviceRef device = FindDevice(id.c_str());
    ASSERT_TRUE(device);

    am_device_notification_callback_info info = {device.get(), ADNCI_MSG_CONNECTED, nullptr};
    OnDeviceNotification(&info, nullptr); // announced a second time
    info.msg = 7;                         // a message the library does not know
    OnDeviceNotification(&info, nullptr);
    OnDeviceNotification(nullptr, nullptr);
    EXPECT_EQ(s_arrived.Count(), 1u);
    EXPECT_EQ(s_removed.Count(), 0u);

    // Removed once (message 3 counts as removal too); a second removal of
    // the same handle finds nothing to do.
    info.msg = ADNCI_MSG_UNKNOWN;
    OnDeviceNotification(&info, nullptr);
    info.msg = ADNCI_MSG_DISCONNECTED;
    OnDeviceNotification(&info, nullptr);
    EXPECT_EQ(s_removed.Events(), Events{id});
    EXPECT_FALSE(FindDevice(id.c_str()));
}

TEST_F(RegistryTest, SecondStartFailsAndKeepsTheFirstCallbacks) {
    static EventLog otherArrived;
    otherArrived.Clear();
    ASSERT_EQ(StartListeningDeviceConnections(OnArrived, OnRemoved), 1);
    EXPECT_EQ(StartListeningDeviceConnections([](const wchar_t* id) { otherArrived.Add(id); }, nullptr), 0);
    std::wstring id = m_farm->Create(testfarm::kIPhone4S);
    ASSERT_TRUE(s_arrived.WaitForCount(1));
    Settle();
    EXPECT_EQ(otherArrived.Count(), 0u);
}

TEST_F(RegistryTest, StopWithoutListeningFails) {
    EXPECT_EQ(StopListeningDeviceConnections(), 0);
    ASSERT_EQ(StartListeningDeviceConnections(nullptr, nullptr), 1);
    EXPECT_EQ(StopListeningDeviceConnections(), 1);
    EXPECT_EQ(StopListeningDeviceConnections(), 0);
}

TEST_F(RegistryTest, StopAndStartAgainKeepsTheKnownDevices) {
    ASSERT_EQ(StartListeningDeviceConnections(OnArrived, OnRemoved), 1);
    std::wstring id = m_farm->Create(testfarm::kIPhone4S);
    ASSERT_TRUE(s_arrived.WaitForCount(1));
    ASSERT_EQ(StopListeningDeviceConnections(), 1);
    EXPECT_TRUE(FindDevice(id.c_str()));
    ASSERT_EQ(StartListeningDeviceConnections(OnArrived, OnRemoved), 1);
    Settle();
    EXPECT_TRUE(FindDevice(id.c_str()));
    EXPECT_EQ(s_arrived.Count(), 1u); // not announced again
    ASSERT_TRUE(m_farm->Detach(id));
    ASSERT_TRUE(s_removed.WaitForCount(1));
    EXPECT_TRUE(GoneFromTheList(id));
}

TEST_F(RegistryTest, IdentifiersMatchExactly) {
    ASSERT_EQ(StartListeningDeviceConnections(OnArrived, OnRemoved), 1);
    std::wstring id = m_farm->Create(testfarm::kIPhone4S, true, L"00008a0b-c0ffee");
    ASSERT_EQ(id, L"00008a0b-c0ffee");
    ASSERT_TRUE(s_arrived.WaitForCount(1));
    std::wstring upper = id;
    for (wchar_t& c : upper)
        c = static_cast<wchar_t>(std::towupper(c));
    const std::wstring misses[] = {upper, id.substr(0, id.size() - 1), id + L"0", L" " + id, L""};
    for (const std::wstring& miss : misses)
        EXPECT_FALSE(FindDevice(miss.c_str())) << testing::PrintToString(miss);
    EXPECT_FALSE(FindDevice(nullptr));
    EXPECT_TRUE(FindDevice(id.c_str()));
}

// Callbacks may call back into the library on the notification thread; the
// device is still listed while its removal is announced.
EventLog g_foundInCallback;
EventLog g_startedInCallback;

TEST_F(RegistryTest, CallbacksMayCallTheLibrary) {
    g_foundInCallback.Clear();
    g_startedInCallback.Clear();
    auto probe = [](const wchar_t* id) {
        if (FindDevice(id))
            g_foundInCallback.Add(id);
        if (StartListeningDeviceConnections(nullptr, nullptr) != 0)
            g_startedInCallback.Add(id);
        wchar_t buffer[4] = L"abc";
        GetDllVersion(buffer, 4);
    };
    static void (*s_probe)(const wchar_t*) = probe;
    ASSERT_EQ(StartListeningDeviceConnections(
                  [](const wchar_t* id) {
                      s_probe(id);
                      s_arrived.Add(id);
                  },
                  [](const wchar_t* id) {
                      s_probe(id);
                      s_removed.Add(id);
                  }),
              1);
    std::wstring id = m_farm->Create(testfarm::kIPhone4S);
    ASSERT_TRUE(s_arrived.WaitForCount(1));
    ASSERT_TRUE(m_farm->Detach(id));
    ASSERT_TRUE(s_removed.WaitForCount(1));
    EXPECT_EQ(g_foundInCallback.Events(), (Events{id, id}));
    EXPECT_EQ(g_startedInCallback.Count(), 0u);
}

} // namespace

namespace {

// The subscription and the listed handles belong to the device library:
// unloading gives them back while it is still there.
TEST_F(RegistryTest, UnloadEndsListeningAndReleasesTheListedHandles) {
    ASSERT_EQ(StartListeningDeviceConnections(OnArrived, OnRemoved), 1);
    std::wstring id = m_farm->Create(testfarm::kIPhone4S);
    ASSERT_TRUE(s_arrived.WaitForCount(1));
    am_device* handle = FindDevice(id.c_str()).get();
    ASSERT_NE(handle, nullptr);

    UnloadDllFunctions();
    ASSERT_TRUE(m_farm->Detach(id));
    Settle();
    EXPECT_EQ(s_removed.Count(), 0u); // no longer listening
    // Unplugged, unsubscribed and forgotten: nobody holds the handle now.
    EXPECT_EQ(m_farm->device().AMDeviceRetain(handle), nullptr);

    ASSERT_EQ(LoadDllFunctions(), 1);
    EXPECT_FALSE(FindDevice(id.c_str()));
    EXPECT_EQ(StopListeningDeviceConnections(), 0);
}

} // namespace
