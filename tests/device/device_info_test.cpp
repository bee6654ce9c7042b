// GetDeviceInfo against the farm's templates: the whole record compared with
// values read from the device's own description and files, the application
// probes and their log lines, value edge cases and the failure table.
#include "platform/text.h"
#include "tests/device/farm_fixture.h"
#include "tests/device/log_watch.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace {

using devtest::FarmLibrary;
using devtest::Wide;
using simfarm::Value;

const char kInstallationList[] = "/private/var/mobile/Library/Caches/com.apple.mobile.installation.plist";

// Every field of the record, for field-by-field comparison.
#define DEVICE_FIELDS(X)                                                                                               \
    X(UniqueDeviceID)                                                                                                  \
    X(UniqueChipID)                                                                                                    \
    X(DeviceName)                                                                                                      \
    X(ProductVersion)                                                                                                  \
    X(BuildVersion)                                                                                                    \
    X(IsJailbroken)                                                                                                    \
    X(CydiaVersion)                                                                                                    \
    X(InstallousVersion)                                                                                               \
    X(QuillonVersion)                                                                                                  \
    X(QuillonIsSystemApp)                                                                                              \
    X(QuillonHDVersion)                                                                                                \
    X(QuillonHDIsSystemApp)                                                                                            \
    X(FSTotalBytes)                                                                                                    \
    X(FSFreeBytes)                                                                                                     \
    X(FSBlockSize)                                                                                                     \
    X(Model)                                                                                                           \
    X(SerialNumber)                                                                                                    \
    X(WiFiAddress)                                                                                                     \
    X(BluetoothAddress)                                                                                                \
    X(BasebandBootloaderVersion)                                                                                       \
    X(BasebandVersion)                                                                                                 \
    X(BasebandStatus)                                                                                                  \
    X(InternationalMobileEquipmentIdentity)                                                                            \
    X(IntegratedCircuitCardIdentity)                                                                                   \
    X(InternationalMobileSubscriberIdentity)                                                                           \
    X(PhoneNumber)                                                                                                     \
    X(ActivationPublicKey)                                                                                             \
    X(ActivationState)                                                                                                 \
    X(ActivationStateAcknowledged)                                                                                     \
    X(CPUArchitecture)                                                                                                 \
    X(DeviceClass)                                                                                                     \
    X(DeviceColor)                                                                                                     \
    X(DevicePublicKey)                                                                                                 \
    X(FirmwareVersion)                                                                                                 \
    X(HardwareModel)                                                                                                   \
    X(HardwarePlatform)                                                                                                \
    X(MLBSerialNumber)                                                                                                 \
    X(MobileSubscriberCountryCode)                                                                                     \
    X(MobileSubscriberNetworkCode)                                                                                     \
    X(ModelNumber)                                                                                                     \
    X(PartitionType)                                                                                                   \
    X(PasswordProtected)                                                                                               \
    X(ProductType)                                                                                                     \
    X(ProtocolVersion)                                                                                                 \
    X(ProximitySensorCalibration)                                                                                      \
    X(RegionInfo)                                                                                                      \
    X(SIMStatus)                                                                                                       \
    X(TelephonyCapability)                                                                                             \
    X(TotalDataAvailable)                                                                                              \
    X(TotalDataCapacity)                                                                                               \
    X(TotalDiskCapacity)                                                                                               \
    X(TotalSystemAvailable)                                                                                            \
    X(TotalSystemCapacity)                                                                                             \
    X(CalendarUsage)                                                                                                   \
    X(CameraUsage)                                                                                                     \
    X(MobileApplicationUsage)                                                                                          \
    X(NotesUsage)                                                                                                      \
    X(PhotoUsage)                                                                                                      \
    X(MediaCacheUsage)                                                                                                 \
    X(WebAppCacheUsage)

// The bytes a record holds before the call: whatever the library does not
// write keeps them.
const unsigned char kPattern = 0xA5;

__IOS_DEVICE Prefilled() {
    __IOS_DEVICE record;
    std::memset(&record, kPattern, sizeof record);
    return record;
}

