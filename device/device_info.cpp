// GetDeviceInfo: lockdown values, storage figures, the file service's
// figures, the jailbreak test, and on a jailbroken device the versions of
// Cydia, Installous and the companion app (handset and tablet editions).
//
// The record is written step by step: a failure leaves the fields of the
// steps before it filled and the rest as the caller passed them.
#include "device/OrvexDevice.h"
#include "device/cf_values.h"
#include "device/device_access.h"
#include "device/export_guard.h"
#include "platform/log.h"
#include "platform/text.h"

#include <charconv>
#include <cstddef>
#include <cstring>
#include <string>

namespace {

// ---- lockdown values -------------------------------------------------------------

// Storage figures of the "com.apple.disk_usage" domain, in reading order.
struct StorageField {
    const char* key;
    int64_t __IOS_DEVICE::*field;
};

#define ORVEX_STORAGE(name)                                                                                            \
    { #name, &__IOS_DEVICE::name }
const StorageField kStorageFields[] = {
    ORVEX_STORAGE(TotalDataAvailable),   ORVEX_STORAGE(TotalDataCapacity),      ORVEX_STORAGE(TotalDiskCapacity),
    ORVEX_STORAGE(TotalSystemAvailable), ORVEX_STORAGE(TotalSystemCapacity),    ORVEX_STORAGE(CalendarUsage),
    ORVEX_STORAGE(CameraUsage),          ORVEX_STORAGE(MobileApplicationUsage), ORVEX_STORAGE(NotesUsage),
    ORVEX_STORAGE(PhotoUsage),           ORVEX_STORAGE(MediaCacheUsage),        ORVEX_STORAGE(WebAppCacheUsage),
};
#undef ORVEX_STORAGE

// How a value of the default domain is stored.
enum class Stored {
    Text,        // string -> text field
    Flag,        // boolean -> 0 or 1
    KeyText,     // data holding UTF-8 text -> text field
    Calibration, // data -> raw bytes, at most the field's size
    ChipId,      // 64-bit number -> unsigned decimal text
};

struct LockdownField {
    const char* key;
    Stored kind;
    size_t offset; // of the field in __IOS_DEVICE
    size_t size;   // of the field, in bytes
};

#define ORVEX_FIELD(name, kind)                                                                                        \
    { #name, Stored::kind, offsetof(__IOS_DEVICE, name), sizeof(__IOS_DEVICE::name) }
// The default domain's values, in reading order.
const LockdownField kLockdownFields[] = {
    ORVEX_FIELD(BluetoothAddress, Text),
    ORVEX_FIELD(WiFiAddress, Text),
    ORVEX_FIELD(ActivationPublicKey, KeyText),
    ORVEX_FIELD(ActivationState, Text),
    ORVEX_FIELD(ActivationStateAcknowledged, Flag),
    ORVEX_FIELD(BasebandBootloaderVersion, Text),
    ORVEX_FIELD(BasebandStatus, Text),
    ORVEX_FIELD(BasebandVersion, Text),
    ORVEX_FIELD(BuildVersion, Text),
    ORVEX_FIELD(CPUArchitecture, Text),
    ORVEX_FIELD(DeviceClass, Text),
    ORVEX_FIELD(DeviceColor, Text),
    ORVEX_FIELD(DeviceName, Text),
    ORVEX_FIELD(DevicePublicKey, KeyText),
    ORVEX_FIELD(FirmwareVersion, Text),
    ORVEX_FIELD(HardwareModel, Text),
    ORVEX_FIELD(HardwarePlatform, Text),
    ORVEX_FIELD(IntegratedCircuitCardIdentity, Text),
    ORVEX_FIELD(InternationalMobileEquipmentIdentity, Text),
    ORVEX_FIELD(InternationalMobileSubscriberIdentity, Text),
    ORVEX_FIELD(MLBSerialNumber, Text),
    ORVEX_FIELD(MobileSubscriberCountryCode, Text),
    ORVEX_FIELD(MobileSubscriberNetworkCode, Text),
    ORVEX_FIELD(ModelNumber, Text),
    ORVEX_FIELD(PartitionType, Text),
    ORVEX_FIELD(PasswordProtected, Flag),
    ORVEX_FIELD(PhoneNumber, Text),
    ORVEX_FIELD(ProductType, Text),
    ORVEX_FIELD(ProductVersion, Text),
    ORVEX_FIELD(ProtocolVersion, Text),
    ORVEX_FIELD(ProximitySensorCalibration, Calibration),
    ORVEX_FIELD(RegionInfo, Text),
    ORVEX_FIELD(SerialNumber, Text),
    ORVEX_FIELD(SIMStatus, Text),
    ORVEX_FIELD(TelephonyCapability, Flag),
    ORVEX_FIELD(UniqueChipID, ChipId),
};
#undef ORVEX_FIELD

std::wstring DataAsText(CFTypeRef value) {
    CFDataRef data = AsData(value);
    if (!data)
        return std::wstring();
    CFIndex length = vendor::CFDataGetLength(data);
    const uint8_t* bytes = vendor::CFDataGetBytePtr(data);
    if (length <= 0 || !bytes)
        return std::wstring();
    return Utf8ToWide(reinterpret_cast<const char*>(bytes), static_cast<size_t>(length));
}

void CopyDataBytes(CFTypeRef value, uint8_t* field, size_t size) {
    std::memset(field, 0, size);
    CFDataRef data = AsData(value);
    if (!data)
        return;
    CFIndex length = vendor::CFDataGetLength(data);
    const uint8_t* bytes = vendor::CFDataGetBytePtr(data);
    if (length > 0 && bytes)
        std::memcpy(field, bytes, std::min(size, static_cast<size_t>(length)));
}

std::wstring ChipIdText(CFTypeRef value) {
    int64_t id = 0;
    if (!NumberAsInt64(value, &id))
        return std::wstring();
    return std::to_wstring(static_cast<uint64_t>(id)); // the chip identifier is unsigned
}

void StoreLockdownValue(__IOS_DEVICE* info, const LockdownField& field, CFTypeRef value) {
    char* place = reinterpret_cast<char*>(info) + field.offset;
    wchar_t* text = reinterpret_cast<wchar_t*>(place);
    size_t capacity = field.size / sizeof(wchar_t);
    switch (field.kind) {
    case Stored::Text:
        CopyToField(text, capacity, StringText(value));
        break;
    case Stored::Flag:
        *reinterpret_cast<int32_t*>(place) = BooleanFlag(value);
        break;
    case Stored::KeyText:
        CopyToField(text, capacity, DataAsText(value));
        break;
    case Stored::Calibration:
        CopyDataBytes(value, reinterpret_cast<uint8_t*>(place), field.size);
        break;
    case Stored::ChipId:
        CopyToField(text, capacity, ChipIdText(value));
        break;
    }
}

void ReadStorageFigures(am_device* device, __IOS_DEVICE* info) {
    CFStringRef domain = CFConstant("com.apple.disk_usage");
    for (const StorageField& figure : kStorageFields) {
        CFRef<CFTypeRef> value(vendor::AMDeviceCopyValue(device, domain, CFConstant(figure.key)));
        int64_t number = 0;
        NumberAsInt64(value.get(), &number);
        info->*figure.field = number;
    }
}

void ReadLockdownValues(am_device* device, __IOS_DEVICE* info) {
    for (const LockdownField& field : kLockdownFields) {
        CFRef<CFTypeRef> value(vendor::AMDeviceCopyValue(device, nullptr, CFConstant(field.key)));
        StoreLockdownValue(info, field, value.get());
    }
}

// ---- the file service ------------------------------------------------------------

// A reader of key/value pairs (device information, file information).
class KeyValueReader {
  public:
    KeyValueReader() = default;
    ~KeyValueReader() {
        if (m_reader)
            vendor::AFCKeyValueClose(m_reader);
    }
    KeyValueReader(const KeyValueReader&) = delete;
    KeyValueReader& operator=(const KeyValueReader&) = delete;

    afc_dictionary** out() { return &m_reader; }
    // The next pair; false at the end (or on a reading error). Both texts
    // belong to the reader.
    bool Next(const char** key, const char** value) {
        if (!m_reader || ++m_pairs > kMaxPairs)
            return false;
        char* k = nullptr;
        char* v = nullptr;
        if (vendor::AFCKeyValueRead(m_reader, &k, &v) != 0 || !k)
            return false;
        *key = k;
        *value = v ? v : "";
        return true;
    }

  private:
    static constexpr int kMaxPairs = 4096; // a reader that never ends is cut off here
    afc_dictionary* m_reader = nullptr;
    int m_pairs = 0;
};

// A file of the device opened for reading.
class DeviceFileRef {
  public:
    explicit DeviceFileRef(afc_connection* afc) : m_afc(afc) {}
    ~DeviceFileRef() {
        if (m_open)
            vendor::AFCFileRefClose(m_afc, m_ref);
    }
    DeviceFileRef(const DeviceFileRef&) = delete;
    DeviceFileRef& operator=(const DeviceFileRef&) = delete;

    bool Open(const char* path) {
        const uint64_t kModeRead = 2;
        m_open = vendor::AFCFileRefOpen(m_afc, path, kModeRead, &m_ref) == 0;
        return m_open;
    }
    // Reads up to `size` bytes from the start; false on a reading error.
    bool ReadAll(uint32_t size, std::string* bytes) {
        bytes->assign(size, '\0');
        uint32_t got = 0;
        while (got < size) {
            unsigned int length = size - got;
            if (vendor::AFCFileRefRead(m_afc, m_ref, bytes->data() + got, &length) != 0 || length > size - got)
                return false;
            if (length == 0)
                break; // the file is shorter than it said
            got += length;
        }
        bytes->resize(got);
        return true;
    }

  private:
    afc_connection* m_afc;
    afc_file_ref m_ref = 0;
    bool m_open = false;
};

template <typename Number> Number ParseDecimal(const char* text) {
    Number number = 0;
    if (text)
        std::from_chars(text, text + std::strlen(text), number);
    return number;
}

// Larger property lists are refused rather than read into memory.
constexpr uint32_t kMaxPlistBytes = 32u * 1024 * 1024;

CFRef<CFPropertyListRef> ParsePropertyList(const std::string& bytes) {
    CFRef<CFDataRef> data(vendor::CFDataCreate(nullptr, reinterpret_cast<const uint8_t*>(bytes.data()),
                                               static_cast<CFIndex>(bytes.size())));
    if (!data)
        return CFRef<CFPropertyListRef>();
    return CFRef<CFPropertyListRef>(vendor::CFPropertyListCreateWithData(nullptr, data.get(), 0, nullptr, nullptr));
}

// Reads one property-list file of the device and parses it (XML or binary).
CFRef<CFPropertyListRef> ReadDevicePlist(afc_connection* afc, const std::string& path) {
    uint32_t size = 0;
    {
        KeyValueReader reader;
        if (vendor::AFCFileInfoOpen(afc, path.c_str(), reader.out()) != 0) {
            WriteDailyLog(L"提取plist文件信息失败。");
            return CFRef<CFPropertyListRef>();
        }
        const char* key = nullptr;
        const char* value = nullptr;
        while (reader.Next(&key, &value)) {
            if (std::strcmp(key, "st_size") == 0) {
                size = ParseDecimal<uint32_t>(value);
                break;
            }
        }
    }
    DeviceFileRef file(afc);
    if (!file.Open(path.c_str())) {
        WriteDailyLog(L"读取plist文件时打开失败！");
        return CFRef<CFPropertyListRef>();
    }
    std::string bytes;
    if (size > kMaxPlistBytes || !file.ReadAll(size, &bytes)) {
        WriteDailyLog(L"读取plist文件内容失败！");
        return CFRef<CFPropertyListRef>();
    }
    return ParsePropertyList(bytes);
}

bool DirectoryOpens(afc_connection* afc, const std::string& path) {
    afc_directory* directory = nullptr;
    if (vendor::AFCDirectoryOpen(afc, path.c_str(), &directory) != 0)
        return false;
    if (directory)
        vendor::AFCDirectoryClose(afc, directory);
    return true;
}

// Figures of the file service: sizes, block size and model. A field whose
// key does not come keeps its content.
bool ReadFileServiceInfo(afc_connection* afc, __IOS_DEVICE* info) {
    KeyValueReader reader;
    if (vendor::AFCDeviceInfoOpen(afc, reader.out()) != 0)
        return false;
    const char* key = nullptr;
    const char* value = nullptr;
    while (reader.Next(&key, &value)) {
        if (std::strcmp(key, "FSFreeBytes") == 0)
            info->FSFreeBytes = ParseDecimal<int64_t>(value);
        else if (std::strcmp(key, "FSTotalBytes") == 0)
            info->FSTotalBytes = ParseDecimal<int64_t>(value);
        else if (std::strcmp(key, "FSBlockSize") == 0)
            info->FSBlockSize = ParseDecimal<int32_t>(value);
        else if (std::strcmp(key, "Model") == 0)
            CopyToField(info->Model, Utf8ToWide(value));
    }
    return true;
}

// ---- application probes -----------------------------------------------------------

// The bundle version of /Applications/<name>.app, or empty text.
std::wstring ProbeApplication(afc_connection* afc, const char* name) {
    std::string folder = std::string("/Applications/") + name + ".app";
    std::wstring wideName = Utf8ToWide(name);
    if (!DirectoryOpens(afc, folder)) {
        WriteDailyLog(wideName + L" 没有安装");
        return std::wstring();
    }
    CFRef<CFPropertyListRef> plist = ReadDevicePlist(afc, folder + "/Info.plist");
    if (!plist) {
        WriteDailyLog(L"提取" + wideName + L"版本信息失败。");
        return std::wstring();
    }
    return StringText(DictionaryValue(plist.get(), "CFBundleVersion"));
}

// The companion app: under /Applications (a system app), else among the
// user applications of the installation list. `isSystemApp` is written only
// when the app is found.
std::wstring ProbeCompanion(afc_connection* afc, const char* name, const char* bundleId, int32_t* isSystemApp) {
    std::string folder = std::string("/Applications/") + name + ".app";
    std::wstring wideName = Utf8ToWide(name);
    if (DirectoryOpens(afc, folder)) {
        *isSystemApp = 1;
        CFRef<CFPropertyListRef> plist = ReadDevicePlist(afc, folder + "/Info.plist");
        if (!plist) {
            WriteDailyLog(L"提取" + wideName + L"版本信息失败。");
            return std::wstring();
        }
        return StringText(DictionaryValue(plist.get(), "CFBundleVersion"));
    }
    CFRef<CFPropertyListRef> list = ReadDevicePlist(afc, "/User/Library/Caches/com.apple.mobile.installation.plist");
    if (!list) {
        WriteDailyLog(L"ipa安装列表加载失败。");
        return std::wstring();
    }
    CFTypeRef entry = AsDictionary(DictionaryValue(DictionaryValue(list.get(), "User"), bundleId));
    if (!entry) {
        WriteDailyLog(wideName + L" 没有安装");
        return std::wstring();
    }
    *isSystemApp = 0;
    return StringText(DictionaryValue(entry, "CFBundleVersion"));
}

void ProbeApplications(afc_connection* afc, __IOS_DEVICE* info) {
    CopyToField(info->CydiaVersion, ProbeApplication(afc, "Cydia"));
    CopyToField(info->InstallousVersion, ProbeApplication(afc, "Installous"));
    CopyToField(info->QuillonVersion, ProbeCompanion(afc, "Quillon", "com.zephant.Quillon", &info->QuillonIsSystemApp));
    CopyToField(info->QuillonHDVersion,
                ProbeCompanion(afc, "QuillonHD", "com.zephant.QuillonHD", &info->QuillonHDIsSystemApp));
}

void ClearApplicationVersions(__IOS_DEVICE* info) {
    info->CydiaVersion[0] = L'\0';
    info->InstallousVersion[0] = L'\0';
    info->QuillonVersion[0] = L'\0';
    info->QuillonHDVersion[0] = L'\0';
}

int ReadDeviceInfo(const wchar_t* identifier, __IOS_DEVICE* info) {
    if (!info)
        return 0;
    DeviceRef device = FindDevice(identifier);
    if (!device) {
        std::memset(info, 0, sizeof(*info));
        return 0;
    }
    CopyToField(info->UniqueDeviceID, identifier);
    DeviceSession session(device.get());
    if (!session.Open())
        return 0;
    ReadStorageFigures(device.get(), info);
    ReadLockdownValues(device.get(), info);
    // The jailbreak test: the privileged file service starts.
    FileService afc;
    bool opened = OpenFileService(session, &afc);
    if (afc.started())
        info->IsJailbroken = afc.privileged() ? 1 : 0;
    if (!opened)
        return 0;
    if (!ReadFileServiceInfo(afc.connection(), info)) {
        WriteDailyLog(L"取得设备信息失败.");
        return 0;
    }
    if (info->IsJailbroken)
        ProbeApplications(afc.connection(), info);
    else
        ClearApplicationVersions(info);
    return 1;
}

} // namespace

int GetDeviceInfo(const wchar_t* identifier, __IOS_DEVICE* info) {
    return GuardedExport(L"GetDeviceInfo", [&] { return ReadDeviceInfo(identifier, info); });
}
