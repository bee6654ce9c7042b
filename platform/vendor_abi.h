// The binary interface of the vendor's value library (CoreFoundation.dll)
// and device library (iTunesMobileDevice.dll) as this program uses it: the
// types, constants and C signatures (__cdecl) of the calls it makes. The
// program never links against either library; it binds them by name at run
// time. The project's stand-ins implement the same interface.
#pragma once

#include <windows.h>
#include <winsock2.h>

#include <cstdint>

extern "C" {

// ---- value library -------------------------------------------------------

// The value library's integer types follow the width of a pointer: 32 bits
// in the 32-bit edition, 64 bits in the 64-bit one (where long stays 32
// bits, so the types are spelled with the pointer-sized integers).
#ifdef _WIN64
typedef long long CFIndex;
typedef unsigned long long CFTypeID;
typedef unsigned long long CFHashCode;
typedef unsigned long long CFOptionFlags;
#else
typedef long CFIndex;
typedef unsigned long CFTypeID;
typedef unsigned long CFHashCode;
typedef unsigned long CFOptionFlags;
#endif
typedef unsigned long CFStringEncoding;
typedef unsigned char Boolean;
typedef double CFAbsoluteTime;
typedef double CFTimeInterval;

typedef const void* CFTypeRef;
typedef const struct __CFAllocator* CFAllocatorRef;
typedef const struct __CFString* CFStringRef;
typedef struct __CFString* CFMutableStringRef;
typedef const struct __CFDictionary* CFDictionaryRef;
typedef struct __CFDictionary* CFMutableDictionaryRef;
typedef const struct __CFArray* CFArrayRef;
typedef struct __CFArray* CFMutableArrayRef;
typedef const struct __CFData* CFDataRef;
typedef struct __CFData* CFMutableDataRef;
typedef const struct __CFNumber* CFNumberRef;
typedef const struct __CFBoolean* CFBooleanRef;
typedef const struct __CFNull* CFNullRef;
typedef const struct __CFDate* CFDateRef;
typedef const struct __CFURL* CFURLRef;
typedef const struct __CFUUID* CFUUIDRef;
typedef struct __CFError* CFErrorRef;
typedef CFTypeRef CFPropertyListRef;

struct CFRange {
    CFIndex location;
    CFIndex length;
};
static_assert(sizeof(CFIndex) == sizeof(void*) && sizeof(CFTypeID) == sizeof(void*) &&
                  sizeof(CFHashCode) == sizeof(void*) && sizeof(CFOptionFlags) == sizeof(void*),
              "vendor ABI: the value library's integers are pointer-sized");
static_assert(sizeof(CFRange) == 2 * sizeof(void*) && sizeof(Boolean) == 1 && sizeof(CFStringEncoding) == 4,
              "vendor ABI: range, boolean and encoding");
static_assert(sizeof(CFAbsoluteTime) == 8, "vendor ABI: times are doubles");
static_assert(sizeof(SOCKET) == sizeof(void*), "vendor ABI: socket handles are pointer-sized");

enum : CFStringEncoding {
    kCFStringEncodingASCII = 0x0600,
    kCFStringEncodingUTF8 = 0x08000100,
    kCFStringEncodingUTF16 = 0x0100,
};

typedef CFIndex CFNumberType;
enum : CFNumberType {
    kCFNumberSInt8Type = 1,
    kCFNumberSInt16Type = 2,
    kCFNumberSInt32Type = 3,
    kCFNumberSInt64Type = 4,
    kCFNumberFloat32Type = 5,
    kCFNumberFloat64Type = 6,
    kCFNumberCharType = 7,
    kCFNumberShortType = 8,
    kCFNumberIntType = 9,
    kCFNumberLongType = 10,
    kCFNumberLongLongType = 11,
    kCFNumberFloatType = 12,
    kCFNumberDoubleType = 13,
    kCFNumberCFIndexType = 14,
    kCFNumberNSIntegerType = 15,
    kCFNumberCGFloatType = 16,
};

typedef CFIndex CFPropertyListFormat;
enum : CFPropertyListFormat {
    kCFPropertyListOpenStepFormat = 1,
    kCFPropertyListXMLFormat_v1_0 = 100,
    kCFPropertyListBinaryFormat_v1_0 = 200,
};
enum : CFOptionFlags {
    kCFPropertyListImmutable = 0,
    kCFPropertyListMutableContainers = 1,
    kCFPropertyListMutableContainersAndLeaves = 2,
};

typedef CFIndex CFComparisonResult;

// Callback tables of the collections (kCFTypeArrayCallBacks and friends).
typedef const void* (*CFRetainCallBack)(CFAllocatorRef allocator, const void* value);
typedef void (*CFReleaseCallBack)(CFAllocatorRef allocator, const void* value);
typedef CFStringRef (*CFCopyDescriptionCallBack)(const void* value);
typedef Boolean (*CFEqualCallBack)(const void* value1, const void* value2);
typedef CFHashCode (*CFHashCallBack)(const void* value);

struct CFArrayCallBacks {
    CFIndex version;
    CFRetainCallBack retain;
    CFReleaseCallBack release;
    CFCopyDescriptionCallBack copyDescription;
    CFEqualCallBack equal;
};
struct CFDictionaryKeyCallBacks {
    CFIndex version;
    CFRetainCallBack retain;
    CFReleaseCallBack release;
    CFCopyDescriptionCallBack copyDescription;
    CFEqualCallBack equal;
    CFHashCallBack hash;
};
struct CFDictionaryValueCallBacks {
    CFIndex version;
    CFRetainCallBack retain;
    CFReleaseCallBack release;
    CFCopyDescriptionCallBack copyDescription;
    CFEqualCallBack equal;
};

// ---- device library ------------------------------------------------------

struct am_device;
struct am_device_notification;
struct afc_connection;
struct afc_dictionary;
struct afc_directory;
typedef uint64_t afc_file_ref;

// Messages of a device notification.
enum : unsigned int {
    ADNCI_MSG_CONNECTED = 1,
    ADNCI_MSG_DISCONNECTED = 2,
    ADNCI_MSG_UNKNOWN = 3,
};

struct am_device_notification_callback_info {
    am_device* dev;
    unsigned int msg;
    am_device_notification* subscription;
};

typedef void (*am_device_notification_callback)(am_device_notification_callback_info* info, void* context);
typedef void (*am_device_progress_callback)(CFDictionaryRef info, void* context);

// AFC open modes.
enum : uint64_t {
    AFC_FOPEN_RDONLY = 1,
    AFC_FOPEN_RW = 2,
    AFC_FOPEN_WRONLY = 3,
};

} // extern "C"