template <typename T> std::string Show(const T& value) { return testing::PrintToString(value); }
template <size_t N> std::string Show(const wchar_t (&text)[N]) {
    size_t n = 0;
    while (n < N && text[n])
        ++n;
    return testing::PrintToString(std::wstring(text, n)) + (n == N ? " (unterminated)" : "");
}
template <size_t N> std::string Show(const uint8_t (&bytes)[N]) {
    std::string hex;
    for (uint8_t b : bytes) {
        const char* digits = "0123456789abcdef";
        hex += digits[b >> 4];
        hex += digits[b & 15];
    }
    return hex;
}

void ExpectSameRecord(const __IOS_DEVICE& expected, const __IOS_DEVICE& actual) {
#define COMPARE_FIELD(name)                                                                                            \
    EXPECT_EQ(0, std::memcmp(&expected.name, &actual.name, sizeof expected.name))                                      \
        << #name << ": expected " << Show(expected.name) << ", got " << Show(actual.name);
    DEVICE_FIELDS(COMPARE_FIELD)
#undef COMPARE_FIELD
    EXPECT_EQ(0, std::memcmp(&expected, &actual, sizeof expected)) << "bytes between the fields differ";
}

// What the library writes into a text field: the text and its terminator;
// a longer text is cut at N - 1 units, never inside a surrogate pair.
template <size_t N> void PutText(wchar_t (&field)[N], std::wstring text) {
    if (text.size() >= N) {
        text.resize(N - 1);
        if (!text.empty() && text.back() >= 0xD800 && text.back() <= 0xDBFF)
            text.pop_back();
    }
    std::wmemcpy(field, text.data(), text.size());
    field[text.size()] = L'\0';
}

// What the application probes are expected to find.
struct Probes {
    std::string cydia, installous, quillon, quillonHD;
    std::optional<int32_t> quillonSystemApp, quillonHDSystemApp; // none: left as passed
};

