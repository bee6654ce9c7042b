// A fixture for the device registry and sessions: a private simulated farm,
// the vendor libraries bound through the program's loader (the library
// linked in), the daily log redirected to a scratch documents folder, and a
// recorder for the arrival and removal callbacks.
#pragma once

#include "device/OrvexDevice.h"
#include "device/device_access.h"
#include "platform/vendor_calls.h"
#include "tests/device/event_log.h"
#include "tests/support/farm.h"
#include "tests/support/test_util.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace testutil {

class RegistryTest : public testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    // The lines of today's daily log in the scratch documents folder.
    std::vector<std::wstring> LogLines() const;
    // Waits a little for notifications that must not come.
    static void Settle() { ::Sleep(300); }
    // The removal is announced while the device is still listed: waits (up
    // to 10 s) until it has left the list.
    static bool GoneFromTheList(const std::wstring& id) {
        for (int i = 0; i < 1000; ++i) {
            if (!FindDevice(id.c_str()))
                return true;
            ::Sleep(10);
        }
        return false;
    }

    static EventLog s_arrived;
    static EventLog s_removed;
    static void OnArrived(const wchar_t* identifier) { s_arrived.Add(identifier); }
    static void OnRemoved(const wchar_t* identifier) { s_removed.Add(identifier); }

    std::unique_ptr<testfarm::SimulatedFarm> m_farm;
    std::unique_ptr<TempDir> m_documents;
};

} // namespace testutil
