// The built-in backend against the device farm's multiplexer, served in the
// test on a farm of its own (the server devicesim serve runs): pairing of an
// unpaired device, values read and written in a session, a file service
// started and spoken to, a refusal to pair and a later pairing, plug and
// unplug announced, and after the multiplexer restarts, the devices
// announced again.
#include "backend/backend.h"
#include "backend/cf.h"
#include "backend/device.h"
#include "backend/device_calls.h"
#include "backend/status.h"
#include "platform/text.h"
#include "sim/farm/farm.h"
#include "sim/wire/mux_server.h"
#include "tests/device/log_watch.h"
#include "tests/support/test_util.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstring>
#include <mutex>
#include <vector>

namespace {

using namespace backend;

constexpr DWORD kAnnounceMilliseconds = 5000;

// What the notification callbacks heard, in order.
class Heard {
  public:
    struct Event {
        unsigned message;
        am_device* device;
        std::string udid;
    };

    static void Callback(am_device_notification_callback_info* info, void* context) {
        static_cast<Heard*>(context)->Add(info);
    }

    // Waits for the `message` event of `udid`; its device, or null.
    am_device* WaitFor(unsigned message, const std::string& udid, DWORD milliseconds, size_t after = 0) {
        std::unique_lock<std::mutex> lock(m_lock);
        am_device* found = nullptr;
        m_changed.wait_for(lock, std::chrono::milliseconds(milliseconds), [&] {
            for (size_t i = after; i < m_events.size() && !found; ++i) {
                if (m_events[i].message == message && m_events[i].udid == udid)
                    found = m_events[i].device;
            }
            return found != nullptr;
        });
        return found;
    }
    size_t count() {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_events.size();
    }

  private:
    void Add(am_device_notification_callback_info* info) {
        Event event{info->msg, info->dev, DeviceUdid(info->dev)};
        std::lock_guard<std::mutex> guard(m_lock);
        m_events.push_back(event);
        m_changed.notify_all();
    }

    std::mutex m_lock;
    std::condition_variable m_changed;
    std::vector<Event> m_events;
};

class Wire : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        folder = new testutil::TempDir;
        farm = new simfarm::Farm(folder->path());
        std::string error;
        ASSERT_TRUE(farm->Prepare(&error)) << error;
        StartServer(0);
    }
    static void TearDownTestSuite() {
        Shutdown();
        delete server;
        delete farm;
        delete folder;
        ::SetEnvironmentVariableW(L"USBMUXD_SOCKET_ADDRESS", nullptr);
    }

    static void StartServer(uint16_t port) {
        simwire::ServerOptions options;
        options.farmFolder = folder->path();
        options.port = port;
        std::string error;
        // The port just given up may take a moment to be free again.
        for (int attempt = 0; attempt < 50; ++attempt) {
            server = new simwire::MuxServer(options);
            if (server->Start(&error))
                break;
            delete server;
            server = nullptr;
            ::Sleep(200);
        }
        ASSERT_NE(server, nullptr) << error;
        const std::wstring address = L"127.0.0.1:" + std::to_wstring(server->port());
        ::SetEnvironmentVariableW(L"USBMUXD_SOCKET_ADDRESS", address.c_str());
    }

    static std::string NewDevice(const char* templateName) {
        std::string udid, error;
        EXPECT_TRUE(farm->Create(templateName, "", &udid, &error)) << error;
        EXPECT_TRUE(farm->Attach(udid, &error)) << error;
        return udid;
    }

    static testutil::TempDir* folder;
    static simfarm::Farm* farm;
    static simwire::MuxServer* server;
};

testutil::TempDir* Wire::folder = nullptr;
simfarm::Farm* Wire::farm = nullptr;
simwire::MuxServer* Wire::server = nullptr;

std::string TextValue(am_device* device, const char* domain, const char* key) {
    Owned<CFTypeRef> value(calls::AMDeviceCopyValue(device, domain ? MakeString(domain).get() : nullptr,
                                                    key ? MakeString(key).get() : nullptr));
    return Text(value.get());
}

// One AFC request (device info) and the header of its answer.
bool FileServiceAnswers(Connection& connection) {
    unsigned char packet[40] = {'C', 'F', 'A', '6', 'L', 'P', 'A', 'A'};
    const uint64_t words[4] = {40, 40, 1, 0x0B};
    std::memcpy(packet + 8, words, sizeof words);
    unsigned char answer[40] = {};
    return connection.WriteAll(packet, sizeof packet) && connection.ReadExact(answer, sizeof answer) &&
           std::memcmp(answer, "CFA6LPAA", 8) == 0;
}