// The record GetDeviceInfo should fill for the described device, starting
// from Prefilled().
__IOS_DEVICE ExpectedRecord(const std::string& udid, const Value& d, const Probes& probes) {
    __IOS_DEVICE e = Prefilled();
    const Value& lockdown = *d.Find(simfarm::key::kLockdown);
    const Value& disk = *d.Find(simfarm::key::kDomains)->Find("com.apple.disk_usage");
    const Value& afc = *d.Find(simfarm::key::kAFCDeviceInfo);
    PutText(e.UniqueDeviceID, Wide(udid));
#define DISK(name) e.name = disk.GetInteger(#name, 0);
    DISK(TotalDataAvailable)
    DISK(TotalDataCapacity)
    DISK(TotalDiskCapacity)
    DISK(TotalSystemAvailable)
    DISK(TotalSystemCapacity)
    DISK(CalendarUsage)
    DISK(CameraUsage)
    DISK(MobileApplicationUsage)
    DISK(NotesUsage)
    DISK(PhotoUsage)
    DISK(MediaCacheUsage)
    DISK(WebAppCacheUsage)
#undef DISK
#define STRING_FIELD(name) PutText(e.name, Wide(lockdown.GetString(#name)));
    STRING_FIELD(BluetoothAddress)
    STRING_FIELD(WiFiAddress)
    STRING_FIELD(ActivationState)
    STRING_FIELD(BasebandBootloaderVersion)
    STRING_FIELD(BasebandStatus)
    STRING_FIELD(BasebandVersion)
    STRING_FIELD(BuildVersion)
    STRING_FIELD(CPUArchitecture)
    STRING_FIELD(DeviceClass)
    STRING_FIELD(DeviceColor)
    STRING_FIELD(DeviceName)
    STRING_FIELD(FirmwareVersion)
    STRING_FIELD(HardwareModel)
    STRING_FIELD(HardwarePlatform)
    STRING_FIELD(IntegratedCircuitCardIdentity)
    STRING_FIELD(InternationalMobileEquipmentIdentity)
    STRING_FIELD(InternationalMobileSubscriberIdentity)
    STRING_FIELD(MLBSerialNumber)
    STRING_FIELD(MobileSubscriberCountryCode)
    STRING_FIELD(MobileSubscriberNetworkCode)
    STRING_FIELD(ModelNumber)
    STRING_FIELD(PartitionType)
    STRING_FIELD(PhoneNumber)
    STRING_FIELD(ProductType)
    STRING_FIELD(ProductVersion)
    STRING_FIELD(ProtocolVersion)
    STRING_FIELD(RegionInfo)
    STRING_FIELD(SerialNumber)
    STRING_FIELD(SIMStatus)
#undef STRING_FIELD
#define FLAG(name) e.name = lockdown.GetBool(#name) ? 1 : 0;
    FLAG(ActivationStateAcknowledged)
    FLAG(PasswordProtected)
    FLAG(TelephonyCapability)
#undef FLAG
    // Data values: the keys are UTF-8 text, the calibration raw bytes.
    auto data = [&](const char* key) {
        const Value* v = lockdown.Find(key);
        return v && v->is(Value::Kind::Data) ? v->text() : std::string();
    };
    PutText(e.ActivationPublicKey, Wide(data("ActivationPublicKey")));
    PutText(e.DevicePublicKey, Wide(data("DevicePublicKey")));
    std::string calibration = data("ProximitySensorCalibration");
    std::memset(e.ProximitySensorCalibration, 0, sizeof e.ProximitySensorCalibration);
    std::memcpy(e.ProximitySensorCalibration, calibration.data(),
                std::min(calibration.size(), sizeof e.ProximitySensorCalibration));
    const Value* chip = lockdown.Find("UniqueChipID");
    PutText(e.UniqueChipID, chip ? std::to_wstring(chip->unsignedInteger()) : std::wstring());

    bool privileged = false;
    for (const Value& service : d.Find(simfarm::key::kServices)->items())
        privileged = privileged || service.text() == "com.apple.afc2";
    e.IsJailbroken = privileged ? 1 : 0;
    e.FSTotalBytes = afc.GetInteger("FSTotalBytes");
    e.FSFreeBytes = afc.GetInteger("FSFreeBytes");
    e.FSBlockSize = static_cast<int32_t>(afc.GetInteger("FSBlockSize"));
    PutText(e.Model, Wide(afc.GetString("Model")));

    PutText(e.CydiaVersion, Wide(probes.cydia));
    PutText(e.InstallousVersion, Wide(probes.installous));
    PutText(e.QuillonVersion, Wide(probes.quillon));
    PutText(e.QuillonHDVersion, Wide(probes.quillonHD));
    if (probes.quillonSystemApp)
        e.QuillonIsSystemApp = *probes.quillonSystemApp;
    if (probes.quillonHDSystemApp)
        e.QuillonHDIsSystemApp = *probes.quillonHDSystemApp;
    return e;
}

std::string BundleVersion(const std::string& udid, const std::string& appFolder) {
    return FarmLibrary::Get()
        .DevicePlist(udid, "/Applications/" + appFolder + ".app/Info.plist")
        .GetString("CFBundleVersion");
}

std::string UserAppVersion(const std::string& udid, const std::string& bundleId) {
    Value list = FarmLibrary::Get().DevicePlist(udid, kInstallationList);
    const Value* user = list.Find("User");
    const Value* entry = user ? user->Find(bundleId) : nullptr;
    return entry ? entry->GetString("CFBundleVersion") : std::string();
}

const std::vector<std::wstring> kProbeMessages = {
    L"Cydia 没有安装",
    L"Installous 没有安装",
    L"Quillon 没有安装",
    L"QuillonHD 没有安装",
    L"提取Cydia版本信息失败。",
    L"提取Installous版本信息失败。",
    L"提取Quillon版本信息失败。",
    L"提取QuillonHD版本信息失败。",
    L"ipa安装列表加载失败。",
};

class DeviceInfo : public testing::Test {
  protected:
    FarmLibrary& lib = FarmLibrary::Get();

