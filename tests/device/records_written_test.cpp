// Records written by the library, read by a caller that knows the layouts
// only as byte offsets of its own (first, middle and last fields): the
// library loaded by name, devices from the simulated farm.
#include "tests/device/device_dll.h"
#include "tests/device/event_log.h"
#include "tests/support/farm.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

testutil::EventLog g_arrived;

// The caller's view: a record is bytes; fields are read at fixed offsets.
struct Bytes {
    const unsigned char* base;
    std::wstring Text(size_t offset, size_t capacity) const {
        const wchar_t* text = reinterpret_cast<const wchar_t*>(base + offset);
        return std::wstring(text, wcsnlen(text, capacity));
    }
    int32_t Int32(size_t offset) const {
        int32_t v;
        std::memcpy(&v, base + offset, 4);
        return v;
    }
    int64_t Int64(size_t offset) const {
        int64_t v;
        std::memcpy(&v, base + offset, 8);
        return v;
    }
};

constexpr size_t kDeviceSize = 11408, kAppSize = 4536, kBatterySize = 20;

class RecordsThroughTheLibrary : public testing::Test {
  protected:
    void SetUp() override {
        g_arrived.Clear();
        ASSERT_TRUE(m_dll.ok());
        int bound = 0;
        m_farm = testfarm::MakeFarmAndBind([this] { return m_dll.LoadDllFunctions(); }, &bound);
        ASSERT_TRUE(m_farm->ok());
        ASSERT_EQ(bound, 1);
        ASSERT_EQ(m_dll.StartListeningDeviceConnections([](const wchar_t* id) { g_arrived.Add(id); }, nullptr), 1);
        m_id = m_farm->Create(testfarm::kIPhone4S);
        ASSERT_TRUE(g_arrived.WaitForCount(1));
    }
    void TearDown() override {
        if (m_dll.ok()) {
            m_dll.StopListeningDeviceConnections();
            m_dll.UnloadDllFunctions();
        }
        m_farm.reset();
    }
    testutil::DeviceDll m_dll;
    std::unique_ptr<testfarm::SimulatedFarm> m_farm;
    std::wstring m_id;
};

TEST_F(RecordsThroughTheLibrary, DeviceRecord) {
    ASSERT_TRUE(m_farm->SetValue(m_id, L"WebAppCacheUsage", L"6000000123", L"integer", L"com.apple.disk_usage"));
    std::vector<unsigned char> raw(kDeviceSize + 16, 0xCD);
    ASSERT_EQ(m_dll.GetDeviceInfo(m_id.c_str(), reinterpret_cast<__IOS_DEVICE*>(raw.data())), 1);
    Bytes record{raw.data()};
    EXPECT_EQ(record.Text(0, 100), m_id);                                   // UniqueDeviceID
    EXPECT_EQ(record.Text(10856, 40), m_farm->Value(m_id, L"ProductType")); // ProductType
    EXPECT_EQ(record.Int64(11400), 6000000123LL);                           // WebAppCacheUsage
    for (size_t i = kDeviceSize; i < raw.size(); ++i)
        ASSERT_EQ(raw[i], 0xCD) << "written past the record at " << i;
}

TEST_F(RecordsThroughTheLibrary, BatteryRecord) {
    const wchar_t* battery = L"com.apple.mobile.battery";
    ASSERT_TRUE(m_farm->SetValue(m_id, L"FullyCharged", L"true", L"bool", battery));
    ASSERT_TRUE(m_farm->SetValue(m_id, L"BatteryCurrentCapacity", L"57", L"integer", battery));
    ASSERT_TRUE(m_farm->SetValue(m_id, L"ExternalConnected", L"true", L"bool", battery));
    std::vector<unsigned char> raw(kBatterySize + 16, 0xCD);
    ASSERT_EQ(m_dll.GetBatteryInfo(m_id.c_str(), reinterpret_cast<__IOS_BATTERY*>(raw.data())), 1);
    Bytes record{raw.data()};
    EXPECT_EQ(record.Int32(0), 1);  // FullyCharged
    EXPECT_EQ(record.Int32(4), 57); // BatteryCurrentCapacity
    EXPECT_EQ(record.Int32(16), 1); // ExternalConnected
    for (size_t i = kBatterySize; i < raw.size(); ++i)
        ASSERT_EQ(raw[i], 0xCD) << "written past the record at " << i;
}

TEST_F(RecordsThroughTheLibrary, ApplicationArray) {
    __IOS_APP* apps = nullptr;
    unsigned int count = 0;
    ASSERT_EQ(m_dll.GetInstalledApps(m_id.c_str(), &apps, &count), 1);
    ASSERT_GT(count, 0u);
    const unsigned char* base = reinterpret_cast<const unsigned char*>(apps);
    bool sawUser = false;
    for (unsigned int i = 0; i < count; ++i) {
        Bytes record{base + i * kAppSize};
        EXPECT_FALSE(record.Text(0, 300).empty()) << i;   // Identifier
        EXPECT_FALSE(record.Text(2500, 50).empty()) << i; // Version
        int32_t system = record.Int32(2680);              // IsSystemApp
        EXPECT_TRUE(system == 0 || system == 1) << i;
        sawUser = sawUser || system == 0;
        EXPECT_EQ(record.Text(4476, 30), L"") << i; // ReleaseDate: archives only
    }
    EXPECT_TRUE(sawUser);
    m_dll.ReleaseMemory(apps);
}

} // namespace
