// The built-in backend's sessions and notifications against the farm's
// multiplexer served in this process: how soon a plugged device is
// announced (from the farm's attach to the callback), and how many lockdown
// sessions with TLS a second the backend runs (Connect, ValidatePairing,
// StartSession, ten values read, StopSession, Disconnect: what one
// GetDeviceInfo call asks of it).
//
//   scripts/wine-run build/bin/backend-session-bench.exe [--plugs N] [--sessions N]
#include "backend/backend.h"
#include "backend/cf.h"
#include "backend/device.h"
#include "backend/device_calls.h"
#include "sim/farm/farm.h"
#include "sim/wire/mux_server.h"
#include "tests/support/test_util.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>
#include <vector>

namespace {

using namespace backend;

std::atomic<am_device*> g_connected{nullptr};
std::atomic<LONGLONG> g_connectedAt{0};

LONGLONG Now() {
    LARGE_INTEGER t;
    ::QueryPerformanceCounter(&t);
    return t.QuadPart;
}

double Milliseconds(LONGLONG ticks) {
    LARGE_INTEGER f;
    ::QueryPerformanceFrequency(&f);
    return 1000.0 * static_cast<double>(ticks) / static_cast<double>(f.QuadPart);
}

void OnEvent(am_device_notification_callback_info* info, void*) {
    if (info->msg != ADNCI_MSG_CONNECTED)
        return;
    g_connectedAt = Now();
    g_connected = calls::AMDeviceRetain(info->dev);
}

int Fail(const char* what) {
    std::fprintf(stderr, "backend-session-bench: %s\n", what);
    return 1;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    int plugs = 20, sessions = 40;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::wcscmp(argv[i], L"--plugs") == 0)
            plugs = std::max(1, _wtoi(argv[i + 1]));
        else if (std::wcscmp(argv[i], L"--sessions") == 0)
            sessions = std::max(1, _wtoi(argv[i + 1]));
    }
    testutil::TempDir temp;
    const std::wstring folder = temp.path();
    simfarm::Farm farm(folder);
    std::string error, udid;
    if (!farm.Prepare(&error) || !farm.Create("iphone4s-jailbroken", "", &udid, &error) ||
        !farm.SetPaired(udid, true, &error))
        return Fail(error.c_str());
    simwire::ServerOptions options;
    options.farmFolder = folder;
    simwire::MuxServer server(options);
    if (!server.Start(&error))
        return Fail(error.c_str());
    const std::wstring address = L"127.0.0.1:" + std::to_wstring(server.port());
    ::SetEnvironmentVariableW(L"USBMUXD_SOCKET_ADDRESS", address.c_str());

    am_device_notification* subscription = nullptr;
    if (calls::AMDeviceNotificationSubscribe(OnEvent, 0, 0, nullptr, &subscription) != 0)
        return Fail("no subscription");
    std::vector<double> announced;
    am_device* device = nullptr;
    for (int i = 0; i < plugs; ++i) {
        if (am_device* old = g_connected.exchange(nullptr))
            calls::AMDeviceRelease(old);
        const LONGLONG start = Now();
        if (!farm.Attach(udid, &error))
            return Fail(error.c_str());
        for (int wait = 0; wait < 5000 && !g_connected; ++wait)
            ::Sleep(1);
        if (!g_connected)
            return Fail("a plugged device was not announced within 5 s");
        announced.push_back(Milliseconds(g_connectedAt - start));
        if (i + 1 < plugs && !farm.Detach(udid, &error))
            return Fail(error.c_str());
        ::Sleep(200);
    }
    device = g_connected.exchange(nullptr);
    std::sort(announced.begin(), announced.end());
    std::printf("plugged device announced: median %.0f ms, slowest %.0f ms (%d plugs)\n",
                announced[announced.size() / 2], announced.back(), plugs);

    static const char* const kKeys[] = {"DeviceName",    "ProductType",    "ProductVersion", "BuildVersion",
                                        "SerialNumber",  "UniqueDeviceID", "DeviceClass",    "CPUArchitecture",
                                        "HardwareModel", "ModelNumber"};
    // The farm makes the device's keys and pair record when first asked,
    // which can take longer than a client waits: asked again, it answers.
    bool warm = false;
    for (int attempt = 0; attempt < 10 && !warm; ++attempt) {
        warm = calls::AMDeviceConnect(device) == 0 && calls::AMDeviceValidatePairing(device) == 0;
        calls::AMDeviceDisconnect(device);
        if (!warm)
            ::Sleep(2000);
    }
    if (!warm)
        return Fail("the device's pairing could not be validated");

    // Where the time goes, step by step.
    const char* const kSteps[] = {"Connect",    "ValidatePairing", "StartSession",
                                  "ten values", "StopSession",     "Disconnect"};
    LONGLONG spent[6] = {};
    auto step = [&](int index, auto&& body) {
        const LONGLONG begin = Now();
        const bool ok = body();
        spent[index] += Now() - begin;
        return ok;
    };
    const LONGLONG start = Now();
    for (int i = 0; i < sessions; ++i) {
        if (!step(0, [&] { return calls::AMDeviceConnect(device) == 0; }) ||
            !step(1, [&] { return calls::AMDeviceValidatePairing(device) == 0; }) ||
            !step(2, [&] { return calls::AMDeviceStartSession(device) == 0; }))
            return Fail("a session did not open");
        step(3, [&] {
            for (const char* key : kKeys)
                Owned<CFTypeRef> value(calls::AMDeviceCopyValue(device, nullptr, MakeString(key).get()));
            return true;
        });
        step(4, [&] { return calls::AMDeviceStopSession(device) == 0; });
        step(5, [&] { return calls::AMDeviceDisconnect(device) == 0; });
    }
    const double seconds = Milliseconds(Now() - start) / 1000.0;
    std::printf("sessions with TLS and ten values: %.1f a second (%d in %.2f s); per session:", sessions / seconds,
                sessions, seconds);
    for (int i = 0; i < 6; ++i)
        std::printf(" %s %.1f ms%s", kSteps[i], Milliseconds(spent[i]) / sessions, i < 5 ? "," : "\n");
    calls::AMDeviceRelease(device);
    calls::AMDeviceNotificationUnsubscribe(subscription);
    Shutdown();
    server.Stop();
    return 0;
}