    int Read(const std::string& udid, __IOS_DEVICE* record) {
        return lib.dll().GetDeviceInfo(Wide(udid).c_str(), record);
    }
};

TEST_F(DeviceInfo, JailbrokenIPhoneFillsTheWholeRecord) {
    std::string udid = lib.Plug("iphone4s-jailbroken");
    ASSERT_FALSE(udid.empty());
    Probes probes;
    probes.cydia = BundleVersion(udid, "Cydia");
    probes.installous = BundleVersion(udid, "Installous");
    ASSERT_FALSE(probes.cydia.empty());
    ASSERT_FALSE(probes.installous.empty());
    __IOS_DEVICE expected = ExpectedRecord(udid, lib.Description(udid), probes);
    ASSERT_EQ(expected.IsJailbroken, 1);
    ASSERT_NE(expected.FSTotalBytes, 0);

    testutil::LogWatch log;
    __IOS_DEVICE record = Prefilled();
    ASSERT_EQ(Read(udid, &record), 1);
    ExpectSameRecord(expected, record);
    // Neither edition of the companion app is on this device.
    EXPECT_TRUE(log.Saw(L"Quillon 没有安装"));
    EXPECT_TRUE(log.Saw(L"QuillonHD 没有安装"));
}

TEST_F(DeviceInfo, StockIPadReportsNoVersionsAndRunsNoProbe) {
    std::string udid = lib.Plug("ipad2-stock");
    ASSERT_FALSE(udid.empty());
    __IOS_DEVICE expected = ExpectedRecord(udid, lib.Description(udid), Probes{});
    ASSERT_EQ(expected.IsJailbroken, 0);
    // Other programs share the log: a probe line seen in one call window may
    // be theirs, but not in every one of three.
    bool quiet = false;
    for (int attempt = 0; attempt < 3 && !quiet; ++attempt) {
        testutil::LogWatch log;
        __IOS_DEVICE record = Prefilled();
        ASSERT_EQ(Read(udid, &record), 1);
        ExpectSameRecord(expected, record);
        quiet = true;
        for (const std::wstring& message : log.Messages()) {
            for (const std::wstring& probe : kProbeMessages)
                quiet = quiet && message != probe;
        }
    }
    EXPECT_TRUE(quiet) << "a device that is not jailbroken was probed";
}

TEST_F(DeviceInfo, CompanionAppInstalledAsUserApplication) {
    std::string udid = lib.Plug("ipod4-jailbroken");
    ASSERT_FALSE(udid.empty());
    Probes probes;
    probes.cydia = BundleVersion(udid, "Cydia");
    probes.quillon = UserAppVersion(udid, "com.zephant.Quillon");
    probes.quillonSystemApp = 0;
    ASSERT_FALSE(probes.quillon.empty());
    __IOS_DEVICE expected = ExpectedRecord(udid, lib.Description(udid), probes);

    testutil::LogWatch log;
    __IOS_DEVICE record = Prefilled();
    ASSERT_EQ(Read(udid, &record), 1);
    ExpectSameRecord(expected, record);
    EXPECT_TRUE(log.Saw(L"Installous 没有安装"));
    EXPECT_TRUE(log.Saw(L"QuillonHD 没有安装"));
}

TEST_F(DeviceInfo, CompanionAppUnderApplicationsIsASystemApp) {
    std::string udid = lib.Plug("iphone5-jailbroken");
    ASSERT_FALSE(udid.empty());
    simfarm::DeviceFs files = lib.farm().Files(udid);
    std::string version = "2.0.1";
    Value info = Value::Dict();
    info.Set("CFBundleIdentifier", Value::String("com.zephant.QuillonHD"));
    info.Set("CFBundleVersion", Value::String(version));
    std::string xml;
    ASSERT_TRUE(simfarm::WriteXmlPlist(info, &xml));
    ASSERT_EQ(files.MakeFolder("/Applications/QuillonHD.app"), 0);
    ASSERT_EQ(files.WriteWholeFile("/Applications/QuillonHD.app/Info.plist", xml), 0);

    __IOS_DEVICE record = Prefilled();
    ASSERT_EQ(Read(udid, &record), 1);
    EXPECT_EQ(std::wstring(record.QuillonHDVersion), Wide(version));
    EXPECT_EQ(record.QuillonHDIsSystemApp, 1);
}

