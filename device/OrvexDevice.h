// OrvexDevice: the device library's exported interface.
//
// A program calls LoadDllFunctions first, then StartListeningDeviceConnections
// with its two DeviceEventCallbacks, then any device function with an
// identifier it has been told about, gives arrays back with ReleaseMemory,
// and at the end calls StopListeningDeviceConnections and
// UnloadDllFunctions.
//
// Every function that names a device takes its unique identifier (UTF-16,
// matched exactly) first and returns 1 on success, 0 on any failure; the
// reason for a 0 is written to the daily log (Documents\Tevrin\Logs).
// Nothing is thrown across this interface. All functions are __cdecl and
// are exported under the names a Microsoft compiler gives these
// declarations.
//
// Text fields hold at most their capacity in UTF-16 units, the terminating
// zero included; a longer value is cut at capacity - 1 units, never between
// the halves of a surrogate pair.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <wchar.h>

// A date in the OLE automation convention: days since 1899-12-30 00:00 (the
// fraction is the time of day, local time), and a status. 12 bytes, aligned
// to 4.
enum DateValueStatus { DateValueValid = 0, DateValueInvalid = 1 };
#pragma pack(push, 4)
struct DateValue {
    double Date;
    int32_t Status; // DateValueStatus
};
#pragma pack(pop)
static_assert(sizeof(DateValue) == 12 && alignof(DateValue) == 4, "DateValue layout");

// The records. Fields follow one another in this order with natural
// alignment (32-bit fields at 4, 64-bit integers at 8, text at 2). Flags are
// 32-bit integers holding 0 or 1.

// Device information, filled by GetDeviceInfo.
struct __IOS_DEVICE {
    wchar_t UniqueDeviceID[100];
    wchar_t UniqueChipID[40];
    wchar_t DeviceName[256];
    wchar_t ProductVersion[40];
    wchar_t BuildVersion[40];
    int32_t IsJailbroken;
    wchar_t CydiaVersion[20];
    wchar_t InstallousVersion[20];
    wchar_t QuillonVersion[20];
    int32_t QuillonIsSystemApp;
    wchar_t QuillonHDVersion[20];
    int32_t QuillonHDIsSystemApp;
    int64_t FSTotalBytes;
    int64_t FSFreeBytes;
    int32_t FSBlockSize;
    wchar_t Model[60];
    wchar_t SerialNumber[50];
    wchar_t WiFiAddress[20];
    wchar_t BluetoothAddress[20];
    wchar_t BasebandBootloaderVersion[40];
    wchar_t BasebandVersion[40];
    wchar_t BasebandStatus[40];
    wchar_t InternationalMobileEquipmentIdentity[50];
    wchar_t IntegratedCircuitCardIdentity[50];
    wchar_t InternationalMobileSubscriberIdentity[50];
    wchar_t PhoneNumber[30];
    wchar_t ActivationPublicKey[2000];
    wchar_t ActivationState[40];
    int32_t ActivationStateAcknowledged;
    wchar_t CPUArchitecture[20];
    wchar_t DeviceClass[20];
    wchar_t DeviceColor[30];
    wchar_t DevicePublicKey[2000];
    wchar_t FirmwareVersion[50];
    wchar_t HardwareModel[50];
    wchar_t HardwarePlatform[50];
    wchar_t MLBSerialNumber[40];
    wchar_t MobileSubscriberCountryCode[20];
    wchar_t MobileSubscriberNetworkCode[20];
    wchar_t ModelNumber[40];
    wchar_t PartitionType[20];
    int32_t PasswordProtected;
    wchar_t ProductType[40];
    wchar_t ProtocolVersion[40];
    uint8_t ProximitySensorCalibration[48];
    wchar_t RegionInfo[20];
    wchar_t SIMStatus[100];
    int32_t TelephonyCapability;
    int64_t TotalDataAvailable;
    int64_t TotalDataCapacity;
    int64_t TotalDiskCapacity;
    int64_t TotalSystemAvailable;
    int64_t TotalSystemCapacity;
    int64_t CalendarUsage;
    int64_t CameraUsage;
    int64_t MobileApplicationUsage;
    int64_t NotesUsage;
    int64_t PhotoUsage;
    int64_t MediaCacheUsage;
    int64_t WebAppCacheUsage;
};

// An application: an installed one (GetInstalledApps) or an archive (GetAppInfoFromIPA).
struct __IOS_APP {
    wchar_t Identifier[300];
    wchar_t Name[50];
    wchar_t Path[300];
    wchar_t Container[300];
    wchar_t IconFile[300];
    wchar_t Version[50];
    wchar_t StoreId[40];
    int32_t IsSystemApp;
    int32_t ArtistId;
    wchar_t ArtistName[200];
    wchar_t Kind[20];
    int32_t GenreId;
    wchar_t Genre[30];
    int32_t SubgenreIds[20];
    wchar_t Subgenres[600];
    int32_t ExternalVersionId;
    wchar_t ReleaseDate[30];
};