TEST_F(Wire, AnUnpairedDeviceIsPairedAndItsSessionCallsWork) {
    const std::string udid = NewDevice("iphone4s-jailbroken");
    Heard heard;
    am_device_notification* subscription = nullptr;
    ASSERT_EQ(calls::AMDeviceNotificationSubscribe(Heard::Callback, 0, 0, &heard, &subscription), 0);
    am_device* device = heard.WaitFor(ADNCI_MSG_CONNECTED, udid, kAnnounceMilliseconds);
    ASSERT_NE(device, nullptr) << "an attached device is announced on subscribing";
    ASSERT_EQ(calls::AMDeviceRetain(device), device);
    EXPECT_EQ(Text(Owned<CFStringRef>(calls::AMDeviceCopyDeviceIdentifier(device)).get()), udid);

    ASSERT_EQ(calls::AMDeviceConnect(device), 0);
    EXPECT_EQ(calls::AMDeviceIsPaired(device), 0);
    EXPECT_FALSE(TextValue(device, nullptr, "ProductVersion").empty()) << "told to any host";
    EXPECT_EQ(calls::AMDeviceStartSession(device), kMissingPairRecordError);
    ASSERT_EQ(calls::AMDevicePair(device), 0);
    EXPECT_EQ(calls::AMDeviceIsPaired(device), 1);
    EXPECT_EQ(calls::AMDeviceValidatePairing(device), 0);
    ASSERT_EQ(calls::AMDeviceStartSession(device), 0);
    EXPECT_EQ(calls::AMDeviceStartSession(device), kSessionActiveError);

    EXPECT_EQ(TextValue(device, nullptr, "UniqueDeviceID"), udid);
    EXPECT_EQ(calls::AMDeviceSetValue(device, nullptr, MakeString("DeviceName").get(), MakeString("Orvex").get()), 0);
    EXPECT_EQ(TextValue(device, nullptr, "DeviceName"), "Orvex");
    EXPECT_NE(calls::AMDeviceSetValue(device, nullptr, MakeString("UniqueDeviceID").get(), MakeString("x").get()), 0);
    Owned<CFTypeRef> battery(calls::AMDeviceCopyValue(device, MakeString("com.apple.mobile.battery").get(), nullptr));
    EXPECT_TRUE(IsDictionary(battery.get()));
    EXPECT_EQ(calls::AMDeviceCopyValue(device, nullptr, MakeString("NoSuchKey").get()), nullptr);

    SOCKET socket = INVALID_SOCKET;
    ASSERT_EQ(calls::AMDeviceStartService(device, MakeString("com.apple.afc").get(), &socket, nullptr), 0);
    std::unique_ptr<Connection> files = TakeServiceConnection(socket);
    ASSERT_NE(files, nullptr);
    EXPECT_EQ(TakeServiceConnection(socket), nullptr) << "taken once";
    EXPECT_TRUE(FileServiceAnswers(*files)) << files->lastError();
    files.reset();
    ::closesocket(socket);
    SOCKET none = INVALID_SOCKET;
    EXPECT_EQ(calls::AMDeviceStartService(device, MakeString("com.apple.nothing").get(), &none, nullptr),
              kInvalidServiceError);
    EXPECT_EQ(none, INVALID_SOCKET);

    EXPECT_EQ(calls::AMDeviceStopSession(device), 0);
    EXPECT_EQ(calls::AMDeviceStopSession(device), kSessionInactiveError);
    EXPECT_EQ(TextValue(device, nullptr, "ProductVersion").empty(), false) << "plain text again after the session";
    EXPECT_EQ(calls::AMDeviceDisconnect(device), 0);

    // Without a session of the caller's: a service on a session of its own.
    std::string error;
    std::unique_ptr<Connection> own = StartServiceConnection(device, "com.apple.afc", &error);
    ASSERT_NE(own, nullptr) << error;
    EXPECT_TRUE(FileServiceAnswers(*own)) << own->lastError();

    EXPECT_EQ(calls::AMDeviceNotificationUnsubscribe(subscription), 0);
    EXPECT_NE(calls::AMDeviceNotificationUnsubscribe(subscription), 0) << "ended already";
    calls::AMDeviceRelease(device);
}

TEST_F(Wire, ARefusedPairingFailsWithALogLineAndALaterCallPairs) {
    const std::string udid = NewDevice("ipod4-jailbroken");
    std::string error;
    ASSERT_TRUE(farm->SetFault(udid, simfarm::Fault::Pair, 1, &error)) << error;
    Heard heard;
    am_device_notification* subscription = nullptr;
    ASSERT_EQ(calls::AMDeviceNotificationSubscribe(Heard::Callback, 0, 0, &heard, &subscription), 0);
    am_device* device = calls::AMDeviceRetain(heard.WaitFor(ADNCI_MSG_CONNECTED, udid, kAnnounceMilliseconds));
    ASSERT_NE(device, nullptr);
    ASSERT_EQ(calls::AMDeviceConnect(device), 0);
    testutil::LogWatch log;
    EXPECT_EQ(calls::AMDevicePair(device), kPasswordProtectedError);
    bool logged = false;
    for (const std::wstring& line : log.Messages())
        logged = logged || line.find(L"the device is locked with a passcode") != std::wstring::npos;
    EXPECT_TRUE(logged);
    EXPECT_EQ(calls::AMDeviceIsPaired(device), 0) << "nothing saved";
    ASSERT_TRUE(farm->ClearFaults(udid, &error)) << error;
    EXPECT_EQ(calls::AMDevicePair(device), 0);
    EXPECT_EQ(calls::AMDeviceValidatePairing(device), 0);
    // A device that forgot the host is paired again, with the host's record,
    // when the pairing is validated; not while it refuses to pair.
    ASSERT_TRUE(farm->SetPaired(udid, false, &error)) << error;
    ASSERT_TRUE(farm->SetFault(udid, simfarm::Fault::Pair, 1, &error)) << error;
    EXPECT_NE(calls::AMDeviceValidatePairing(device), 0);
    ASSERT_TRUE(farm->ClearFaults(udid, &error)) << error;
    log.Restart();
    EXPECT_EQ(calls::AMDeviceValidatePairing(device), 0);
    logged = false;
    for (const std::wstring& line : log.Messages())
        logged = logged || line.find(L"the device no longer knows this host") != std::wstring::npos;
    EXPECT_TRUE(logged);
    EXPECT_EQ(calls::AMDeviceStartSession(device), 0);
    EXPECT_EQ(calls::AMDeviceStopSession(device), 0);
    calls::AMDeviceDisconnect(device);
    calls::AMDeviceRelease(device);
    EXPECT_EQ(calls::AMDeviceNotificationUnsubscribe(subscription), 0);
}

