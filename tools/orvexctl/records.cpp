#include "tools/orvexctl/records.h"

#include <cmath>
#include <cstring>
#include <cwchar>

namespace orvexctl {

namespace {

#define FIELD(record, field, kind, count)                                                                              \
    { L## #field, FieldKind::kind, offsetof(record, field), count }
#define TEXT(record, field) FIELD(record, field, Text, sizeof(record::field) / sizeof(wchar_t))
#define PLAIN(record, field, kind) FIELD(record, field, kind, 1)

const Field kDevice[] = {
    TEXT(__IOS_DEVICE, UniqueDeviceID),
    TEXT(__IOS_DEVICE, UniqueChipID),
    TEXT(__IOS_DEVICE, DeviceName),
    TEXT(__IOS_DEVICE, ProductVersion),
    TEXT(__IOS_DEVICE, BuildVersion),
    PLAIN(__IOS_DEVICE, IsJailbroken, Flag),
    TEXT(__IOS_DEVICE, CydiaVersion),
    TEXT(__IOS_DEVICE, InstallousVersion),
    TEXT(__IOS_DEVICE, QuillonVersion),
    PLAIN(__IOS_DEVICE, QuillonIsSystemApp, Flag),
    TEXT(__IOS_DEVICE, QuillonHDVersion),
    PLAIN(__IOS_DEVICE, QuillonHDIsSystemApp, Flag),
    PLAIN(__IOS_DEVICE, FSTotalBytes, Int64),
    PLAIN(__IOS_DEVICE, FSFreeBytes, Int64),
    PLAIN(__IOS_DEVICE, FSBlockSize, Int32),
    TEXT(__IOS_DEVICE, Model),
    TEXT(__IOS_DEVICE, SerialNumber),
    TEXT(__IOS_DEVICE, WiFiAddress),
    TEXT(__IOS_DEVICE, BluetoothAddress),
    TEXT(__IOS_DEVICE, BasebandBootloaderVersion),
    TEXT(__IOS_DEVICE, BasebandVersion),
    TEXT(__IOS_DEVICE, BasebandStatus),
    TEXT(__IOS_DEVICE, InternationalMobileEquipmentIdentity),
    TEXT(__IOS_DEVICE, IntegratedCircuitCardIdentity),
    TEXT(__IOS_DEVICE, InternationalMobileSubscriberIdentity),
    TEXT(__IOS_DEVICE, PhoneNumber),
    TEXT(__IOS_DEVICE, ActivationPublicKey),
    TEXT(__IOS_DEVICE, ActivationState),
    PLAIN(__IOS_DEVICE, ActivationStateAcknowledged, Flag),
    TEXT(__IOS_DEVICE, CPUArchitecture),
    TEXT(__IOS_DEVICE, DeviceClass),
    TEXT(__IOS_DEVICE, DeviceColor),
    TEXT(__IOS_DEVICE, DevicePublicKey),
    TEXT(__IOS_DEVICE, FirmwareVersion),
    TEXT(__IOS_DEVICE, HardwareModel),
    TEXT(__IOS_DEVICE, HardwarePlatform),
    TEXT(__IOS_DEVICE, MLBSerialNumber),
    TEXT(__IOS_DEVICE, MobileSubscriberCountryCode),
    TEXT(__IOS_DEVICE, MobileSubscriberNetworkCode),
    TEXT(__IOS_DEVICE, ModelNumber),
    TEXT(__IOS_DEVICE, PartitionType),
    PLAIN(__IOS_DEVICE, PasswordProtected, Flag),
    TEXT(__IOS_DEVICE, ProductType),
    TEXT(__IOS_DEVICE, ProtocolVersion),
    FIELD(__IOS_DEVICE, ProximitySensorCalibration, Bytes, sizeof(__IOS_DEVICE::ProximitySensorCalibration)),
    TEXT(__IOS_DEVICE, RegionInfo),
    TEXT(__IOS_DEVICE, SIMStatus),
    PLAIN(__IOS_DEVICE, TelephonyCapability, Flag),
    PLAIN(__IOS_DEVICE, TotalDataAvailable, Int64),
    PLAIN(__IOS_DEVICE, TotalDataCapacity, Int64),
    PLAIN(__IOS_DEVICE, TotalDiskCapacity, Int64),
    PLAIN(__IOS_DEVICE, TotalSystemAvailable, Int64),
    PLAIN(__IOS_DEVICE, TotalSystemCapacity, Int64),
    PLAIN(__IOS_DEVICE, CalendarUsage, Int64),
    PLAIN(__IOS_DEVICE, CameraUsage, Int64),
    PLAIN(__IOS_DEVICE, MobileApplicationUsage, Int64),
    PLAIN(__IOS_DEVICE, NotesUsage, Int64),
    PLAIN(__IOS_DEVICE, PhotoUsage, Int64),
    PLAIN(__IOS_DEVICE, MediaCacheUsage, Int64),
    PLAIN(__IOS_DEVICE, WebAppCacheUsage, Int64),
};
static_assert(std::size(kDevice) == 60, "every field of the device record");

const Field kApp[] = {
    TEXT(__IOS_APP, Identifier),
    TEXT(__IOS_APP, Name),
    TEXT(__IOS_APP, Path),
    TEXT(__IOS_APP, Container),
    TEXT(__IOS_APP, IconFile),
    TEXT(__IOS_APP, Version),
    TEXT(__IOS_APP, StoreId),
    PLAIN(__IOS_APP, IsSystemApp, Flag),
    PLAIN(__IOS_APP, ArtistId, Int32),
    TEXT(__IOS_APP, ArtistName),
    TEXT(__IOS_APP, Kind),
    PLAIN(__IOS_APP, GenreId, Int32),
    TEXT(__IOS_APP, Genre),
    FIELD(__IOS_APP, SubgenreIds, Int32List, sizeof(__IOS_APP::SubgenreIds) / sizeof(int32_t)),
    TEXT(__IOS_APP, Subgenres),
    PLAIN(__IOS_APP, ExternalVersionId, Int32),
    TEXT(__IOS_APP, ReleaseDate),
};
static_assert(std::size(kApp) == 17, "every field of the application record");

const Field kFile[] = {
    TEXT(__IOS_FILE, Name),
    TEXT(__IOS_FILE, Path),
    TEXT(__IOS_FILE, Extension),
    PLAIN(__IOS_FILE, Type, FileType),
    PLAIN(__IOS_FILE, Size, Int64),
    PLAIN(__IOS_FILE, Blocks, UInt32),
    PLAIN(__IOS_FILE, LinkCount, UInt32),
    PLAIN(__IOS_FILE, CreationTime, Date),
    PLAIN(__IOS_FILE, ModificationTime, Date),
    TEXT(__IOS_FILE, LinkTarget),
};
static_assert(std::size(kFile) == 10, "every field of the file record");

const Field kBattery[] = {
    PLAIN(__IOS_BATTERY, FullyCharged, Flag),          PLAIN(__IOS_BATTERY, BatteryCurrentCapacity, Int32),
    PLAIN(__IOS_BATTERY, ExternalChargeCapable, Flag), PLAIN(__IOS_BATTERY, BatteryIsCharging, Flag),
    PLAIN(__IOS_BATTERY, ExternalConnected, Flag),
};

#undef PLAIN
#undef TEXT
#undef FIELD

template <typename T> T Read(const void* record, size_t offset) {
    T value;
    std::memcpy(&value, static_cast<const char*>(record) + offset, sizeof(T));
    return value;
}

const uint8_t* BytesAt(const void* record, size_t offset) { return static_cast<const uint8_t*>(record) + offset; }

} // namespace

const std::span<const Field> kDeviceFields(kDevice);
const std::span<const Field> kAppFields(kApp);
const std::span<const Field> kFileFields(kFile);
const std::span<const Field> kBatteryFields(kBattery);

const Field* FindField(std::span<const Field> fields, const wchar_t* name) {
    for (const Field& field : fields) {
        if (std::wcscmp(field.name, name) == 0)
            return &field;
    }
    return nullptr;
}

std::wstring TextField(const void* record, const Field& field) {
    const wchar_t* text = reinterpret_cast<const wchar_t*>(BytesAt(record, field.offset));
    return std::wstring(text, wcsnlen(text, field.count));
}

void WriteFields(JsonWriter& json, const void* record, std::span<const Field> fields) {
    for (const Field& field : fields) {
        json.Key(field.name);
        switch (field.kind) {
        case FieldKind::Text:
            json.String(TextField(record, field));
            break;
        case FieldKind::Flag:
            json.Bool(Read<int32_t>(record, field.offset) != 0);
            break;
        case FieldKind::Int32:
        case FieldKind::FileType:
            json.Number(Read<int32_t>(record, field.offset));
            break;
        case FieldKind::UInt32:
            json.Number(Read<uint32_t>(record, field.offset));
            break;
        case FieldKind::Int64:
            json.Number(Read<int64_t>(record, field.offset));
            break;
        case FieldKind::Bytes:
            json.String(Hex(BytesAt(record, field.offset), field.count));
            break;
        case FieldKind::Date: {
            std::wstring iso = IsoDate(Read<DateValue>(record, field.offset));
            if (iso.empty())
                json.Null();
            else
                json.String(iso);
            break;
        }
        case FieldKind::Int32List:
            json.BeginArray(true);
            for (size_t i = 0; i < field.count; ++i)
                json.Number(Read<int32_t>(record, field.offset + i * sizeof(int32_t)));
            json.EndArray();
            break;
        }
    }
}

std::wstring FieldText(const void* record, const Field& field) {
    switch (field.kind) {
    case FieldKind::Text:
        return TextField(record, field);
    case FieldKind::Flag:
        return Read<int32_t>(record, field.offset) ? L"yes" : L"no";
    case FieldKind::Int32:
        return std::to_wstring(Read<int32_t>(record, field.offset));
    case FieldKind::FileType:
        return FileTypeName(Read<int32_t>(record, field.offset));
    case FieldKind::UInt32:
        return std::to_wstring(Read<uint32_t>(record, field.offset));
    case FieldKind::Int64:
        return std::to_wstring(Read<int64_t>(record, field.offset));
    case FieldKind::Bytes:
        return Hex(BytesAt(record, field.offset), field.count);
    case FieldKind::Date: {
        std::wstring iso = IsoDate(Read<DateValue>(record, field.offset));
        if (iso.empty())
            return L"-";
        iso[10] = L' ';
        return iso;
    }
    case FieldKind::Int32List: {
        // The identifiers up to the last one that is set.
        size_t used = field.count;
        while (used > 0 && Read<int32_t>(record, field.offset + (used - 1) * sizeof(int32_t)) == 0)
            --used;
        std::wstring text;
        for (size_t i = 0; i < used; ++i)
            text += (i ? L"," : L"") + std::to_wstring(Read<int32_t>(record, field.offset + i * sizeof(int32_t)));
        return text;
    }
    }
    return std::wstring();
}

bool OleDateToCivil(double date, CivilTime* time) {
    // Years 100 to 9999, the range of OLE automation dates.
    if (!(date > -657435.0 && date < 2958466.0))
        return false;
    // Before 1899-12-30 the day count is negative while the time of day
    // still counts forward: -1.25 is 1899-12-29 06:00.
    double wholeDays = std::trunc(date);
    long long seconds = std::llround(std::fabs(date - wholeDays) * 86400.0);
    long long days = static_cast<long long>(wholeDays);
    if (seconds >= 86400) {
        seconds -= 86400;
        days += date < 0 ? -1 : 1;
    }
    // Days since 1970-01-01, then the civil date (proleptic Gregorian).
    long long z = days - 25569 + 719468;
    long long era = (z >= 0 ? z : z - 146096) / 146097;
    long long doe = z - era * 146097;
    long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    long long mp = (5 * doy + 2) / 153;
    long long day = doy - (153 * mp + 2) / 5 + 1;
    long long month = mp < 10 ? mp + 3 : mp - 9;
    long long year = yoe + era * 400 + (month <= 2 ? 1 : 0);
    *time = CivilTime{static_cast<int>(year),
                      static_cast<int>(month),
                      static_cast<int>(day),
                      static_cast<int>(seconds / 3600),
                      static_cast<int>(seconds / 60 % 60),
                      static_cast<int>(seconds % 60)};
    return true;
}

std::wstring IsoDate(const DateValue& date) {
    CivilTime t;
    if (date.Status != DateValueValid || !OleDateToCivil(date.Date, &t))
        return std::wstring();
    wchar_t text[32];
    std::swprintf(text, 32, L"%04d-%02d-%02dT%02d:%02d:%02d", t.year, t.month, t.day, t.hour, t.minute, t.second);
    return text;
}

std::wstring ShortDate(const DateValue& date) {
    std::wstring iso = IsoDate(date);
    if (iso.empty())
        return L"-";
    iso[10] = L' ';
    return iso.substr(0, 16);
}

std::wstring Hex(const uint8_t* bytes, size_t count) {
    static const wchar_t kDigits[] = L"0123456789abcdef";
    std::wstring text;
    text.reserve(count * 2);
    for (size_t i = 0; i < count; ++i) {
        text += kDigits[bytes[i] >> 4];
        text += kDigits[bytes[i] & 15];
    }
    return text;
}

std::wstring FormatBytes(uint64_t bytes) {
    static const wchar_t* const kUnits[] = {L"KB", L"MB", L"GB", L"TB"};
    if (bytes < 1024)
        return std::to_wstring(bytes) + L" B";
    double value = static_cast<double>(bytes) / 1024.0;
    size_t unit = 0;
    while (value >= 1024.0 && unit + 1 < std::size(kUnits)) {
        value /= 1024.0;
        ++unit;
    }
    wchar_t text[32];
    std::swprintf(text, 32, L"%.2f %ls", value, kUnits[unit]);
    return text;
}

const wchar_t* FileTypeName(int32_t type) {
    switch (type) {
    case 0:
        return L"directory";
    case 1:
        return L"file";
    case 2:
        return L"link";
    default:
        return L"unknown";
    }
}

} // namespace orvexctl
