// A device plugged in and out 1,000 times while two threads call the library
// and the callbacks call it too: no crash, no deadlock, every handle
// retained by the list released again.
#include "tests/device/registry_fixture.h"

#include <atomic>
#include <mutex>
#include <set>
#include <thread>

namespace {

using testutil::RegistryTest;

constexpr int kCycles = 1000;

std::wstring g_id;
std::atomic<int> g_callbackMisses{0};
std::mutex g_handlesLock;
std::set<am_device*> g_handles; // every handle the list held

void ProbeFromCallback(const wchar_t* id) {
    DeviceRef device = FindDevice(id);
    if (!device || CopyDeviceIdentifier(device.get()) != g_id) {
        ++g_callbackMisses;
        return;
    }
    {
        std::lock_guard<std::mutex> guard(g_handlesLock);
        g_handles.insert(device.get());
    }
    if (StartListeningDeviceConnections(nullptr, nullptr) != 0)
        ++g_callbackMisses;
    ReleaseMemory(nullptr);
}

void CallerLoop(const std::atomic<bool>& stop, std::atomic<int>* calls) {
    for (unsigned round = 0; !stop; ++round) {
        DeviceRef device = FindDevice(g_id.c_str());
        // A session now and then: each one is a round of farm traffic.
        if (device && round % 16 == 0) {
            DeviceSession session(device.get());
            if (session.Open()) {
                FileService afc;
                OpenFileService(session, &afc);
            }
        }
        if (device && round % 16 == 8) {
            __IOS_DEVICE info;
            GetDeviceInfo(g_id.c_str(), &info);
        }
        wchar_t buffer[8] = L"";
        GetDllVersion(buffer, 8);
        ReleaseMemory(nullptr);
        StartListeningDeviceConnections(nullptr, nullptr); // refused: already listening
        ++*calls;
        // Leave the farm and the notification thread room on a small machine.
        ::Sleep(1);
    }
}

TEST_F(RegistryTest, AttachAndDetachAThousandTimesUnderLoad) {
    g_callbackMisses = 0;
    g_handles.clear();
    g_id = m_farm->Create(testfarm::kIPhone4S, false);
    ASSERT_FALSE(g_id.empty());
    ASSERT_EQ(StartListeningDeviceConnections(
                  [](const wchar_t* id) {
                      ProbeFromCallback(id);
                      s_arrived.Add(id);
                  },
                  [](const wchar_t* id) {
                      ProbeFromCallback(id);
                      s_removed.Add(id);
                  }),
              1);

    std::atomic<bool> stop{false};
    std::atomic<int> calls{0};
    std::thread first(CallerLoop, std::cref(stop), &calls);
    std::thread second(CallerLoop, std::cref(stop), &calls);
    int cycle = 0;
    for (; cycle < kCycles; ++cycle) {
        if (!m_farm->Attach(g_id) || !s_arrived.WaitForCount(cycle + 1) || !m_farm->Detach(g_id) ||
            !s_removed.WaitForCount(cycle + 1))
            break;
    }
    stop = true;
    first.join();
    second.join();

    EXPECT_EQ(cycle, kCycles) << "stalled";
    EXPECT_EQ(s_arrived.Count(), static_cast<size_t>(cycle));
    EXPECT_EQ(s_removed.Count(), static_cast<size_t>(cycle));
    EXPECT_EQ(g_callbackMisses, 0);
    EXPECT_GT(calls, 0);
    EXPECT_FALSE(FindDevice(g_id.c_str()));
    ASSERT_EQ(StopListeningDeviceConnections(), 1);

    // Unplugged and no longer listed: the device library keeps a handle only
    // while someone holds a retain on it, so none of them may be left.
    for (am_device* handle : g_handles) {
        am_device* still = vendor::AMDeviceRetain(handle);
        EXPECT_EQ(still, nullptr) << "a handle kept its retain";
        if (still)
            vendor::AMDeviceRelease(still);
    }
    EXPECT_FALSE(g_handles.empty());
}

} // namespace
