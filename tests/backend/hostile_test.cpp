// Faults never hang a caller: against a scripted multiplexer and device
// that stay silent, announce oversized lengths, send malformed lists, refuse
// requests or break off TLS, each call fails within a bounded time with a
// line in the daily log, and repeating it leaks no handles.
#include "backend/backend.h"
#include "backend/cf.h"
#include "backend/device.h"
#include "backend/device_calls.h"
#include "backend/lockdown.h"
#include "backend/status.h"
#include "platform/text.h"
#include "platform/tls.h"
#include "tests/backend/fake_multiplexer.h"
#include "tests/device/log_watch.h"

#include <gtest/gtest.h>

#include <atomic>

namespace {

using namespace backend;
using backendtest::FakeMultiplexer;
using backendtest::Fault;

constexpr unsigned kBound = 800; // each answer's time allowed in these tests
constexpr DWORD kMostMilliseconds = 8000;

// A pair record with real keys (made once): TLS fails on the device's side,
// not on ours.
const std::string& Record() {
    static const std::string record = [] {
        HostIdentity identity;
        std::string error;
        tls::CertificateRequest root;
        EXPECT_TRUE(tls::GenerateRsaKey(1024, &identity.rootKey, &error)) << error;
        root.subjectKeyPem = root.issuerKeyPem = identity.rootKey;
        root.authority = true;
        EXPECT_TRUE(tls::MakeCertificate(root, &identity.rootCertificate, &error)) << error;
        identity.hostKey = identity.rootKey;
        identity.hostCertificate = identity.rootCertificate;
        std::string devicePublic;
        EXPECT_TRUE(tls::RsaPublicKeyPem(identity.rootKey, &devicePublic, &error)) << error;
        PairRecord made;
        EXPECT_TRUE(MakePairRecord(identity, devicePublic, "BUID", &made, &error)) << error;
        return XmlOf(made.Whole().get());
    }();
    return record;
}

bool LogHas(const testutil::LogWatch& log, const std::wstring& part) {
    for (const std::wstring& line : log.Messages()) {
        if (line.find(L"Built-in backend: ") == 0 && line.find(part) != std::wstring::npos)
            return true;
    }
    return false;
}

std::string Lines(const testutil::LogWatch& log) {
    std::string all;
    for (const std::wstring& line : log.Messages())
        all += WideToUtf8(line.c_str()) + "\n";
    return all;
}

class Hostile : public ::testing::Test {
  protected:
    void SetUp() override {
        Record();
        SetTimeoutsForTests(kBound);
        device = AnnouncedDevice(7, "0123456789abcdef0123456789abcdef01234567");
    }
    void TearDown() override {
        calls::AMDeviceRelease(device);
        Shutdown();
        SetTimeoutsForTests(0);
    }
    am_device* device = nullptr;
};

// Runs `call`, which must fail within the bound with a log line holding `part`.
template <class Call> void FailsInTime(const char* what, Call call, const std::wstring& part) {
    SCOPED_TRACE(what);
    testutil::LogWatch log;
    const DWORD start = ::GetTickCount();
    const bool failed = call();
    const DWORD took = ::GetTickCount() - start;
    EXPECT_TRUE(failed);
    EXPECT_LT(took, kMostMilliseconds);
    EXPECT_TRUE(LogHas(log, part)) << Lines(log);
}

TEST_F(Hostile, TheMultiplexerMisbehavingEndsTheCallWithALogLine) {
    const struct {
        const char* what;
        Fault fault;
        const wchar_t* logged;
    } cases[] = {
        {"accepts and never answers", Fault::MuxSilent, L"did not answer Connect in time"},
        {"an oversized length", Fault::MuxOversized, L"length 2147483647 that is not taken"},
        {"a malformed list", Fault::MuxMalformed, L"not a property-list dictionary"},
        {"refuses to connect", Fault::MuxRefused, L"(result 3)"},
    };
    for (const auto& c : cases) {
        FakeMultiplexer mux(c.fault, Record());
        FailsInTime(
            c.what, [&] { return calls::AMDeviceConnect(device) != 0; }, c.logged);
    }
}

TEST_F(Hostile, TheDeviceMisbehavingEndsTheCallWithALogLine) {
    const struct {
        const char* what;
        Fault fault;
        const wchar_t* logged;
    } cases[] = {
        {"never answers", Fault::DeviceSilent, L"did not answer in time"},
        {"an oversized length", Fault::DeviceOversized, L"4294967280 bytes, which is not taken"},
        {"a malformed list", Fault::DeviceMalformed, L"not a property list"},
    };
    for (const auto& c : cases) {
        FakeMultiplexer mux(c.fault, Record());
        ASSERT_EQ(calls::AMDeviceConnect(device), 0) << c.what;
        FailsInTime(
            c.what, [&] { return calls::AMDeviceValidatePairing(device) != 0; }, c.logged);
        // The failed connection is dropped: the next call fails at once.
        const DWORD start = ::GetTickCount();
        EXPECT_EQ(calls::AMDeviceStartSession(device), kNotConnectedError) << c.what;
        EXPECT_LT(::GetTickCount() - start, 200u) << c.what;
        EXPECT_EQ(calls::AMDeviceCopyValue(device, nullptr, nullptr), nullptr) << c.what;
        calls::AMDeviceDisconnect(device);
    }
}

TEST_F(Hostile, TlsBrokenOffByTheDeviceIsReported) {
    FakeMultiplexer mux(Fault::DeviceNoTls, Record());
    ASSERT_EQ(calls::AMDeviceConnect(device), 0);
    FailsInTime(
        "TLS refused", [&] { return calls::AMDeviceStartSession(device) != 0; }, L"session TLS failed");
    EXPECT_EQ(calls::AMDeviceStartSession(device), kNotConnectedError);
    std::string error;
    const DWORD start = ::GetTickCount();
    EXPECT_EQ(StartServiceConnection(device, "com.apple.afc", &error), nullptr);
    EXPECT_LT(::GetTickCount() - start, kMostMilliseconds);
    EXPECT_NE(error.find("session TLS failed"), std::string::npos) << error;
}

TEST_F(Hostile, RefusalsAreTheCallsErrorsAndTheConnectionStaysUsable) {
    FakeMultiplexer mux(Fault::DeviceRefuses, Record());
    ASSERT_EQ(calls::AMDeviceConnect(device), 0);
    testutil::LogWatch log;
    EXPECT_EQ(calls::AMDeviceValidatePairing(device), kInvalidHostIdError);
    EXPECT_EQ(calls::AMDeviceStartSession(device), kInvalidHostIdError);
    EXPECT_EQ(calls::AMDeviceSetValue(device, nullptr, MakeString("DeviceName").get(), MakeString("x").get()),
              kInvalidHostIdError);
    EXPECT_EQ(calls::AMDeviceCopyValue(device, nullptr, MakeString("DeviceName").get()), nullptr);
    EXPECT_TRUE(LogHas(log, L"the device refused ValidatePair: InvalidHostID")) << Lines(log);
    EXPECT_EQ(calls::AMDevicePair(device), kInvalidHostIdError) << "no DevicePublicKey: refused as well";
}

// Pair records are read on one connection kept for them; a multiplexer
// that closes it (one that answers one question a connection, or that
// restarted) is asked again on a new one, within the same call.
TEST_F(Hostile, PairRecordsAreReadOnAKeptConnectionOrANewOne) {
    for (Fault fault : {Fault::DeviceRefuses, Fault::MuxOneAnswer}) {
        const bool keeps = fault == Fault::DeviceRefuses;
        SCOPED_TRACE(keeps ? "a multiplexer that keeps connections" : "one answer a connection");
        FakeMultiplexer mux(fault, Record());
        for (int i = 0; i < 5; ++i)
            EXPECT_EQ(calls::AMDeviceIsPaired(device), 1);
        EXPECT_EQ(mux.connections(), keeps ? 1 : 5);
        Shutdown(); // ends the kept connection, as the loader's unload does
    }
}

TEST_F(Hostile, RepeatedFailuresLeakNoHandles) {
    FakeMultiplexer mux(Fault::DeviceRefuses, Record());
    auto cycle = [&] {
        EXPECT_EQ(calls::AMDeviceConnect(device), 0);
        EXPECT_NE(calls::AMDeviceStartSession(device), 0);
        calls::AMDeviceDisconnect(device);
    };
    for (int i = 0; i < 50; ++i)
        cycle();
    DWORD before = 0, after = 0;
    ::GetProcessHandleCount(::GetCurrentProcess(), &before);
    for (int i = 0; i < 1000; ++i)
        cycle();
    ::GetProcessHandleCount(::GetCurrentProcess(), &after);
    EXPECT_LT(after, before + 20) << before << " handles before, " << after << " after";
}

std::atomic<int> g_announced{0};
void CountAnnounced(am_device_notification_callback_info*, void*) { ++g_announced; }

TEST_F(Hostile, NotificationsOnAMisbehavingMultiplexerAnnounceNothingAndEndPromptly) {
    for (Fault fault : {Fault::MuxSilent, Fault::MuxOversized, Fault::MuxMalformed}) {
        FakeMultiplexer mux(fault, Record());
        testutil::LogWatch log;
        g_announced = 0;
        am_device_notification* subscription = nullptr;
        ASSERT_EQ(calls::AMDeviceNotificationSubscribe(CountAnnounced, 0, 0, nullptr, &subscription), 0);
        ::Sleep(1500);
        const DWORD start = ::GetTickCount();
        EXPECT_EQ(calls::AMDeviceNotificationUnsubscribe(subscription), 0);
        EXPECT_LT(::GetTickCount() - start, 2 * kBound + 500);
        EXPECT_EQ(g_announced, 0);
        EXPECT_TRUE(LogHas(log, L"device notifications: ")) << Lines(log);
        EXPECT_GE(mux.connections(), 1);
    }
}

} // namespace