TEST_F(DeviceInfo, JailbrokenDeviceWithoutCydiaStillRunsTheOtherProbes) {
    std::string udid = lib.Plug("iphone4s-jailbroken");
    ASSERT_FALSE(udid.empty());
    std::string installous = BundleVersion(udid, "Installous");
    ASSERT_EQ(lib.farm().Files(udid).Rename("/Applications/Cydia.app", "/Applications/Cydia.off"), 0);

    testutil::LogWatch log;
    __IOS_DEVICE record = Prefilled();
    ASSERT_EQ(Read(udid, &record), 1);
    EXPECT_EQ(record.IsJailbroken, 1);
    EXPECT_EQ(std::wstring(record.CydiaVersion), L"");
    EXPECT_EQ(std::wstring(record.InstallousVersion), Wide(installous));
    EXPECT_TRUE(log.Saw(L"Cydia 没有安装"));
    EXPECT_TRUE(log.Saw(L"Quillon 没有安装")); // the companion probes ran too
}

// Lockdown values at the edges of their fields.
TEST_F(DeviceInfo, ValueEdgeCases) {
    std::string udid = lib.Plug("iphone4s-jailbroken");
    ASSERT_FALSE(udid.empty());
    std::wstring longName(300, L'名');
    std::wstring pairAtCut = std::wstring(254, L'a') + L"\U0001F600" + L"bc"; // the pair spans units 254-255
    struct Case {
        const char* what;
        std::function<void(Value& lockdown)> change;
        std::function<void(const __IOS_DEVICE& record)> check;
    };
    const Case cases[] = {
        {"chip identifier 2^64-1", [](Value& l) { l.Set("UniqueChipID", Value::Unsigned(UINT64_MAX)); },
         [](const __IOS_DEVICE& r) { EXPECT_EQ(std::wstring(r.UniqueChipID), L"18446744073709551615"); }},
        {"chip identifier 0", [](Value& l) { l.Set("UniqueChipID", Value::Integer(0)); },
         [](const __IOS_DEVICE& r) { EXPECT_EQ(std::wstring(r.UniqueChipID), L"0"); }},
        {"no chip identifier", [](Value& l) { l.Remove("UniqueChipID"); },
         [](const __IOS_DEVICE& r) { EXPECT_EQ(std::wstring(r.UniqueChipID), L""); }},
        {"no calibration", [](Value& l) { l.Remove("ProximitySensorCalibration"); },
         [](const __IOS_DEVICE& r) {
             for (uint8_t b : r.ProximitySensorCalibration)
                 EXPECT_EQ(b, 0);
         }},
        {"short calibration", [](Value& l) { l.Set("ProximitySensorCalibration", Value::Data("\x01\x02\x03")); },
         [](const __IOS_DEVICE& r) {
             uint8_t expected[48] = {1, 2, 3};
             EXPECT_EQ(0, std::memcmp(r.ProximitySensorCalibration, expected, 48));
         }},
        {"long calibration",
         [](Value& l) { l.Set("ProximitySensorCalibration", Value::Data(std::string(60, '\x7f'))); },
         [](const __IOS_DEVICE& r) {
             for (uint8_t b : r.ProximitySensorCalibration)
                 EXPECT_EQ(b, 0x7f);
             EXPECT_EQ(std::wstring(r.RegionInfo), L"CH/A"); // the next field is intact
         }},
        {"300-character name", [&](Value& l) { l.Set("DeviceName", Value::String(WideToUtf8(longName.c_str()))); },
         [&](const __IOS_DEVICE& r) {
             EXPECT_EQ(std::wstring(r.DeviceName), longName.substr(0, 255));
             EXPECT_EQ(std::wstring(r.ProductVersion), L"5.1.1"); // not overrun
         }},
        {"surrogate pair at the end of the name field",
         [&](Value& l) { l.Set("DeviceName", Value::String(WideToUtf8(pairAtCut.c_str()))); },
         [&](const __IOS_DEVICE& r) { EXPECT_EQ(std::wstring(r.DeviceName), std::wstring(254, L'a')); }},
        {"a value of the wrong type",
         [](Value& l) {
             l.Set("SerialNumber", Value::Integer(12345));
             l.Set("PasswordProtected", Value::String("true"));
         },
         [](const __IOS_DEVICE& r) {
             EXPECT_EQ(std::wstring(r.SerialNumber), L"");
             EXPECT_EQ(r.PasswordProtected, 0);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(lib.Change(udid, [&](Value& d, std::string*) {
            c.change(d.SubDict(simfarm::key::kLockdown));
            return true;
        }));
        __IOS_DEVICE record = Prefilled();
        ASSERT_EQ(Read(udid, &record), 1);
        c.check(record);
    }
}

// How far the record gets when a step fails.
enum class Written { OnlyIdentifier, LockdownValues, JailbreakFlag };

TEST_F(DeviceInfo, FailureTable) {
    std::string udid = lib.Plug("iphone4s-jailbroken");
    ASSERT_FALSE(udid.empty());
    Probes probes;
    probes.cydia = BundleVersion(udid, "Cydia");
    probes.installous = BundleVersion(udid, "Installous");
    const __IOS_DEVICE full = ExpectedRecord(udid, lib.Description(udid), probes);
    struct Case {
        std::vector<simfarm::Fault> faults;
        const wchar_t* logLine;
        Written written;
    };
    using F = simfarm::Fault;
    const Case cases[] = {
        {{F::Connect}, L"连接设备失败！", Written::OnlyIdentifier},
        {{F::Pair}, L"设备配对失败。", Written::OnlyIdentifier},
        {{F::Session}, L"开始会话失败。", Written::OnlyIdentifier},
        {{F::Afc2Service, F::AfcService}, L"建立文件服务失败.", Written::LockdownValues},
        {{F::AfcConnection}, L"建立文件连接失败.", Written::JailbreakFlag},
        {{F::DeviceInfo}, L"取得设备信息失败.", Written::JailbreakFlag},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(c.logLine)));
        for (F fault : c.faults)
            ASSERT_TRUE(lib.SetFault(udid, fault));
        // What the record should hold: the full record with the fields of
        // the steps not reached as passed.
        __IOS_DEVICE expected = Prefilled();
        if (c.written == Written::OnlyIdentifier) {
            std::memcpy(expected.UniqueDeviceID, full.UniqueDeviceID, sizeof full.UniqueDeviceID);
        } else {
            expected = full;
            const __IOS_DEVICE pattern = Prefilled();
            if (c.written == Written::LockdownValues)
                expected.IsJailbroken = pattern.IsJailbroken;
            expected.FSTotalBytes = pattern.FSTotalBytes;
            expected.FSFreeBytes = pattern.FSFreeBytes;
            expected.FSBlockSize = pattern.FSBlockSize;
            std::memcpy(expected.Model, pattern.Model, sizeof pattern.Model);
            std::memcpy(expected.CydiaVersion, pattern.CydiaVersion, sizeof pattern.CydiaVersion);
            std::memcpy(expected.InstallousVersion, pattern.InstallousVersion, sizeof pattern.InstallousVersion);
            std::memcpy(expected.QuillonVersion, pattern.QuillonVersion, sizeof pattern.QuillonVersion);
            std::memcpy(expected.QuillonHDVersion, pattern.QuillonHDVersion, sizeof pattern.QuillonHDVersion);
        }
        testutil::LogWatch log;
        __IOS_DEVICE record = Prefilled();
        EXPECT_EQ(Read(udid, &record), 0);
        ExpectSameRecord(expected, record);
        // Over the wire a file connection the device drops at once is found
        // dead when it is opened, or (should the close not have arrived yet)
        // by its first request: the device information.
        const bool droppedLater =
            testfarm::SimulatedFarm::Served() && c.faults[0] == F::AfcConnection && log.Saw(L"取得设备信息失败.");
        EXPECT_TRUE(log.Saw(c.logLine) || droppedLater);
        ASSERT_TRUE(lib.ClearFaults(udid));
    }
    // And the device answers again once the faults are gone.
    __IOS_DEVICE record = Prefilled();
    EXPECT_EQ(Read(udid, &record), 1);
}