TEST_F(Wire, PlugUnplugAndARestartOfTheMultiplexerAreAnnounced) {
    Heard heard;
    am_device_notification* subscription = nullptr;
    ASSERT_EQ(calls::AMDeviceNotificationSubscribe(Heard::Callback, 0, 0, &heard, &subscription), 0);
    const std::string udid = NewDevice("iphone5-jailbroken");
    am_device* plugged = heard.WaitFor(ADNCI_MSG_CONNECTED, udid, kAnnounceMilliseconds);
    ASSERT_NE(plugged, nullptr);
    std::string error;
    ASSERT_TRUE(farm->Detach(udid, &error)) << error;
    EXPECT_EQ(heard.WaitFor(ADNCI_MSG_DISCONNECTED, udid, kAnnounceMilliseconds), plugged)
        << "the same device object leaves";
    ASSERT_TRUE(farm->Attach(udid, &error)) << error;
    size_t before = heard.count();
    am_device* again = heard.WaitFor(ADNCI_MSG_CONNECTED, udid, kAnnounceMilliseconds, before - 1);
    ASSERT_NE(again, nullptr);
    {
        Heard second;
        am_device_notification* other = nullptr;
        ASSERT_EQ(calls::AMDeviceNotificationSubscribe(Heard::Callback, 0, 0, &second, &other), 0);
        EXPECT_EQ(second.WaitFor(ADNCI_MSG_CONNECTED, udid, kAnnounceMilliseconds), again)
            << "one device object for a device, whichever subscription announces it";
        EXPECT_EQ(calls::AMDeviceNotificationUnsubscribe(other), 0);
    }

    // The multiplexer stops: the device leaves; it comes back: announced again.
    const uint16_t port = server->port();
    before = heard.count();
    delete server;
    server = nullptr;
    EXPECT_NE(heard.WaitFor(ADNCI_MSG_DISCONNECTED, udid, kAnnounceMilliseconds, before), nullptr);
    before = heard.count();
    StartServer(port);
    EXPECT_NE(heard.WaitFor(ADNCI_MSG_CONNECTED, udid, 10000, before), nullptr);

    const DWORD start = ::GetTickCount();
    EXPECT_EQ(calls::AMDeviceNotificationUnsubscribe(subscription), 0);
    EXPECT_LT(::GetTickCount() - start, 2000u);
}

// A callback that ends its own subscription, and Shutdown with a
// subscription running: neither waits for itself.
am_device_notification* g_selfEnding = nullptr;
std::atomic<int> g_selfEnded{0};

void EndsItself(am_device_notification_callback_info* info, void*) {
    if (info->msg == ADNCI_MSG_CONNECTED && g_selfEnded == 0)
        g_selfEnded = calls::AMDeviceNotificationUnsubscribe(info->subscription) == 0 ? 1 : -1;
}

TEST_F(Wire, SubscriptionsEndFromTheirOwnCallbacksAndOnShutdown) {
    NewDevice("iphone4s-jailbroken");
    ASSERT_EQ(calls::AMDeviceNotificationSubscribe(EndsItself, 0, 0, nullptr, &g_selfEnding), 0);
    for (int i = 0; i < 100 && g_selfEnded == 0; ++i)
        ::Sleep(50);
    EXPECT_EQ(g_selfEnded, 1);
    Heard heard;
    am_device_notification* subscription = nullptr;
    ASSERT_EQ(calls::AMDeviceNotificationSubscribe(Heard::Callback, 0, 0, &heard, &subscription), 0);
    const DWORD start = ::GetTickCount();
    Shutdown();
    EXPECT_LT(::GetTickCount() - start, 2000u);
    EXPECT_NE(calls::AMDeviceNotificationUnsubscribe(subscription), 0) << "ended by Shutdown";
}

} // namespace