// An entry of the device file system (GetFilesInDirectory, GetFileInfoOnDevice).
struct __IOS_FILE {
    wchar_t Name[300];
    wchar_t Path[300];
    wchar_t Extension[300];
    int32_t Type;
    int64_t Size;
    uint32_t Blocks;
    uint32_t LinkCount;
    DateValue CreationTime;
    DateValue ModificationTime;
    wchar_t LinkTarget[300];
};

// Battery state, filled by GetBatteryInfo.
struct __IOS_BATTERY {
    int32_t FullyCharged;
    int32_t BatteryCurrentCapacity;
    int32_t ExternalChargeCapable;
    int32_t BatteryIsCharging;
    int32_t ExternalConnected;
};

// Callbacks. Texts are valid only during the call.
// Arrival or removal of a device; the text is its unique identifier.
typedef void (*DeviceEventCallback)(const wchar_t* identifier);
// Progress of a long operation: the identifier the caller passed, a text
// naming the current step, and a percentage. Null means no progress is
// reported.
typedef void (*ProgressCallback)(const wchar_t* identifier, const wchar_t* text, unsigned int percent);

// ---- exported functions -----------------------------------------------------

// Binding of the vendor libraries (and GDI+).
int LoadDllFunctions();
void UnloadDllFunctions();
// The library's version text, cut to `capacity` code units with the
// terminator; one function under two names. A null buffer or a capacity of
// 0 or less leaves nothing written.
void GetDllVersion(wchar_t* buffer, int capacity);
void GetCopyRight(wchar_t* buffer, int capacity);

// Device arrivals and removals.
int StartListeningDeviceConnections(DeviceEventCallback arrived, DeviceEventCallback removed);
int StopListeningDeviceConnections();

// Device information, applications, name and battery.
int GetDeviceInfo(const wchar_t* identifier, __IOS_DEVICE* info);
int GetInstalledApps(const wchar_t* identifier, __IOS_APP** apps, unsigned int* count);
int InstallIpa(const wchar_t* identifier, const wchar_t* ipaPath, ProgressCallback progress);
int UpdateIpa(const wchar_t* identifier, const wchar_t* ipaPath, ProgressCallback progress);
int UninstallIpa(const wchar_t* identifier, const wchar_t* bundleId, ProgressCallback progress);
int InstallProvisionProfile(const wchar_t* identifier, const wchar_t* profilePath);
int RenameDevice(const wchar_t* identifier, const wchar_t* newName);
int GetBatteryInfo(const wchar_t* identifier, __IOS_BATTERY* battery);

// The device file system.
int GetFilesInDirectory(const wchar_t* identifier, const wchar_t* directory, __IOS_FILE** files, unsigned int* count);
int GetFileInfoOnDevice(const wchar_t* identifier, const wchar_t* path, __IOS_FILE* file);
int CreateDirectoryOnDevice(const wchar_t* identifier, const wchar_t* path);
int RenameDirectoryOrFileOnDevice(const wchar_t* identifier, const wchar_t* oldPath, const wchar_t* newPath);
int DeleteDirectoriesAndFilesOnDevice(const wchar_t* identifier, const wchar_t* path, ProgressCallback progress);
int UploadDirectoriesAndFilesToDevice(const wchar_t* identifier, const wchar_t* localPath, const wchar_t* devicePath,
                                      ProgressCallback progress);
int DownloadDirectoriesAndFilesFromDevice(const wchar_t* identifier, const wchar_t* devicePath,
                                          const wchar_t* localPath, ProgressCallback progress);

// Metadata and icon of an application archive on the PC (no device).
int GetAppInfoFromIPA(const wchar_t* ipaPath, __IOS_APP* app);

// Frees an array returned by GetInstalledApps or GetFilesInDirectory. Null
// does nothing.
void ReleaseMemory(void* memory);

// ---- layout ------------------------------------------------------------------
// Callers compiled against these layouts depend on them exactly.

