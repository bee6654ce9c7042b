#include "sim/farm/templates.h"

#include "sim/farm/farm.h"
#include "sim/farm/status.h"

#include <cstdint>

namespace simfarm {

namespace {

const char kInstallationList[] = "/private/var/mobile/Library/Caches/com.apple.mobile.installation.plist";

// One application of a template.
struct AppSpec {
    const char* bundleId;
    const char* folder;      // bundle folder name without ".app"
    const char* displayName; // null: the entry has only CFBundleName
    const char* version;
    const char* shortVersion;
    bool user;             // installed by the user (container under /var/mobile/Applications)
    const char* container; // UUID of the container of a user application
    int64_t dsid;          // ApplicationDSID; -1: none
    int icons;             // 0: CFBundleIconFiles [Icon.png, Icon@2x.png]; 1: CFBundleIconFile; 2: empty list
};

struct TemplateRecipe {
    const char* name;
    const char* summary;
    bool jailbroken;
    bool telephony;
    // Default lockdown domain, as (key, type, text) rows.
    const char* const (*lockdown)[3];
    size_t lockdownCount;
    const AppSpec* apps;
    size_t appCount;
    int64_t diskTotal, dataCapacity, dataAvailable, systemCapacity, systemAvailable;
    int64_t cameraUsage, appUsage, photoUsage;
    bool webAppCacheUsage; // reported at all
    int battery;
    bool reportsCharging;          // BatteryIsCharging present
    const char* cydiaVersion;      // null: no Cydia
    const char* installousVersion; // null: no Installous
    int autoInstall;               // 0: no /var/root/Media/Cydia; 1: Cydia folder only; 2: with AutoInstall
};

// ---- lockdown values -------------------------------------------------------

const char* const kIPhone4S[][3] = {
    {"ActivationState", "string", "Activated"},
    {"ActivationStateAcknowledged", "bool", "true"},
    {"BasebandBootloaderVersion", "string", "Mav5-04.04(M3S2)"},
    {"BasebandStatus", "string", "BBInfoAvailable"},
    {"BasebandVersion", "string", "2.0.12"},
    {"BluetoothAddress", "string", "d8:9e:3f:2a:41:7c"},
    {"BuildVersion", "string", "9B206"},
    {"CPUArchitecture", "string", "armv7"},
    {"DeviceClass", "string", "iPhone"},
    {"DeviceColor", "string", "black"},
    {"DeviceName", "string", "\xE7\x8E\x8B\xE5\xB0\x8F\xE6\x98\x8E\xE7\x9A\x84 iPhone"}, // 王小明的 iPhone
    {"FirmwareVersion", "string", "iBoot-1219.62.15"},
    {"HardwareModel", "string", "N94AP"},
    {"HardwarePlatform", "string", "s5l8940x"},
    {"IntegratedCircuitCardIdentity", "string", "89860112851027634512"},
    {"InternationalMobileEquipmentIdentity", "string", "013065005478213"},
    {"InternationalMobileSubscriberIdentity", "string", "460016718234591"},
    {"MLBSerialNumber", "string", "C02148301D5DTD2A1"},
    {"MobileSubscriberCountryCode", "string", "460"},
    {"MobileSubscriberNetworkCode", "string", "01"},
    {"ModelNumber", "string", "MD235"},
    {"PartitionType", "string", "GUID_partition_scheme"},
    {"PasswordProtected", "bool", "false"},
    {"PhoneNumber", "string", "+86 186 1234 5678"},
    {"ProductType", "string", "iPhone4,1"},
    {"ProductVersion", "string", "5.1.1"},
    {"ProtocolVersion", "string", "2"},
    {"ProximitySensorCalibration", "data", "1a0b7f00c0de0a00311d000041000000000000004e0301000f00000028003c00a0002400"},
    {"RegionInfo", "string", "CH/A"},
    {"SerialNumber", "string", "DNPH3177DTD2"},
    {"SIMStatus", "string", "kCTSIMSupportSIMStatusReady"},
    {"TelephonyCapability", "bool", "true"},
    {"UniqueChipID", "integer", "3480186438350"},
};

const char* const kIPad25[][3] = {
    {"ActivationState", "string", "Activated"},
    {"ActivationStateAcknowledged", "bool", "true"},
    {"BluetoothAddress", "string", "9c:04:eb:51:a2:0f"},
    {"BuildVersion", "string", "10B329"},
    {"CPUArchitecture", "string", "armv7"},
    {"DeviceClass", "string", "iPad"},
    {"DeviceColor", "string", "white"},
    {"DeviceName", "string", "iPad"},
    {"FirmwareVersion", "string", "iBoot-1537.9.55"},
    {"HardwareModel", "string", "P105AP"},
    {"HardwarePlatform", "string", "s5l8942x"},
    {"MLBSerialNumber", "string", "F4T2509A0FJF5D6AQ"},
    {"ModelNumber", "string", "MD531"},
    {"PartitionType", "string", "GUID_partition_scheme"},
    {"PasswordProtected", "bool", "true"},
    {"ProductType", "string", "iPad2,5"},
    {"ProductVersion", "string", "6.1.3"},
    {"ProtocolVersion", "string", "2"},
    {"RegionInfo", "string", "CH/A"},
    {"SerialNumber", "string", "F7NK2HQVF193"},
    {"TelephonyCapability", "bool", "false"},
    {"UniqueChipID", "integer", "4370319982861"},
};

const char* const kIPod41[][3] = {
    {"ActivationState", "string", "Activated"},
    {"ActivationStateAcknowledged", "bool", "true"},
    {"BluetoothAddress", "string", "70:de:e2:1c:08:b5"},
    {"BuildVersion", "string", "10B141"},
    {"CPUArchitecture", "string", "armv7"},
    {"DeviceClass", "string", "iPod"},
    {"DeviceColor", "string", "white"},
    {"DeviceName", "string", "Zhang's iPod"},
    {"FirmwareVersion", "string", "iBoot-1537.9.55"},
    {"HardwareModel", "string", "N81AP"},
    {"HardwarePlatform", "string", "s5l8930x"},
    {"MLBSerialNumber", "string", "C0713440BSXDL9KA1"},
    {"ModelNumber", "string", "MC544"},
    {"PartitionType", "string", "GUID_partition_scheme"},
    {"PasswordProtected", "bool", "false"},
    {"ProductType", "string", "iPod4,1"},
    {"ProductVersion", "string", "6.1"},
    {"ProtocolVersion", "string", "2"},
    {"RegionInfo", "string", "CH/A"},
    {"SerialNumber", "string", "CCQGH7RXDT75"},
    {"TelephonyCapability", "bool", "false"},
    {"UniqueChipID", "integer", "2181073158230"},
};

const char* const kIPhone51[][3] = {
    {"ActivationState", "string", "Activated"},
    {"ActivationStateAcknowledged", "bool", "true"},
    {"BasebandBootloaderVersion", "string", "Mav10-05.06"},
    {"BasebandStatus", "string", "BBInfoAvailable"},
    {"BasebandVersion", "string", "3.04.25"},
    {"BluetoothAddress", "string", "58:55:ca:93:6e:21"},
    {"BuildVersion", "string", "10B146"},
    {"CPUArchitecture", "string", "armv7s"},
    {"DeviceClass", "string", "iPhone"},
    {"DeviceColor", "string", "black"},
    {"DeviceName", "string", "iPhone"},
    {"FirmwareVersion", "string", "iBoot-1537.9.55"},
    {"HardwareModel", "string", "N41AP"},
    {"HardwarePlatform", "string", "s5l8950x"},
    {"IntegratedCircuitCardIdentity", "string", "89860027101350871166"},
    {"InternationalMobileEquipmentIdentity", "string", "013428009876541"},
    {"InternationalMobileSubscriberIdentity", "string", "460027015524703"},
    {"MLBSerialNumber", "string", "C02249208NFF2YJA1"},
    {"MobileSubscriberCountryCode", "string", "460"},
    {"MobileSubscriberNetworkCode", "string", "02"},
    {"ModelNumber", "string", "MD297"},
    {"PartitionType", "string", "GUID_partition_scheme"},
    {"PasswordProtected", "bool", "false"},
    {"PhoneNumber", "string", "+86 139 0123 4567"},
    {"ProductType", "string", "iPhone5,1"},
    {"ProductVersion", "string", "6.1.2"},
    {"ProtocolVersion", "string", "2"},
    {"ProximitySensorCalibration", "data", "5b0c8a01d9ee1b00402e00005c0000000000000063040200110000003100480bb0003000"},
    {"RegionInfo", "string", "CH/A"},
    {"SerialNumber", "string", "F2LJQ0XRDTTN"},
    {"SIMStatus", "string", "kCTSIMSupportSIMStatusReady"},
    {"TelephonyCapability", "bool", "true"},
    {"UniqueChipID", "integer", "5821935077126"},
};

// ---- applications ----------------------------------------------------------

const AppSpec kSystemApps[] = {
    {"com.apple.mobilesafari", "MobileSafari", "Safari", "7534.48.3", "5.1", false, nullptr, -1, 0},
    {"com.apple.Preferences", "Preferences", "Settings", "1.0", "1.0", false, nullptr, -1, 0},
    {"com.apple.mobilemail", "MobileMail", "Mail", "1.0", "1.0", false, nullptr, -1, 0},
    {"com.apple.mobileslideshow", "MobileSlideShow", "Photos", "1.0", "1.0", false, nullptr, -1, 0},
    {"com.apple.AppStore", "AppStore", "App Store", "1.0", "1.0", false, nullptr, -1, 0},
};

const AppSpec kIPhone4SApps[] = {
    {"com.saurik.Cydia", "Cydia", "Cydia", "1.1.5", "1.1.5", false, nullptr, -1, 1},
    {"com.hackulous.installous", "Installous", "Installous", "4.5", "4.5", false, nullptr, -1, 1},
    {"com.tencent.xin", "WeChat", "\xE5\xBE\xAE\xE4\xBF\xA1", "4.2", "4.2", true,
     "2B1F0D6C-4B7A-4E55-9E0C-1A7D59C3E8F4", 481627304, 0},
    {"com.sina.weibo", "Weibo", nullptr, "2.8.1", "2.8.1", true, "8C07A2E1-90D3-4F6B-B7A8-3E2C61F0D915", 0, 1},
};

const AppSpec kIPad25Apps[] = {
    {"com.tencent.mipadqq", "QQHD", "QQ HD", "3.1", "3.1", true, "5E3A1F90-7C2B-4D84-A6E1-0B9D27C4F835", 0, 2},
};

const AppSpec kIPod41Apps[] = {
    {"com.saurik.Cydia", "Cydia", "Cydia", "1.1.8", "1.1.8", false, nullptr, -1, 1},
    {"com.zephant.Quillon", "Quillon", "Quillon", "1.3.2", "1.3", true, "D41C7E09-2F3A-4B6E-8C51-7A0E93B2F6D8",
     536912077, 0},
};

const AppSpec kIPhone51Apps[] = {
    {"com.saurik.Cydia", "Cydia", "Cydia", "1.1.8", "1.1.8", false, nullptr, -1, 1},
    {"com.tencent.mqq", "QQ", "QQ", "4.0.1", "4.0.1", true, "A7E2C3D4-1B5F-4E6A-9C8D-2F3B4A5C6D7E", 300512113, 0},
};

// UniqueDeviceID is set from the device's identifier, not from the table.
const TemplateRecipe kTemplates[] = {
    {"iphone4s-jailbroken",
     "iPhone4,1, iOS 5.1.1, jailbroken: Cydia, Installous, /var/root/Media/Cydia/AutoInstall",
     true,
     true,
     kIPhone4S,
     std::size(kIPhone4S),
     kIPhone4SApps,
     std::size(kIPhone4SApps),
     16005464064,
     15005462528,
     9841704960,
     1000001536,
     262881280,
     1208422400,
     2842193920,
     905412608,
     true,
     83,
     true,
     "1.1.5",
     "4.5",
     2},
    {"ipad2-stock", "iPad2,5, iOS 6.1.3, not jailbroken",
     false,         false,
     kIPad25,       std::size(kIPad25),
     kIPad25Apps,   std::size(kIPad25Apps),
     16001269760,   14336950272,
     12051718144,   1664319488,
     425926656,     104857600,
     786432000,     52428800,
     true,          100,
     false,         nullptr,
     nullptr,       0},
    {"ipod4-jailbroken",
     "iPod4,1, iOS 6.1, jailbroken: Cydia, the companion app Quillon as a user application, no Installous",
     true,
     false,
     kIPod41,
     std::size(kIPod41),
     kIPod41Apps,
     std::size(kIPod41Apps),
     7756087296,
     6691741696,
     1284145152,
     1064345600,
     232673280,
     314572800,
     3221225472,
     1610612736,
     true,
     41,
     true,
     "1.1.8",
     nullptr,
     1},
    {"iphone5-jailbroken",
     "iPhone5,1, iOS 6.1.2, jailbroken: Cydia; a model the installer does not know",
     true,
     true,
     kIPhone51,
     std::size(kIPhone51),
     kIPhone51Apps,
     std::size(kIPhone51Apps),
     31994347520,
     30327377920,
     27583627264,
     1666969600,
     380739584,
     2147483648,
     1073741824,
     1342177280,
     false,
     62,
     true,
     "1.1.8",
     nullptr,
     0},
};

const TemplateRecipe* FindTemplate(const std::string& name) {
    for (const TemplateRecipe& recipe : kTemplates) {
        if (name == recipe.name)
            return &recipe;
    }
    return nullptr;
}

// A PEM text of an RSA public key whose body is derived from `seed`: the
// device's keys are opaque text to every caller.
std::string MakePublicKey(const std::string& seed) {
    uint32_t state = 2166136261u;
    for (char c : seed)
        state = (state ^ static_cast<uint8_t>(c)) * 16777619u;
    std::string der = "\x30\x81\x89\x02\x81\x81";
    der += '\0';
    for (int i = 0; i < 128; ++i) {
        state = state * 1664525u + 1013904223u;
        der += static_cast<char>(state >> 24);
    }
    der += "\x02\x03\x01\x00\x01";
    std::string body = EncodeBase64(der);
    std::string pem = "-----BEGIN RSA PUBLIC KEY-----\n";
    for (size_t i = 0; i < body.size(); i += 64)
        pem += body.substr(i, 64) + "\n";
    pem += "-----END RSA PUBLIC KEY-----\n";
    return pem;
}

std::string AppPath(const AppSpec& app) {
    std::string bundle = std::string(app.folder) + ".app";
    if (app.user)
        return std::string("/private/var/mobile/Applications/") + app.container + "/" + bundle;
    return "/Applications/" + bundle;
}

void IconValues(const AppSpec& app, Value* target) {
    if (app.icons == 1) {
        target->Set("CFBundleIconFile", Value::String("icon.png"));
        return;
    }
    Value list = Value::Array();
    if (app.icons == 0) {
        list.Append(Value::String("Icon.png"));
        list.Append(Value::String("Icon@2x.png"));
    }
    target->Set("CFBundleIconFiles", std::move(list));
}

Value InfoPlistOf(const AppSpec& app) {
    Value info = Value::Dict();
    info.Set("CFBundleDevelopmentRegion", Value::String("English"));
    if (app.displayName)
        info.Set("CFBundleDisplayName", Value::String(app.displayName));
    info.Set("CFBundleExecutable", Value::String(app.folder));
    IconValues(app, &info);
    info.Set("CFBundleIdentifier", Value::String(app.bundleId));
    info.Set("CFBundleInfoDictionaryVersion", Value::String("6.0"));
    info.Set("CFBundleName", Value::String(app.folder));
    info.Set("CFBundlePackageType", Value::String("APPL"));
    info.Set("CFBundleShortVersionString", Value::String(app.shortVersion));
    info.Set("CFBundleSignature", Value::String("????"));
    info.Set("CFBundleVersion", Value::String(app.version));
    Value families = Value::Array();
    families.Append(Value::Integer(1));
    families.Append(Value::Integer(2));
    info.Set("UIDeviceFamily", families);
    info.Set("MinimumOSVersion", Value::String("4.3"));
    return info;
}

// The application's entry as the lookup answers it.
Value LookupEntryOf(const AppSpec& app) {
    Value entry = Value::Dict();
    entry.Set("ApplicationType", Value::String(app.user ? "User" : "System"));
    if (app.dsid >= 0)
        entry.Set("ApplicationDSID", Value::Integer(app.dsid));
    if (app.displayName)
        entry.Set("CFBundleDisplayName", Value::String(app.displayName));
    entry.Set("CFBundleExecutable", Value::String(app.folder));
    IconValues(app, &entry);
    entry.Set("CFBundleIdentifier", Value::String(app.bundleId));
    entry.Set("CFBundleName", Value::String(app.folder));
    entry.Set("CFBundleShortVersionString", Value::String(app.shortVersion));
    entry.Set("CFBundleVersion", Value::String(app.version));
    if (app.user)
        entry.Set("Container", Value::String(std::string("/private/var/mobile/Applications/") + app.container));
    entry.Set("Path", Value::String(AppPath(app)));
    return entry;
}

bool Check(int status, const std::string& what, std::string* error) {
    if (status == kAfcSuccess)
        return true;
    if (error)
        *error = "cannot make " + what + " (file service status " + std::to_string(status) + ")";
    return false;
}

bool MakeFolders(const DeviceFs& files, const std::vector<const char*>& paths, std::string* error) {
    for (const char* path : paths) {
        if (!Check(files.MakeFolder(path), path, error))
            return false;
    }
    return true;
}

bool WritePlistFile(const DeviceFs& files, const std::string& path, const Value& value, std::string* error) {
    std::string xml;
    WriteXmlPlist(value, &xml);
    return Check(files.WriteWholeFile(path, xml), path, error);
}

bool WriteTree(const TemplateRecipe& recipe, const Value& lockdown, const DeviceFs& files, std::string* error) {
    // The layout of the device's system partition and data partition, with
    // the links that join them.
    if (!MakeFolders(files,
                     {"/Applications",
                      "/Library",
                      "/Library/Wallpaper",
                      "/System",
                      "/System/Library",
                      "/System/Library/CoreServices",
                      "/bin",
                      "/sbin",
                      "/usr",
                      "/usr/bin",
                      "/usr/lib",
                      "/private",
                      "/private/etc",
                      "/private/var",
                      "/private/var/tmp",
                      "/private/var/root",
                      "/private/var/mobile",
                      "/private/var/mobile/Applications",
                      "/private/var/mobile/Library",
                      "/private/var/mobile/Library/Caches",
                      "/private/var/mobile/Library/Preferences",
                      "/private/var/mobile/Media",
                      "/private/var/mobile/Media/DCIM",
                      "/private/var/mobile/Media/DCIM/100APPLE",
                      "/private/var/mobile/Media/Downloads",
                      "/private/var/mobile/Media/iTunes_Control",
                      "/private/var/mobile/Media/iTunes_Control/Music",
                      "/private/var/mobile/Media/Books"},
                     error))
        return false;
    const char* const links[][2] = {
        {"private/var", "/var"}, {"private/etc", "/etc"}, {"private/var/tmp", "/tmp"}, {"/var/mobile", "/User"}};
    for (const auto& link : links) {
        if (!Check(files.MakeLink(link[0], link[1]), link[1], error))
            return false;
    }
    Value version = Value::Dict();
    version.Set("ProductBuildVersion", Value::String(lockdown.GetString("BuildVersion")));
    version.Set("ProductCopyright", Value::String("1983-2013 Apple Inc."));
    version.Set("ProductName", Value::String("iPhone OS"));
    version.Set("ProductVersion", Value::String(lockdown.GetString("ProductVersion")));
    if (!WritePlistFile(files, "/System/Library/CoreServices/SystemVersion.plist", version, error))
        return false;
    if (!Check(files.WriteWholeFile("/private/etc/hosts", "127.0.0.1\tlocalhost\n255.255.255.255\tbroadcasthost\n"
                                                          "::1\tlocalhost\n"),
               "/etc/hosts", error))
        return false;
    // A photo's worth of bytes, so that downloads have something to carry.
    std::string photo = "\xFF\xD8\xFF\xE1";
    for (int i = 0; photo.size() < 6000; ++i)
        photo += static_cast<char>((i * 37 + 11) & 0xFF);
    photo += "\xFF\xD9";
    if (!Check(files.WriteWholeFile("/private/var/mobile/Media/DCIM/100APPLE/IMG_0001.JPG", photo), "a photo", error))
        return false;
    if (!Check(files.MakeFolder("/private/var/mobile/Media/PublicStaging"), "PublicStaging", error))
        return false;
    if (recipe.jailbroken) {
        if (!MakeFolders(files, {"/private/var/lib", "/private/var/lib/cydia", "/Library/MobileSubstrate"}, error))
            return false;
        if (!Check(files.WriteWholeFile("/bin/bash", std::string("\xCE\xFA\xED\xFE", 4) + "bash"), "/bin/bash", error))
            return false;
    }
    if (recipe.autoInstall >= 1 &&
        !MakeFolders(files, {"/private/var/root/Media", "/private/var/root/Media/Cydia"}, error))
        return false;
    if (recipe.autoInstall >= 2 && !MakeFolders(files, {"/private/var/root/Media/Cydia/AutoInstall"}, error))
        return false;
    return true;
}

bool WriteApps(const TemplateRecipe& recipe, const DeviceFs& files, Value* applications, std::string* error) {
    Value system = Value::Dict();
    Value user = Value::Dict();
    std::vector<const AppSpec*> apps;
    for (const AppSpec& app : kSystemApps)
        apps.push_back(&app);
    for (size_t i = 0; i < recipe.appCount; ++i)
        apps.push_back(&recipe.apps[i]);
    for (const AppSpec* app : apps) {
        std::string path = AppPath(*app);
        if (app->user) {
            std::string container = std::string("/private/var/mobile/Applications/") + app->container;
            if (!MakeFolders(files, {container.c_str()}, error))
                return false;
            for (const char* sub : {"/Documents", "/Library", "/tmp"}) {
                if (!Check(files.MakeFolder(container + sub), container + sub, error))
                    return false;
            }
        }
        if (!Check(files.MakeFolder(path), path, error) ||
            !WritePlistFile(files, path + "/Info.plist", InfoPlistOf(*app), error))
            return false;
        if (!Check(files.WriteWholeFile(path + "/" + app->folder, std::string("\xCE\xFA\xED\xFE", 4)), path, error))
            return false;
        Value entry = LookupEntryOf(*app);
        (app->user ? user : system).Set(app->bundleId, entry);
        applications->Set(app->bundleId, std::move(entry));
    }
    Value list = Value::Dict();
    list.Set("System", std::move(system));
    list.Set("User", std::move(user));
    return WritePlistFile(files, kInstallationList, list, error);
}

} // namespace

const std::vector<TemplateInfo>& Templates() {
    static const std::vector<TemplateInfo> list = [] {
        std::vector<TemplateInfo> out;
        for (const TemplateRecipe& recipe : kTemplates)
            out.push_back({recipe.name, recipe.summary});
        return out;
    }();
    return list;
}

bool BuildTemplate(const std::string& name, const std::string& udid, const DeviceFs& files, Value* description,
                   std::string* error) {
    const TemplateRecipe* recipe = FindTemplate(name);
    if (!recipe) {
        if (error) {
            *error = "no template " + name + "; templates:";
            for (const TemplateRecipe& t : kTemplates)
                *error += std::string(" ") + t.name;
        }
        return false;
    }
    Value lockdown = Value::Dict();
    for (size_t i = 0; i < recipe->lockdownCount; ++i) {
        Value v;
        if (!ParseValueText(recipe->lockdown[i][1], recipe->lockdown[i][2], &v, error))
            return false;
        lockdown.Set(recipe->lockdown[i][0], std::move(v));
    }
    lockdown.Set("ActivationPublicKey", Value::Data(MakePublicKey(udid + "/activation")));
    lockdown.Set("DevicePublicKey", Value::Data(MakePublicKey(udid + "/device")));
    lockdown.Set("UniqueDeviceID", Value::String(udid));

    Value disk = Value::Dict();
    disk.Set("TotalDataAvailable", Value::Integer(recipe->dataAvailable));
    disk.Set("TotalDataCapacity", Value::Integer(recipe->dataCapacity));
    disk.Set("TotalDiskCapacity", Value::Integer(recipe->diskTotal));
    disk.Set("TotalSystemAvailable", Value::Integer(recipe->systemAvailable));
    disk.Set("TotalSystemCapacity", Value::Integer(recipe->systemCapacity));
    disk.Set("CalendarUsage", Value::Integer(262144));
    disk.Set("CameraUsage", Value::Integer(recipe->cameraUsage));
    disk.Set("MobileApplicationUsage", Value::Integer(recipe->appUsage));
    disk.Set("NotesUsage", Value::Integer(28672));
    disk.Set("PhotoUsage", Value::Integer(recipe->photoUsage));
    disk.Set("MediaCacheUsage", Value::Integer(0));
    if (recipe->webAppCacheUsage)
        disk.Set("WebAppCacheUsage", Value::Integer(135168));
    disk.Set("AmountDataAvailable", Value::Integer(recipe->dataAvailable));
    disk.Set("AmountDataReserved", Value::Integer(209715200));

    Value battery = Value::Dict();
    battery.Set("BatteryCurrentCapacity", Value::Integer(recipe->battery));
    if (recipe->reportsCharging)
        battery.Set("BatteryIsCharging", Value::Bool(recipe->battery < 100));
    battery.Set("ExternalChargeCapable", Value::Bool(true));
    battery.Set("ExternalConnected", Value::Bool(true));
    battery.Set("FullyCharged", Value::Bool(recipe->battery >= 100));
    battery.Set("GasGaugeCapability", Value::Bool(true));
    battery.Set("HasBattery", Value::Bool(true));

    Value domains = Value::Dict();
    domains.Set("com.apple.disk_usage", std::move(disk));
    domains.Set("com.apple.mobile.battery", std::move(battery));
    Value international = Value::Dict();
    international.Set("Language", Value::String("zh-Hans"));
    international.Set("Locale", Value::String("zh_CN"));
    domains.Set("com.apple.international", std::move(international));

    Value services = Value::Array();
    for (const char* service : {"com.apple.afc", "com.apple.mobile.installation_proxy", "com.apple.misagent",
                                "com.apple.mobile.notification_proxy", "com.apple.mobile.house_arrest",
                                "com.apple.springboardservices", "com.apple.syslog_relay"})
        services.Append(Value::String(service));
    if (recipe->jailbroken)
        services.Append(Value::String("com.apple.afc2"));

    Value afc = Value::Dict();
    afc.Set("Model", Value::String(lockdown.GetString("ProductType")));
    afc.Set("FSTotalBytes", Value::Integer(recipe->dataCapacity));
    afc.Set("FSFreeBytes", Value::Integer(recipe->dataAvailable));
    afc.Set("FSBlockSize", Value::Integer(4096));

    if (!WriteTree(*recipe, lockdown, files, error))
        return false;
    Value applications = Value::Dict();
    if (!WriteApps(*recipe, files, &applications, error))
        return false;

    Value d = Value::Dict();
    d.Set(key::kUniqueDeviceID, Value::String(udid));
    d.Set(key::kTemplate, Value::String(recipe->name));
    d.Set(key::kAttached, Value::Bool(false));
    d.Set(key::kConnectionID, Value::Integer(0));
    d.Set(key::kPaired, Value::Bool(false));
    d.Set(key::kServices, std::move(services));
    d.Set(key::kLockdown, std::move(lockdown));
    d.Set(key::kDomains, std::move(domains));
    d.Set(key::kApplications, std::move(applications));
    d.Set(key::kProvisioningProfiles, Value::Array());
    d.Set(key::kAFCDeviceInfo, std::move(afc));
    Value faults = Value::Dict();
    faults.Set(key::kFaultSerial, Value::Integer(0));
    d.Set(key::kFaults, std::move(faults));
    *description = std::move(d);
    return true;
}

int UpdateInstallationList(const DeviceFs& files, const std::string& bundleId, const Value* entry) {
    std::string xml;
    Value list = Value::Dict();
    if (files.ReadWholeFile(kInstallationList, &xml, 16 * 1024 * 1024) == kAfcSuccess) {
        Value parsed;
        if (ReadXmlPlist(xml, &parsed) && parsed.is(Value::Kind::Dict))
            list = std::move(parsed);
    }
    Value& user = list.SubDict("User");
    list.SubDict("System").Remove(bundleId);
    if (entry)
        user.Set(bundleId, *entry);
    else
        user.Remove(bundleId);
    if (!WriteXmlPlist(list, &xml))
        return kAfcInternalError;
    return files.WriteWholeFile(kInstallationList, xml);
}

} // namespace simfarm