// ---- the calls the program makes, with their signatures --------------------
// X(result, name, parameter list). The binding table binds every vendor
// name; these are the ones with a typed call surface.

#define ORVEX_CF_CALLS(X)                                                                                              \
    X(CFStringRef, __CFStringMakeConstantString, (const char* cStr))                                                   \
    X(void, CFRelease, (CFTypeRef cf))                                                                                 \
    X(CFTypeRef, CFRetain, (CFTypeRef cf))                                                                             \
    X(CFIndex, CFGetRetainCount, (CFTypeRef cf))                                                                       \
    X(CFTypeID, CFGetTypeID, (CFTypeRef cf))                                                                           \
    X(CFTypeID, CFStringGetTypeID, ())                                                                                 \
    X(CFTypeID, CFDictionaryGetTypeID, ())                                                                             \
    X(CFTypeID, CFArrayGetTypeID, ())                                                                                  \
    X(CFTypeID, CFNumberGetTypeID, ())                                                                                 \
    X(CFTypeID, CFBooleanGetTypeID, ())                                                                                \
    X(CFTypeID, CFDataGetTypeID, ())                                                                                   \
    X(CFStringRef, CFStringCreateWithBytes,                                                                            \
      (CFAllocatorRef alloc, const uint8_t* bytes, CFIndex numBytes, CFStringEncoding encoding,                        \
       Boolean isExternalRepresentation))                                                                              \
    X(CFIndex, CFStringGetLength, (CFStringRef theString))                                                             \
    X(CFIndex, CFStringGetBytes,                                                                                       \
      (CFStringRef theString, CFRange range, CFStringEncoding encoding, uint8_t lossByte,                              \
       Boolean isExternalRepresentation, uint8_t * buffer, CFIndex maxBufLen, CFIndex * usedBufLen))                   \
    X(const char*, CFStringGetCStringPtr, (CFStringRef theString, CFStringEncoding encoding))                          \
    X(const void*, CFDictionaryGetValue, (CFDictionaryRef theDict, const void* key))                                   \
    X(CFIndex, CFDictionaryGetCount, (CFDictionaryRef theDict))                                                        \
    X(void, CFDictionaryGetKeysAndValues, (CFDictionaryRef theDict, const void** keys, const void** values))           \
    X(CFIndex, CFArrayGetCount, (CFArrayRef theArray))                                                                 \
    X(const void*, CFArrayGetValueAtIndex, (CFArrayRef theArray, CFIndex idx))                                         \
    X(Boolean, CFNumberGetValue, (CFNumberRef number, CFNumberType theType, void* valuePtr))                           \
    X(Boolean, CFBooleanGetValue, (CFBooleanRef boolean))                                                              \
    X(CFDataRef, CFDataCreate, (CFAllocatorRef allocator, const uint8_t* bytes, CFIndex length))                       \
    X(CFIndex, CFDataGetLength, (CFDataRef theData))                                                                   \
    X(const uint8_t*, CFDataGetBytePtr, (CFDataRef theData))                                                           \
    X(uint8_t*, CFDataGetMutableBytePtr, (CFMutableDataRef theData))                                                   \
    X(CFPropertyListRef, CFPropertyListCreateWithData,                                                                 \
      (CFAllocatorRef allocator, CFDataRef data, CFOptionFlags options, CFPropertyListFormat * format,                 \
       CFErrorRef * error))                                                                                            \
    X(CFURLRef, CFURLCreateWithBytes,                                                                                  \
      (CFAllocatorRef allocator, const uint8_t* URLBytes, CFIndex length, CFStringEncoding encoding,                   \
       CFURLRef baseURL))                                                                                              \
    X(CFURLRef, CFURLCreateWithString, (CFAllocatorRef allocator, CFStringRef URLString, CFURLRef baseURL))            \
    X(CFUUIDRef, CFUUIDCreate, (CFAllocatorRef alloc))                                                                 \
    X(CFStringRef, CFUUIDCreateString, (CFAllocatorRef alloc, CFUUIDRef uuid))