#define ORVEX_RECORD_FIELD(record, field, offset)                                                                      \
    static_assert(offsetof(record, field) == (offset), #record "." #field " moved")
#define ORVEX_RECORD_SIZE(record, size) static_assert(sizeof(record) == (size), #record " changed size")

ORVEX_RECORD_FIELD(__IOS_DEVICE, UniqueDeviceID, 0);
ORVEX_RECORD_FIELD(__IOS_DEVICE, UniqueChipID, 200);
ORVEX_RECORD_FIELD(__IOS_DEVICE, DeviceName, 280);
ORVEX_RECORD_FIELD(__IOS_DEVICE, ProductVersion, 792);
ORVEX_RECORD_FIELD(__IOS_DEVICE, BuildVersion, 872);
ORVEX_RECORD_FIELD(__IOS_DEVICE, IsJailbroken, 952);
ORVEX_RECORD_FIELD(__IOS_DEVICE, CydiaVersion, 956);
ORVEX_RECORD_FIELD(__IOS_DEVICE, InstallousVersion, 996);
ORVEX_RECORD_FIELD(__IOS_DEVICE, QuillonVersion, 1036);
ORVEX_RECORD_FIELD(__IOS_DEVICE, QuillonIsSystemApp, 1076);
ORVEX_RECORD_FIELD(__IOS_DEVICE, QuillonHDVersion, 1080);
ORVEX_RECORD_FIELD(__IOS_DEVICE, QuillonHDIsSystemApp, 1120);
ORVEX_RECORD_FIELD(__IOS_DEVICE, FSTotalBytes, 1128);
ORVEX_RECORD_FIELD(__IOS_DEVICE, FSFreeBytes, 1136);
ORVEX_RECORD_FIELD(__IOS_DEVICE, FSBlockSize, 1144);
ORVEX_RECORD_FIELD(__IOS_DEVICE, Model, 1148);
ORVEX_RECORD_FIELD(__IOS_DEVICE, SerialNumber, 1268);
ORVEX_RECORD_FIELD(__IOS_DEVICE, WiFiAddress, 1368);
ORVEX_RECORD_FIELD(__IOS_DEVICE, BluetoothAddress, 1408);
ORVEX_RECORD_FIELD(__IOS_DEVICE, BasebandBootloaderVersion, 1448);
ORVEX_RECORD_FIELD(__IOS_DEVICE, BasebandVersion, 1528);
ORVEX_RECORD_FIELD(__IOS_DEVICE, BasebandStatus, 1608);
ORVEX_RECORD_FIELD(__IOS_DEVICE, InternationalMobileEquipmentIdentity, 1688);
ORVEX_RECORD_FIELD(__IOS_DEVICE, IntegratedCircuitCardIdentity, 1788);
ORVEX_RECORD_FIELD(__IOS_DEVICE, InternationalMobileSubscriberIdentity, 1888);
ORVEX_RECORD_FIELD(__IOS_DEVICE, PhoneNumber, 1988);
ORVEX_RECORD_FIELD(__IOS_DEVICE, ActivationPublicKey, 2048);
ORVEX_RECORD_FIELD(__IOS_DEVICE, ActivationState, 6048);
ORVEX_RECORD_FIELD(__IOS_DEVICE, ActivationStateAcknowledged, 6128);
ORVEX_RECORD_FIELD(__IOS_DEVICE, CPUArchitecture, 6132);
ORVEX_RECORD_FIELD(__IOS_DEVICE, DeviceClass, 6172);
ORVEX_RECORD_FIELD(__IOS_DEVICE, DeviceColor, 6212);
ORVEX_RECORD_FIELD(__IOS_DEVICE, DevicePublicKey, 6272);
ORVEX_RECORD_FIELD(__IOS_DEVICE, FirmwareVersion, 10272);
ORVEX_RECORD_FIELD(__IOS_DEVICE, HardwareModel, 10372);
ORVEX_RECORD_FIELD(__IOS_DEVICE, HardwarePlatform, 10472);
ORVEX_RECORD_FIELD(__IOS_DEVICE, MLBSerialNumber, 10572);
ORVEX_RECORD_FIELD(__IOS_DEVICE, MobileSubscriberCountryCode, 10652);
ORVEX_RECORD_FIELD(__IOS_DEVICE, MobileSubscriberNetworkCode, 10692);
ORVEX_RECORD_FIELD(__IOS_DEVICE, ModelNumber, 10732);
ORVEX_RECORD_FIELD(__IOS_DEVICE, PartitionType, 10812);
ORVEX_RECORD_FIELD(__IOS_DEVICE, PasswordProtected, 10852);
ORVEX_RECORD_FIELD(__IOS_DEVICE, ProductType, 10856);
ORVEX_RECORD_FIELD(__IOS_DEVICE, ProtocolVersion, 10936);
ORVEX_RECORD_FIELD(__IOS_DEVICE, ProximitySensorCalibration, 11016);
ORVEX_RECORD_FIELD(__IOS_DEVICE, RegionInfo, 11064);
ORVEX_RECORD_FIELD(__IOS_DEVICE, SIMStatus, 11104);
ORVEX_RECORD_FIELD(__IOS_DEVICE, TelephonyCapability, 11304);
ORVEX_RECORD_FIELD(__IOS_DEVICE, TotalDataAvailable, 11312);
ORVEX_RECORD_FIELD(__IOS_DEVICE, TotalDataCapacity, 11320);
ORVEX_RECORD_FIELD(__IOS_DEVICE, TotalDiskCapacity, 11328);
ORVEX_RECORD_FIELD(__IOS_DEVICE, TotalSystemAvailable, 11336);
ORVEX_RECORD_FIELD(__IOS_DEVICE, TotalSystemCapacity, 11344);
ORVEX_RECORD_FIELD(__IOS_DEVICE, CalendarUsage, 11352);
ORVEX_RECORD_FIELD(__IOS_DEVICE, CameraUsage, 11360);
ORVEX_RECORD_FIELD(__IOS_DEVICE, MobileApplicationUsage, 11368);
ORVEX_RECORD_FIELD(__IOS_DEVICE, NotesUsage, 11376);
ORVEX_RECORD_FIELD(__IOS_DEVICE, PhotoUsage, 11384);
ORVEX_RECORD_FIELD(__IOS_DEVICE, MediaCacheUsage, 11392);
ORVEX_RECORD_FIELD(__IOS_DEVICE, WebAppCacheUsage, 11400);
ORVEX_RECORD_SIZE(__IOS_DEVICE, 11408);
ORVEX_RECORD_FIELD(__IOS_APP, Identifier, 0);
ORVEX_RECORD_FIELD(__IOS_APP, Name, 600);
ORVEX_RECORD_FIELD(__IOS_APP, Path, 700);
ORVEX_RECORD_FIELD(__IOS_APP, Container, 1300);
ORVEX_RECORD_FIELD(__IOS_APP, IconFile, 1900);
ORVEX_RECORD_FIELD(__IOS_APP, Version, 2500);
ORVEX_RECORD_FIELD(__IOS_APP, StoreId, 2600);
ORVEX_RECORD_FIELD(__IOS_APP, IsSystemApp, 2680);
ORVEX_RECORD_FIELD(__IOS_APP, ArtistId, 2684);
ORVEX_RECORD_FIELD(__IOS_APP, ArtistName, 2688);
ORVEX_RECORD_FIELD(__IOS_APP, Kind, 3088);
ORVEX_RECORD_FIELD(__IOS_APP, GenreId, 3128);
ORVEX_RECORD_FIELD(__IOS_APP, Genre, 3132);
ORVEX_RECORD_FIELD(__IOS_APP, SubgenreIds, 3192);
ORVEX_RECORD_FIELD(__IOS_APP, Subgenres, 3272);
ORVEX_RECORD_FIELD(__IOS_APP, ExternalVersionId, 4472);
ORVEX_RECORD_FIELD(__IOS_APP, ReleaseDate, 4476);
ORVEX_RECORD_SIZE(__IOS_APP, 4536);
ORVEX_RECORD_FIELD(__IOS_FILE, Name, 0);
ORVEX_RECORD_FIELD(__IOS_FILE, Path, 600);
ORVEX_RECORD_FIELD(__IOS_FILE, Extension, 1200);
ORVEX_RECORD_FIELD(__IOS_FILE, Type, 1800);
ORVEX_RECORD_FIELD(__IOS_FILE, Size, 1808);
ORVEX_RECORD_FIELD(__IOS_FILE, Blocks, 1816);
ORVEX_RECORD_FIELD(__IOS_FILE, LinkCount, 1820);
ORVEX_RECORD_FIELD(__IOS_FILE, CreationTime, 1824);
ORVEX_RECORD_FIELD(__IOS_FILE, ModificationTime, 1836);
ORVEX_RECORD_FIELD(__IOS_FILE, LinkTarget, 1848);
ORVEX_RECORD_SIZE(__IOS_FILE, 2448);
ORVEX_RECORD_FIELD(__IOS_BATTERY, FullyCharged, 0);
ORVEX_RECORD_FIELD(__IOS_BATTERY, BatteryCurrentCapacity, 4);
ORVEX_RECORD_FIELD(__IOS_BATTERY, ExternalChargeCapable, 8);
ORVEX_RECORD_FIELD(__IOS_BATTERY, BatteryIsCharging, 12);
ORVEX_RECORD_FIELD(__IOS_BATTERY, ExternalConnected, 16);
ORVEX_RECORD_SIZE(__IOS_BATTERY, 20);
ORVEX_RECORD_FIELD(DateValue, Date, 0);
ORVEX_RECORD_FIELD(DateValue, Status, 8);
static_assert(alignof(__IOS_DEVICE) == 8 && alignof(__IOS_APP) == 4 && alignof(__IOS_FILE) == 8 &&
                  alignof(__IOS_BATTERY) == 4,
              "natural alignment");

#undef ORVEX_RECORD_FIELD
#undef ORVEX_RECORD_SIZE
