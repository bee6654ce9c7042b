// RenameDevice and GetBatteryInfo against the farm's templates.
#include "tests/device/farm_fixture.h"
#include "tests/device/log_watch.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

using devtest::FarmLibrary;
using devtest::Wide;
using simfarm::Value;

const char kBattery[] = "com.apple.mobile.battery";

class NameAndBattery : public testing::Test {
  protected:
    FarmLibrary& lib = FarmLibrary::Get();

    std::string DeviceName(const std::string& udid) {
        return lib.Description(udid).Find(simfarm::key::kLockdown)->GetString("DeviceName");
    }
};

TEST_F(NameAndBattery, RenameShowsInTheDeviceInformation) {
    std::string udid = lib.Plug("ipod4-jailbroken");
    ASSERT_FALSE(udid.empty());
    std::wstring id = Wide(udid);
    const wchar_t* name = L"小明的 iPod \U0001F3B5";
    ASSERT_EQ(lib.dll().RenameDevice(id.c_str(), name), 1);
    __IOS_DEVICE info{};
    ASSERT_EQ(lib.dll().GetDeviceInfo(id.c_str(), &info), 1);
    EXPECT_EQ(std::wstring(info.DeviceName), name);

    EXPECT_EQ(lib.dll().RenameDevice(id.c_str(), nullptr), 0);
    EXPECT_EQ(Wide(DeviceName(udid)), name);
    EXPECT_EQ(lib.dll().RenameDevice(L"no-such-device", L"x"), 0);
}

// An empty name is not refused here but sent to the device, which answers
// for it (this one refuses it).
TEST_F(NameAndBattery, EmptyNameGoesToTheDevice) {
    std::string udid = lib.Plug("ipad2-stock");
    ASSERT_FALSE(udid.empty());
    const std::wstring id = Wide(udid);
    std::string before = DeviceName(udid);
    EXPECT_EQ(lib.dll().RenameDevice(id.c_str(), L""), 0);
    EXPECT_EQ(DeviceName(udid), before);

    // With the device unreachable, the attempt shows in the log.
    ASSERT_TRUE(lib.SetFault(udid, simfarm::Fault::Connect));
    testutil::LogWatch log;
    EXPECT_EQ(lib.dll().RenameDevice(id.c_str(), L""), 0);
    EXPECT_TRUE(log.Saw(L"连接设备失败！"));
    EXPECT_EQ(DeviceName(udid), before);
    ASSERT_TRUE(lib.ClearFaults(udid));
}

TEST_F(NameAndBattery, BatteryFromTheDomain) {
    // The iPad reports no "BatteryIsCharging".
    for (const char* templateName : {"iphone4s-jailbroken", "ipad2-stock"}) {
        SCOPED_TRACE(templateName);
        std::string udid = lib.Plug(templateName);
        ASSERT_FALSE(udid.empty());
        Value domain = *lib.Description(udid).Find(simfarm::key::kDomains)->Find(kBattery);
        __IOS_BATTERY expected;
        expected.FullyCharged = domain.GetBool("FullyCharged") ? 1 : 0;
        expected.BatteryCurrentCapacity = static_cast<int32_t>(domain.GetInteger("BatteryCurrentCapacity"));
        expected.ExternalChargeCapable = domain.GetBool("ExternalChargeCapable") ? 1 : 0;
        expected.BatteryIsCharging = domain.GetBool("BatteryIsCharging") ? 1 : 0;
        expected.ExternalConnected = domain.GetBool("ExternalConnected") ? 1 : 0;
        ASSERT_NE(expected.BatteryCurrentCapacity, 0);

        __IOS_BATTERY battery;
        std::memset(&battery, 0xA5, sizeof battery);
        ASSERT_EQ(lib.dll().GetBatteryInfo(Wide(udid).c_str(), &battery), 1);
        EXPECT_EQ(battery.FullyCharged, expected.FullyCharged);
        EXPECT_EQ(battery.BatteryCurrentCapacity, expected.BatteryCurrentCapacity);
        EXPECT_EQ(battery.ExternalChargeCapable, expected.ExternalChargeCapable);
        EXPECT_EQ(battery.BatteryIsCharging, expected.BatteryIsCharging);
        EXPECT_EQ(battery.ExternalConnected, expected.ExternalConnected);
        if (!domain.Find("BatteryIsCharging")) {
            EXPECT_EQ(battery.BatteryIsCharging, 0);
        }
    }
}

TEST_F(NameAndBattery, BatteryFailures) {
    std::string udid = lib.Plug("iphone5-jailbroken");
    ASSERT_FALSE(udid.empty());
    std::wstring id = Wide(udid);
    __IOS_BATTERY battery;
    std::memset(&battery, 0xA5, sizeof battery);
    const __IOS_BATTERY untouched = battery;

    EXPECT_EQ(lib.dll().GetBatteryInfo(id.c_str(), nullptr), 0);
    EXPECT_EQ(lib.dll().GetBatteryInfo(L"no-such-device", &battery), 0);

    ASSERT_TRUE(lib.SetFault(udid, simfarm::Fault::Pair));
    testutil::LogWatch log;
    EXPECT_EQ(lib.dll().GetBatteryInfo(id.c_str(), &battery), 0);
    EXPECT_TRUE(log.Saw(L"设备配对失败。"));
    ASSERT_TRUE(lib.ClearFaults(udid));

    // A device without the battery domain.
    ASSERT_TRUE(lib.Change(udid, [](Value& d, std::string*) {
        d.SubDict(simfarm::key::kDomains).Remove(kBattery);
        return true;
    }));
    EXPECT_EQ(lib.dll().GetBatteryInfo(id.c_str(), &battery), 0);
    EXPECT_EQ(0, std::memcmp(&battery, &untouched, sizeof battery));
}

} // namespace