#define ORVEX_AMD_CALLS(X)                                                                                             \
    X(int, AMDeviceNotificationSubscribe,                                                                              \
      (am_device_notification_callback callback, unsigned int unused0, unsigned int unused1, void* context,            \
       am_device_notification** notification))                                                                         \
    X(int, AMDeviceNotificationUnsubscribe, (am_device_notification * notification))                                   \
    X(am_device*, AMDeviceRetain, (am_device * device))                                                                \
    X(void, AMDeviceRelease, (am_device * device))                                                                     \
    X(CFStringRef, AMDeviceCopyDeviceIdentifier, (am_device * device))                                                 \
    X(int, AMDeviceConnect, (am_device * device))                                                                      \
    X(int, AMDeviceIsPaired, (am_device * device))                                                                     \
    X(int, AMDevicePair, (am_device * device))                                                                         \
    X(int, AMDeviceValidatePairing, (am_device * device))                                                              \
    X(int, AMDeviceStartSession, (am_device * device))                                                                 \
    X(int, AMDeviceStopSession, (am_device * device))                                                                  \
    X(int, AMDeviceDisconnect, (am_device * device))                                                                   \
    X(CFTypeRef, AMDeviceCopyValue, (am_device * device, CFStringRef domain, CFStringRef key))                         \
    X(int, AMDeviceSetValue, (am_device * device, CFStringRef domain, CFStringRef key, CFTypeRef value))               \
    X(int, AMDeviceStartService, (am_device * device, CFStringRef serviceName, SOCKET * socket, unsigned int* unused)) \
    X(int, AMDeviceLookupApplications, (am_device * device, CFDictionaryRef options, CFDictionaryRef * apps))          \
    X(int, AMDeviceSecureInstallApplication,                                                                           \
      (int zero, am_device* device, CFURLRef url, CFDictionaryRef options, am_device_progress_callback callback,       \
       void* context))                                                                                                 \
    X(int, AMDeviceSecureUpgradeApplication,                                                                           \
      (int zero, am_device* device, CFURLRef url, CFDictionaryRef options, am_device_progress_callback callback,       \
       void* context))                                                                                                 \
    X(int, AMDeviceSecureUninstallApplication,                                                                         \
      (int zero, am_device* device, CFStringRef bundleId, CFDictionaryRef options,                                     \
       am_device_progress_callback callback, void* context))                                                           \
    X(int, AMDeviceInstallProvisioningProfile, (am_device * device, CFURLRef profileUrl))                              \
    X(int, AFCConnectionOpen, (SOCKET socket, unsigned int ioTimeout, afc_connection** connection))                    \
    X(int, AFCConnectionClose, (afc_connection * connection))                                                          \
    X(int, AFCDeviceInfoOpen, (afc_connection * connection, afc_dictionary * *info))                                   \
    X(int, AFCFileInfoOpen, (afc_connection * connection, const char* path, afc_dictionary** info))                    \
    X(int, AFCKeyValueRead, (afc_dictionary * dict, char** key, char** value))                                         \
    X(int, AFCKeyValueClose, (afc_dictionary * dict))                                                                  \
    X(int, AFCDirectoryOpen, (afc_connection * connection, const char* path, afc_directory** dir))                     \
    X(int, AFCDirectoryRead, (afc_connection * connection, afc_directory * dir, char** name))                          \
    X(int, AFCDirectoryClose, (afc_connection * connection, afc_directory * dir))                                      \
    X(int, AFCDirectoryCreate, (afc_connection * connection, const char* path))                                        \
    X(int, AFCRemovePath, (afc_connection * connection, const char* path))                                             \
    X(int, AFCRenamePath, (afc_connection * connection, const char* oldPath, const char* newPath))                     \
    X(int, AFCFileRefOpen, (afc_connection * connection, const char* path, uint64_t mode, afc_file_ref* ref))          \
    X(int, AFCFileRefRead, (afc_connection * connection, afc_file_ref ref, void* buffer, unsigned int* length))        \
    X(int, AFCFileRefWrite, (afc_connection * connection, afc_file_ref ref, const void* buffer, unsigned int length))  \
    X(int, AFCFileRefClose, (afc_connection * connection, afc_file_ref ref))

// Declares `using name_fn = result (*)(params);` for each call of a list.
#define ORVEX_DECLARE_CALL_TYPE(result, name, params) using name##_fn = result(__cdecl*) params;