TEST_F(DeviceInfo, DeviceNoLongerAttachedZeroesTheWholeRecord) {
    std::string udid = lib.Plug("ipad2-stock");
    ASSERT_FALSE(udid.empty());
    ASSERT_TRUE(lib.Unplug(udid));
    __IOS_DEVICE record = Prefilled();
    EXPECT_EQ(Read(udid, &record), 0);
    __IOS_DEVICE zero;
    std::memset(&zero, 0, sizeof zero);
    ExpectSameRecord(zero, record);

    EXPECT_EQ(lib.dll().GetDeviceInfo(L"", &record), 0);
    EXPECT_EQ(lib.dll().GetDeviceInfo(nullptr, &record), 0);
    EXPECT_EQ(lib.dll().GetDeviceInfo(Wide(udid).c_str(), nullptr), 0);
}

// A probe that fails costs its own version field, never the call.
TEST_F(DeviceInfo, ProbeFailures) {
    struct Case {
        const char* templateName;
        std::function<void(const std::string& udid)> damage;
        std::vector<std::wstring> logLines;
        std::function<void(const __IOS_DEVICE& record)> check;
    };
    auto files = [this](const std::string& udid) { return lib.farm().Files(udid); };
    const Case cases[] = {
        {"iphone4s-jailbroken",
         [&](const std::string& udid) {
             ASSERT_EQ(files(udid).WriteWholeFile("/Applications/Cydia.app/Info.plist", "not a property list"), 0);
         },
         {L"提取Cydia版本信息失败。"},
         [](const __IOS_DEVICE& r) {
             EXPECT_EQ(std::wstring(r.CydiaVersion), L"");
             EXPECT_NE(std::wstring(r.InstallousVersion), L"");
         }},
        {"iphone4s-jailbroken",
         [&](const std::string& udid) { ASSERT_EQ(files(udid).Remove("/Applications/Installous.app/Info.plist"), 0); },
         {L"提取plist文件信息失败。", L"提取Installous版本信息失败。"},
         [](const __IOS_DEVICE& r) {
             EXPECT_EQ(std::wstring(r.InstallousVersion), L"");
             EXPECT_NE(std::wstring(r.CydiaVersion), L"");
         }},
        {"ipod4-jailbroken",
         [&](const std::string& udid) { ASSERT_EQ(files(udid).Remove(kInstallationList), 0); },
         {L"ipa安装列表加载失败。"},
         [](const __IOS_DEVICE& r) {
             EXPECT_EQ(std::wstring(r.QuillonVersion), L"");
             EXPECT_EQ(r.QuillonIsSystemApp, Prefilled().QuillonIsSystemApp); // not found: left as passed
         }},
        {"iphone4s-jailbroken",
         [&](const std::string& udid) { ASSERT_TRUE(lib.SetFault(udid, simfarm::Fault::ReadAfter, 1)); },
         {L"读取plist文件内容失败！", L"提取Cydia版本信息失败。"},
         [](const __IOS_DEVICE& r) { EXPECT_EQ(std::wstring(r.CydiaVersion), L""); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.logLines.back()));
        std::string udid = lib.Plug(c.templateName);
        ASSERT_FALSE(udid.empty());
        c.damage(udid);
        testutil::LogWatch log;
        __IOS_DEVICE record = Prefilled();
        EXPECT_EQ(Read(udid, &record), 1);
        c.check(record);
        for (const std::wstring& line : c.logLines)
            EXPECT_TRUE(log.Saw(line)) << testing::PrintToString(line);
        lib.ClearFaults(udid);
    }
}

} // namespace
