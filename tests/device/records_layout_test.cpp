// The records as a caller lays them out from their documented field lists
// (field order, text capacities, natural alignment), compared field by field
// with the library's header.
#include "device/OrvexDevice.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <vector>

namespace {

// A caller's description of one field: its size and alignment, and where the
// library's header puts it.
struct Field {
    const char* name;
    size_t size;
    size_t align;
    size_t libraryOffset;
};

constexpr size_t Text(size_t units) { return units * 2; }

#define TEXT(record, name, units)                                                                                      \
    { #name, Text(units), 2, offsetof(record, name) }
#define I32(record, name)                                                                                              \
    { #name, 4, 4, offsetof(record, name) }
#define I64(record, name)                                                                                              \
    { #name, 8, 8, offsetof(record, name) }
#define DATE(record, name)                                                                                             \
    { #name, 12, 4, offsetof(record, name) }

// Lays the fields out one after the other with natural alignment and checks
// each against the library; returns the record's size.
size_t CheckLayout(const char* record, const std::vector<Field>& fields) {
    size_t offset = 0;
    size_t alignment = 1;
    for (const Field& f : fields) {
        offset = (offset + f.align - 1) / f.align * f.align;
        EXPECT_EQ(f.libraryOffset, offset) << record << "." << f.name;
        offset += f.size;
        alignment = f.align > alignment ? f.align : alignment;
    }
    return (offset + alignment - 1) / alignment * alignment;
}

TEST(RecordLayout, DeviceRecord) {
    using R = __IOS_DEVICE;
    std::vector<Field> fields = {TEXT(R, UniqueDeviceID, 100),
                                 TEXT(R, UniqueChipID, 40),
                                 TEXT(R, DeviceName, 256),
                                 TEXT(R, ProductVersion, 40),
                                 TEXT(R, BuildVersion, 40),
                                 I32(R, IsJailbroken),
                                 TEXT(R, CydiaVersion, 20),
                                 TEXT(R, InstallousVersion, 20),
                                 TEXT(R, QuillonVersion, 20),
                                 I32(R, QuillonIsSystemApp),
                                 TEXT(R, QuillonHDVersion, 20),
                                 I32(R, QuillonHDIsSystemApp),
                                 I64(R, FSTotalBytes),
                                 I64(R, FSFreeBytes),
                                 I32(R, FSBlockSize),
                                 TEXT(R, Model, 60),
                                 TEXT(R, SerialNumber, 50),
                                 TEXT(R, WiFiAddress, 20),
                                 TEXT(R, BluetoothAddress, 20),
                                 TEXT(R, BasebandBootloaderVersion, 40),
                                 TEXT(R, BasebandVersion, 40),
                                 TEXT(R, BasebandStatus, 40),
                                 TEXT(R, InternationalMobileEquipmentIdentity, 50),
                                 TEXT(R, IntegratedCircuitCardIdentity, 50),
                                 TEXT(R, InternationalMobileSubscriberIdentity, 50),
                                 TEXT(R, PhoneNumber, 30),
                                 TEXT(R, ActivationPublicKey, 2000),
                                 TEXT(R, ActivationState, 40),
                                 I32(R, ActivationStateAcknowledged),
                                 TEXT(R, CPUArchitecture, 20),
                                 TEXT(R, DeviceClass, 20),
                                 TEXT(R, DeviceColor, 30),
                                 TEXT(R, DevicePublicKey, 2000),
                                 TEXT(R, FirmwareVersion, 50),
                                 TEXT(R, HardwareModel, 50),
                                 TEXT(R, HardwarePlatform, 50),
                                 TEXT(R, MLBSerialNumber, 40),
                                 TEXT(R, MobileSubscriberCountryCode, 20),
                                 TEXT(R, MobileSubscriberNetworkCode, 20),
                                 TEXT(R, ModelNumber, 40),
                                 TEXT(R, PartitionType, 20),
                                 I32(R, PasswordProtected),
                                 TEXT(R, ProductType, 40),
                                 TEXT(R, ProtocolVersion, 40),
                                 {"ProximitySensorCalibration", 48, 1, offsetof(R, ProximitySensorCalibration)},
                                 TEXT(R, RegionInfo, 20),
                                 TEXT(R, SIMStatus, 100),
                                 I32(R, TelephonyCapability),
                                 I64(R, TotalDataAvailable),
                                 I64(R, TotalDataCapacity),
                                 I64(R, TotalDiskCapacity),
                                 I64(R, TotalSystemAvailable),
                                 I64(R, TotalSystemCapacity),
                                 I64(R, CalendarUsage),
                                 I64(R, CameraUsage),
                                 I64(R, MobileApplicationUsage),
                                 I64(R, NotesUsage),
                                 I64(R, PhotoUsage),
                                 I64(R, MediaCacheUsage),
                                 I64(R, WebAppCacheUsage)};
    ASSERT_EQ(fields.size(), 60u);
    EXPECT_EQ(CheckLayout("__IOS_DEVICE", fields), sizeof(R));
}

TEST(RecordLayout, AppRecord) {
    using R = __IOS_APP;
    std::vector<Field> fields = {TEXT(R, Identifier, 300), TEXT(R, Name, 50),
                                 TEXT(R, Path, 300),       TEXT(R, Container, 300),
                                 TEXT(R, IconFile, 300),   TEXT(R, Version, 50),
                                 TEXT(R, StoreId, 40),     I32(R, IsSystemApp),
                                 I32(R, ArtistId),         TEXT(R, ArtistName, 200),
                                 TEXT(R, Kind, 20),        I32(R, GenreId),
                                 TEXT(R, Genre, 30),       {"SubgenreIds", 80, 4, offsetof(R, SubgenreIds)},
                                 TEXT(R, Subgenres, 600),  I32(R, ExternalVersionId),
                                 TEXT(R, ReleaseDate, 30)};
    EXPECT_EQ(CheckLayout("__IOS_APP", fields), sizeof(R));
}

TEST(RecordLayout, FileRecordAndDate) {
    using R = __IOS_FILE;
    std::vector<Field> fields = {TEXT(R, Name, 300),
                                 TEXT(R, Path, 300),
                                 TEXT(R, Extension, 300),
                                 I32(R, Type),
                                 I64(R, Size),
                                 I32(R, Blocks),
                                 I32(R, LinkCount),
                                 DATE(R, CreationTime),
                                 DATE(R, ModificationTime),
                                 TEXT(R, LinkTarget, 300)};
    EXPECT_EQ(CheckLayout("__IOS_FILE", fields), sizeof(R));
    EXPECT_EQ(CheckLayout("DateValue",
                          {{"Date", 8, 4, offsetof(DateValue, Date)}, {"Status", 4, 4, offsetof(DateValue, Status)}}),
              sizeof(DateValue));
}

TEST(RecordLayout, BatteryRecord) {
    using R = __IOS_BATTERY;
    std::vector<Field> fields = {I32(R, FullyCharged), I32(R, BatteryCurrentCapacity), I32(R, ExternalChargeCapable),
                                 I32(R, BatteryIsCharging), I32(R, ExternalConnected)};
    EXPECT_EQ(CheckLayout("__IOS_BATTERY", fields), sizeof(R));
}

} // namespace
