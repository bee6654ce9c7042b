// The project's own value library: the vendor's value library with its C
// signatures (__cdecl) and value semantics. This header declares every call
// the library really implements; the other names of the vendor's interface
// answer 0 or null (see unsupported.cpp).
//
// Two uses of the same code:
// - the static library `orvex_values`, linked into the device library for
//   the built-in backend (values::Address in lookup.h finds its exports by
//   name); its users, and the library's own sources, see ORVEX_VALUES_STATIC;
// - the stand-in CoreFoundation.dll of the device farm (target
//   `CoreFoundation`, sim/corefoundation/); its users import from the DLL.
// The device library itself binds the vendor's library, or these, by name
// at run time and never includes this header.
#pragma once

#include "platform/vendor_abi.h"

#include <cstdarg>
#include <cstdint>

#if defined(ORVEX_VALUES_STATIC)
#define CF_EXPORT extern "C"
#else
#define CF_EXPORT extern "C" __declspec(dllimport)
#endif

extern "C" {

// ---- types of the vendor's interface not used by the program itself ------

typedef uint16_t UniChar;
typedef uint32_t UTF32Char;
typedef CFOptionFlags CFStringCompareFlags;
typedef CFOptionFlags CFPropertyListMutabilityOptions;
typedef CFStringRef CFErrorDomain;
typedef const struct __CFTimeZone* CFTimeZoneRef;
typedef const struct __CFLocale* CFLocaleRef;

enum : CFIndex { kCFNotFound = -1 };
enum : CFComparisonResult { kCFCompareLessThan = -1, kCFCompareEqualTo = 0, kCFCompareGreaterThan = 1 };
enum : CFStringCompareFlags {
    kCFCompareCaseInsensitive = 1,
    kCFCompareBackwards = 4,
    kCFCompareAnchored = 8,
    kCFCompareNonliteral = 16,
    kCFCompareLocalized = 32,
    kCFCompareNumerically = 64,
};
enum : CFStringEncoding {
    kCFStringEncodingMacRoman = 0,
    kCFStringEncodingWindowsLatin1 = 0x0500,
    kCFStringEncodingISOLatin1 = 0x0201,
    kCFStringEncodingNextStepLatin = 0x0B01,
    kCFStringEncodingUnicode = 0x0100,
    kCFStringEncodingUTF16BE = 0x10000100,
    kCFStringEncodingUTF16LE = 0x14000100,
    kCFStringEncodingUTF32 = 0x0c000100,
    kCFStringEncodingUTF32BE = 0x18000100,
    kCFStringEncodingUTF32LE = 0x1c000100,
    kCFStringEncodingInvalidId = 0xffffffffU,
};
enum : CFIndex {
    kCFURLPOSIXPathStyle = 0,
    kCFURLHFSPathStyle = 1,
    kCFURLWindowsPathStyle = 2,
};
typedef CFIndex CFURLPathStyle;

// Error codes of the property-list reader and writer (domain
// "NSCocoaErrorDomain", as the vendor's library reports them).
enum : CFIndex {
    kCFPropertyListReadCorruptError = 3840,
    kCFPropertyListReadUnknownVersionError = 3841,
    kCFPropertyListReadStreamError = 3842,
    kCFPropertyListWriteStreamError = 3851,
};

typedef void (*CFArrayApplierFunction)(const void* value, void* context);
typedef void (*CFDictionaryApplierFunction)(const void* key, const void* value, void* context);
typedef CFComparisonResult (*CFComparatorFunction)(const void* val1, const void* val2, void* context);

struct CFBagCallBacks {
    CFIndex version;
    CFRetainCallBack retain;
    CFReleaseCallBack release;
    CFCopyDescriptionCallBack copyDescription;
    CFEqualCallBack equal;
    CFHashCallBack hash;
};
typedef CFBagCallBacks CFSetCallBacks;
struct CFBinaryHeapCompareContext {
    CFIndex version;
    void* info;
    const void* (*retain)(const void* info);
    void (*release)(const void* info);
    CFStringRef (*copyDescription)(const void* info);
};
struct CFBinaryHeapCallBacks {
    CFIndex version;
    CFRetainCallBack retain;
    CFReleaseCallBack release;
    CFCopyDescriptionCallBack copyDescription;
    CFComparisonResult (*compare)(const void* ptr1, const void* ptr2, void* context);
};

struct CFGregorianDate {
    int32_t year;
    int8_t month;
    int8_t day;
    int8_t hour;
    int8_t minute;
    double second;
};
struct CFGregorianUnits {
    int32_t years;
    int32_t months;
    int32_t days;
    int32_t hours;
    int32_t minutes;
    double seconds;
};
struct CFUUIDBytes {
    uint8_t byte0, byte1, byte2, byte3, byte4, byte5, byte6, byte7;
    uint8_t byte8, byte9, byte10, byte11, byte12, byte13, byte14, byte15;
};

typedef const void* (*CFAllocatorRetainCallBack)(const void* info);
typedef void (*CFAllocatorReleaseCallBack)(const void* info);
typedef CFStringRef (*CFAllocatorCopyDescriptionCallBack)(const void* info);
typedef void* (*CFAllocatorAllocateCallBack)(CFIndex allocSize, CFOptionFlags hint, void* info);
typedef void* (*CFAllocatorReallocateCallBack)(void* ptr, CFIndex newsize, CFOptionFlags hint, void* info);
typedef void (*CFAllocatorDeallocateCallBack)(void* ptr, void* info);
typedef CFIndex (*CFAllocatorPreferredSizeCallBack)(CFIndex size, CFOptionFlags hint, void* info);
struct CFAllocatorContext {
    CFIndex version;
    void* info;
    CFAllocatorRetainCallBack retain;
    CFAllocatorReleaseCallBack release;
    CFAllocatorCopyDescriptionCallBack copyDescription;
    CFAllocatorAllocateCallBack allocate;
    CFAllocatorReallocateCallBack reallocate;
    CFAllocatorDeallocateCallBack deallocate;
    CFAllocatorPreferredSizeCallBack preferredSize;
};

} // extern "C"

// ---- data constants ---------------------------------------------------------

CF_EXPORT const CFArrayCallBacks kCFTypeArrayCallBacks;
CF_EXPORT const CFBagCallBacks kCFTypeBagCallBacks;
CF_EXPORT const CFBagCallBacks kCFCopyStringBagCallBacks;
CF_EXPORT const CFBinaryHeapCallBacks kCFStringBinaryHeapCallBacks;
CF_EXPORT const CFDictionaryKeyCallBacks kCFTypeDictionaryKeyCallBacks;
CF_EXPORT const CFDictionaryKeyCallBacks kCFCopyStringDictionaryKeyCallBacks;
CF_EXPORT const CFDictionaryValueCallBacks kCFTypeDictionaryValueCallBacks;
CF_EXPORT const CFSetCallBacks kCFTypeSetCallBacks;
CF_EXPORT const CFSetCallBacks kCFCopyStringSetCallBacks;
CF_EXPORT const CFTimeInterval kCFAbsoluteTimeIntervalSince1970; // 978307200.0
CF_EXPORT const CFTimeInterval kCFAbsoluteTimeIntervalSince1904; // 3061152000.0
CF_EXPORT const CFBooleanRef kCFBooleanTrue;
CF_EXPORT const CFBooleanRef kCFBooleanFalse;
CF_EXPORT const CFNumberRef kCFNumberPositiveInfinity;
CF_EXPORT const CFNumberRef kCFNumberNegativeInfinity;
CF_EXPORT const CFNumberRef kCFNumberNaN;
CF_EXPORT const CFNullRef kCFNull;
CF_EXPORT const CFAllocatorRef kCFAllocatorDefault; // null, as in the vendor's library
CF_EXPORT const CFAllocatorRef kCFAllocatorSystemDefault;
CF_EXPORT const CFAllocatorRef kCFAllocatorMalloc;
CF_EXPORT const CFAllocatorRef kCFAllocatorMallocZone;
CF_EXPORT const CFAllocatorRef kCFAllocatorNull;
CF_EXPORT const CFAllocatorRef kCFAllocatorUseContext; // a marker, not an allocator
// The 90 string constants (formatter, locale, calendar, preference and
// transform names) are exported too; see src/constants.cpp.

// ---- base -------------------------------------------------------------------

CF_EXPORT CFTypeRef __cdecl CFRetain(CFTypeRef cf);
CF_EXPORT void __cdecl CFRelease(CFTypeRef cf);
CF_EXPORT CFIndex __cdecl CFGetRetainCount(CFTypeRef cf);
CF_EXPORT CFTypeRef __cdecl CFMakeCollectable(CFTypeRef cf);
CF_EXPORT CFTypeID __cdecl CFGetTypeID(CFTypeRef cf);
CF_EXPORT CFStringRef __cdecl CFCopyTypeIDDescription(CFTypeID typeId);
CF_EXPORT Boolean __cdecl CFEqual(CFTypeRef cf1, CFTypeRef cf2);
CF_EXPORT CFHashCode __cdecl CFHash(CFTypeRef cf);
CF_EXPORT CFStringRef __cdecl CFCopyDescription(CFTypeRef cf);
CF_EXPORT CFAllocatorRef __cdecl CFGetAllocator(CFTypeRef cf);
CF_EXPORT void __cdecl CFShow(CFTypeRef obj);
CF_EXPORT void __cdecl CFShowStr(CFStringRef str);
CF_EXPORT CFRange __cdecl __CFRangeMake(CFIndex location, CFIndex length);
CF_EXPORT CFTypeID __cdecl CFNullGetTypeID();

// ---- allocators -------------------------------------------------------------

CF_EXPORT CFTypeID __cdecl CFAllocatorGetTypeID();
CF_EXPORT void __cdecl CFAllocatorSetDefault(CFAllocatorRef allocator);
CF_EXPORT CFAllocatorRef __cdecl CFAllocatorGetDefault();
CF_EXPORT CFAllocatorRef __cdecl CFAllocatorCreate(CFAllocatorRef allocator, CFAllocatorContext* context);
CF_EXPORT void* __cdecl CFAllocatorAllocate(CFAllocatorRef allocator, CFIndex size, CFOptionFlags hint);
CF_EXPORT void* __cdecl CFAllocatorReallocate(CFAllocatorRef allocator, void* ptr, CFIndex newsize, CFOptionFlags hint);
CF_EXPORT void __cdecl CFAllocatorDeallocate(CFAllocatorRef allocator, void* ptr);
CF_EXPORT CFIndex __cdecl CFAllocatorGetPreferredSizeForSize(CFAllocatorRef allocator, CFIndex size,
                                                             CFOptionFlags hint);
CF_EXPORT void __cdecl CFAllocatorGetContext(CFAllocatorRef allocator, CFAllocatorContext* context);

// ---- booleans and numbers ---------------------------------------------------

CF_EXPORT CFTypeID __cdecl CFBooleanGetTypeID();
CF_EXPORT Boolean __cdecl CFBooleanGetValue(CFBooleanRef boolean);
CF_EXPORT CFTypeID __cdecl CFNumberGetTypeID();
CF_EXPORT CFNumberRef __cdecl CFNumberCreate(CFAllocatorRef allocator, CFNumberType theType, const void* valuePtr);
CF_EXPORT CFNumberType __cdecl CFNumberGetType(CFNumberRef number);
CF_EXPORT CFIndex __cdecl CFNumberGetByteSize(CFNumberRef number);
CF_EXPORT Boolean __cdecl CFNumberIsFloatType(CFNumberRef number);
CF_EXPORT Boolean __cdecl CFNumberGetValue(CFNumberRef number, CFNumberType theType, void* valuePtr);
CF_EXPORT CFComparisonResult __cdecl CFNumberCompare(CFNumberRef number, CFNumberRef otherNumber, void* context);

// ---- data -------------------------------------------------------------------

CF_EXPORT CFTypeID __cdecl CFDataGetTypeID();
CF_EXPORT CFDataRef __cdecl CFDataCreate(CFAllocatorRef allocator, const uint8_t* bytes, CFIndex length);
CF_EXPORT CFDataRef __cdecl CFDataCreateWithBytesNoCopy(CFAllocatorRef allocator, const uint8_t* bytes, CFIndex length,
                                                        CFAllocatorRef bytesDeallocator);
CF_EXPORT CFDataRef __cdecl CFDataCreateCopy(CFAllocatorRef allocator, CFDataRef theData);
CF_EXPORT CFMutableDataRef __cdecl CFDataCreateMutable(CFAllocatorRef allocator, CFIndex capacity);
CF_EXPORT CFMutableDataRef __cdecl CFDataCreateMutableCopy(CFAllocatorRef allocator, CFIndex capacity,
                                                           CFDataRef theData);
CF_EXPORT CFIndex __cdecl CFDataGetLength(CFDataRef theData);
CF_EXPORT const uint8_t* __cdecl CFDataGetBytePtr(CFDataRef theData);
CF_EXPORT uint8_t* __cdecl CFDataGetMutableBytePtr(CFMutableDataRef theData);
CF_EXPORT void __cdecl CFDataGetBytes(CFDataRef theData, CFRange range, uint8_t* buffer);
CF_EXPORT void __cdecl CFDataSetLength(CFMutableDataRef theData, CFIndex length);
CF_EXPORT void __cdecl CFDataIncreaseLength(CFMutableDataRef theData, CFIndex extraLength);
CF_EXPORT void __cdecl CFDataAppendBytes(CFMutableDataRef theData, const uint8_t* bytes, CFIndex length);
CF_EXPORT void __cdecl CFDataReplaceBytes(CFMutableDataRef theData, CFRange range, const uint8_t* newBytes,
                                          CFIndex newLength);
CF_EXPORT void __cdecl CFDataDeleteBytes(CFMutableDataRef theData, CFRange range);
CF_EXPORT CFRange __cdecl CFDataFind(CFDataRef theData, CFDataRef dataToFind, CFRange searchRange,
                                     CFOptionFlags compareOptions); // options: 1 backwards, 2 anchored

// ---- dates (absolute time: seconds since 2001-01-01 00:00:00 UTC) -----------

CF_EXPORT CFAbsoluteTime __cdecl CFAbsoluteTimeGetCurrent();
CF_EXPORT CFTypeID __cdecl CFDateGetTypeID();
CF_EXPORT CFDateRef __cdecl CFDateCreate(CFAllocatorRef allocator, CFAbsoluteTime at);
CF_EXPORT CFAbsoluteTime __cdecl CFDateGetAbsoluteTime(CFDateRef theDate);
CF_EXPORT CFTimeInterval __cdecl CFDateGetTimeIntervalSinceDate(CFDateRef theDate, CFDateRef otherDate);
CF_EXPORT CFComparisonResult __cdecl CFDateCompare(CFDateRef theDate, CFDateRef otherDate, void* context);
// Time zones are not supported: these calls work in UTC and expect a null zone.
CF_EXPORT Boolean __cdecl CFGregorianDateIsValid(CFGregorianDate gdate, CFOptionFlags unitFlags);
CF_EXPORT CFAbsoluteTime __cdecl CFGregorianDateGetAbsoluteTime(CFGregorianDate gdate, CFTimeZoneRef tz);
CF_EXPORT CFGregorianDate __cdecl CFAbsoluteTimeGetGregorianDate(CFAbsoluteTime at, CFTimeZoneRef tz);
CF_EXPORT int32_t __cdecl CFAbsoluteTimeGetDayOfWeek(CFAbsoluteTime at, CFTimeZoneRef tz);
CF_EXPORT int32_t __cdecl CFAbsoluteTimeGetDayOfYear(CFAbsoluteTime at, CFTimeZoneRef tz);

// ---- strings ----------------------------------------------------------------

CF_EXPORT CFStringRef __cdecl __CFStringMakeConstantString(const char* cStr);
CF_EXPORT CFTypeID __cdecl CFStringGetTypeID();
CF_EXPORT CFStringRef __cdecl CFStringCreateWithCString(CFAllocatorRef alloc, const char* cStr,
                                                        CFStringEncoding encoding);
CF_EXPORT CFStringRef __cdecl CFStringCreateWithCStringNoCopy(CFAllocatorRef alloc, const char* cStr,
                                                              CFStringEncoding encoding,
                                                              CFAllocatorRef contentsDeallocator);
CF_EXPORT CFStringRef __cdecl CFStringCreateWithBytes(CFAllocatorRef alloc, const uint8_t* bytes, CFIndex numBytes,
                                                      CFStringEncoding encoding, Boolean isExternalRepresentation);
CF_EXPORT CFStringRef __cdecl CFStringCreateWithBytesNoCopy(CFAllocatorRef alloc, const uint8_t* bytes,
                                                            CFIndex numBytes, CFStringEncoding encoding,
                                                            Boolean isExternalRepresentation,
                                                            CFAllocatorRef contentsDeallocator);
CF_EXPORT CFStringRef __cdecl CFStringCreateWithCharacters(CFAllocatorRef alloc, const UniChar* chars,
                                                           CFIndex numChars);
CF_EXPORT CFStringRef __cdecl CFStringCreateWithCharactersNoCopy(CFAllocatorRef alloc, const UniChar* chars,
                                                                 CFIndex numChars, CFAllocatorRef contentsDeallocator);
CF_EXPORT CFStringRef __cdecl CFStringCreateWithSubstring(CFAllocatorRef alloc, CFStringRef str, CFRange range);
CF_EXPORT CFStringRef __cdecl CFStringCreateCopy(CFAllocatorRef alloc, CFStringRef theString);
// Formats: %@ (any value, by its description), the C conversions d i u o x X
// c s (UTF-8) S (UTF-16) p f F e E g G a A with flags, width, precision,
// and the length modifiers hh h l ll q L z t j.
CF_EXPORT CFStringRef __cdecl CFStringCreateWithFormat(CFAllocatorRef alloc, CFDictionaryRef formatOptions,
                                                       CFStringRef format, ...);
CF_EXPORT CFStringRef __cdecl CFStringCreateWithFormatAndArguments(CFAllocatorRef alloc, CFDictionaryRef formatOptions,
                                                                   CFStringRef format, va_list arguments);
CF_EXPORT CFMutableStringRef __cdecl CFStringCreateMutable(CFAllocatorRef alloc, CFIndex maxLength);
CF_EXPORT CFMutableStringRef __cdecl CFStringCreateMutableCopy(CFAllocatorRef alloc, CFIndex maxLength,
                                                               CFStringRef theString);
CF_EXPORT CFIndex __cdecl CFStringGetLength(CFStringRef theString);
CF_EXPORT UniChar __cdecl CFStringGetCharacterAtIndex(CFStringRef theString, CFIndex idx);
CF_EXPORT void __cdecl CFStringGetCharacters(CFStringRef theString, CFRange range, UniChar* buffer);
CF_EXPORT Boolean __cdecl CFStringGetCString(CFStringRef theString, char* buffer, CFIndex bufferSize,
                                             CFStringEncoding encoding);
CF_EXPORT const char* __cdecl CFStringGetCStringPtr(CFStringRef theString, CFStringEncoding encoding);
CF_EXPORT const UniChar* __cdecl CFStringGetCharactersPtr(CFStringRef theString);
CF_EXPORT CFIndex __cdecl CFStringGetBytes(CFStringRef theString, CFRange range, CFStringEncoding encoding,
                                           uint8_t lossByte, Boolean isExternalRepresentation, uint8_t* buffer,
                                           CFIndex maxBufLen, CFIndex* usedBufLen);
CF_EXPORT CFStringRef __cdecl CFStringCreateFromExternalRepresentation(CFAllocatorRef alloc, CFDataRef data,
                                                                       CFStringEncoding encoding);
CF_EXPORT CFDataRef __cdecl CFStringCreateExternalRepresentation(CFAllocatorRef alloc, CFStringRef theString,
                                                                 CFStringEncoding encoding, uint8_t lossByte);
CF_EXPORT CFStringEncoding __cdecl CFStringGetSmallestEncoding(CFStringRef theString);
CF_EXPORT CFStringEncoding __cdecl CFStringGetFastestEncoding(CFStringRef theString);
CF_EXPORT CFStringEncoding __cdecl CFStringGetSystemEncoding();
CF_EXPORT CFIndex __cdecl CFStringGetMaximumSizeForEncoding(CFIndex length, CFStringEncoding encoding);
CF_EXPORT Boolean __cdecl CFStringIsEncodingAvailable(CFStringEncoding encoding);
CF_EXPORT CFStringRef __cdecl CFStringGetNameOfEncoding(CFStringEncoding encoding);
CF_EXPORT Boolean __cdecl CFStringGetFileSystemRepresentation(CFStringRef string, char* buffer, CFIndex maxBufLen);
CF_EXPORT CFIndex __cdecl CFStringGetMaximumSizeOfFileSystemRepresentation(CFStringRef string);
CF_EXPORT CFStringRef __cdecl CFStringCreateWithFileSystemRepresentation(CFAllocatorRef alloc, const char* buffer);
CF_EXPORT CFComparisonResult __cdecl CFStringCompare(CFStringRef theString1, CFStringRef theString2,
                                                     CFStringCompareFlags compareOptions);
CF_EXPORT CFComparisonResult __cdecl CFStringCompareWithOptions(CFStringRef theString1, CFStringRef theString2,
                                                                CFRange rangeToCompare,
                                                                CFStringCompareFlags compareOptions);
CF_EXPORT CFComparisonResult __cdecl CFStringCompareWithOptionsAndLocale(CFStringRef theString1, CFStringRef theString2,
                                                                         CFRange rangeToCompare,
                                                                         CFStringCompareFlags compareOptions,
                                                                         CFLocaleRef locale);
CF_EXPORT CFRange __cdecl CFStringFind(CFStringRef theString, CFStringRef stringToFind,
                                       CFStringCompareFlags compareOptions);
CF_EXPORT Boolean __cdecl CFStringFindWithOptions(CFStringRef theString, CFStringRef stringToFind,
                                                  CFRange rangeToSearch, CFStringCompareFlags searchOptions,
                                                  CFRange* result);
CF_EXPORT Boolean __cdecl CFStringFindWithOptionsAndLocale(CFStringRef theString, CFStringRef stringToFind,
                                                           CFRange rangeToSearch, CFStringCompareFlags searchOptions,
                                                           CFLocaleRef locale, CFRange* result);
CF_EXPORT Boolean __cdecl CFStringHasPrefix(CFStringRef theString, CFStringRef prefix);
CF_EXPORT Boolean __cdecl CFStringHasSuffix(CFStringRef theString, CFStringRef suffix);
CF_EXPORT CFStringRef __cdecl CFStringCreateByCombiningStrings(CFAllocatorRef alloc, CFArrayRef theArray,
                                                               CFStringRef separatorString);
CF_EXPORT CFArrayRef __cdecl CFStringCreateArrayBySeparatingStrings(CFAllocatorRef alloc, CFStringRef theString,
                                                                    CFStringRef separatorString);
CF_EXPORT int32_t __cdecl CFStringGetIntValue(CFStringRef str);
CF_EXPORT double __cdecl CFStringGetDoubleValue(CFStringRef str);
CF_EXPORT void __cdecl CFStringAppend(CFMutableStringRef theString, CFStringRef appendedString);
CF_EXPORT void __cdecl CFStringAppendCharacters(CFMutableStringRef theString, const UniChar* chars, CFIndex numChars);
CF_EXPORT void __cdecl CFStringAppendCString(CFMutableStringRef theString, const char* cStr, CFStringEncoding encoding);
CF_EXPORT void __cdecl CFStringAppendFormat(CFMutableStringRef theString, CFDictionaryRef formatOptions,
                                            CFStringRef format, ...);
CF_EXPORT void __cdecl CFStringAppendFormatAndArguments(CFMutableStringRef theString, CFDictionaryRef formatOptions,
                                                        CFStringRef format, va_list arguments);
CF_EXPORT void __cdecl CFStringInsert(CFMutableStringRef str, CFIndex idx, CFStringRef insertedStr);
CF_EXPORT void __cdecl CFStringDelete(CFMutableStringRef theString, CFRange range);
CF_EXPORT void __cdecl CFStringReplace(CFMutableStringRef theString, CFRange range, CFStringRef replacement);
CF_EXPORT void __cdecl CFStringReplaceAll(CFMutableStringRef theString, CFStringRef replacement);
CF_EXPORT CFIndex __cdecl CFStringFindAndReplace(CFMutableStringRef theString, CFStringRef stringToFind,
                                                 CFStringRef replacementString, CFRange rangeToSearch,
                                                 CFStringCompareFlags compareOptions);
CF_EXPORT void __cdecl CFStringPad(CFMutableStringRef theString, CFStringRef padString, CFIndex length,
                                   CFIndex indexIntoPad);
CF_EXPORT void __cdecl CFStringTrim(CFMutableStringRef theString, CFStringRef trimString);
CF_EXPORT void __cdecl CFStringTrimWhitespace(CFMutableStringRef theString);
// Case mapping covers the Basic Multilingual Plane; the locale is ignored.
CF_EXPORT void __cdecl CFStringLowercase(CFMutableStringRef theString, CFLocaleRef locale);
CF_EXPORT void __cdecl CFStringUppercase(CFMutableStringRef theString, CFLocaleRef locale);

// ---- arrays -----------------------------------------------------------------

CF_EXPORT CFTypeID __cdecl CFArrayGetTypeID();
CF_EXPORT CFArrayRef __cdecl CFArrayCreate(CFAllocatorRef allocator, const void** values, CFIndex numValues,
                                           const CFArrayCallBacks* callBacks);
CF_EXPORT CFArrayRef __cdecl CFArrayCreateCopy(CFAllocatorRef allocator, CFArrayRef theArray);
CF_EXPORT CFMutableArrayRef __cdecl CFArrayCreateMutable(CFAllocatorRef allocator, CFIndex capacity,
                                                         const CFArrayCallBacks* callBacks);
CF_EXPORT CFMutableArrayRef __cdecl CFArrayCreateMutableCopy(CFAllocatorRef allocator, CFIndex capacity,
                                                             CFArrayRef theArray);
CF_EXPORT CFIndex __cdecl CFArrayGetCount(CFArrayRef theArray);
CF_EXPORT CFIndex __cdecl CFArrayGetCountOfValue(CFArrayRef theArray, CFRange range, const void* value);
CF_EXPORT Boolean __cdecl CFArrayContainsValue(CFArrayRef theArray, CFRange range, const void* value);
CF_EXPORT void __cdecl CFArrayGetValues(CFArrayRef theArray, CFRange range, const void** values);
CF_EXPORT const void* __cdecl CFArrayGetValueAtIndex(CFArrayRef theArray, CFIndex idx);
CF_EXPORT void __cdecl CFArrayApplyFunction(CFArrayRef theArray, CFRange range, CFArrayApplierFunction applier,
                                            void* context);
CF_EXPORT CFIndex __cdecl CFArrayGetFirstIndexOfValue(CFArrayRef theArray, CFRange range, const void* value);
CF_EXPORT CFIndex __cdecl CFArrayGetLastIndexOfValue(CFArrayRef theArray, CFRange range, const void* value);
CF_EXPORT CFIndex __cdecl CFArrayBSearchValues(CFArrayRef theArray, CFRange range, const void* value,
                                               CFComparatorFunction comparator, void* context);
CF_EXPORT void __cdecl CFArrayAppendValue(CFMutableArrayRef theArray, const void* value);
CF_EXPORT void __cdecl CFArrayInsertValueAtIndex(CFMutableArrayRef theArray, CFIndex idx, const void* value);
CF_EXPORT void __cdecl CFArraySetValueAtIndex(CFMutableArrayRef theArray, CFIndex idx, const void* value);
CF_EXPORT void __cdecl CFArrayRemoveValueAtIndex(CFMutableArrayRef theArray, CFIndex idx);
CF_EXPORT void __cdecl CFArrayRemoveAllValues(CFMutableArrayRef theArray);
CF_EXPORT void __cdecl CFArrayReplaceValues(CFMutableArrayRef theArray, CFRange range, const void** newValues,
                                            CFIndex newCount);
CF_EXPORT void __cdecl CFArrayExchangeValuesAtIndices(CFMutableArrayRef theArray, CFIndex idx1, CFIndex idx2);
CF_EXPORT void __cdecl CFArraySortValues(CFMutableArrayRef theArray, CFRange range, CFComparatorFunction comparator,
                                         void* context);
CF_EXPORT void __cdecl CFArrayAppendArray(CFMutableArrayRef theArray, CFArrayRef otherArray, CFRange otherRange);

// ---- dictionaries -----------------------------------------------------------

CF_EXPORT CFTypeID __cdecl CFDictionaryGetTypeID();
CF_EXPORT CFDictionaryRef __cdecl CFDictionaryCreate(CFAllocatorRef allocator, const void** keys, const void** values,
                                                     CFIndex numValues, const CFDictionaryKeyCallBacks* keyCallBacks,
                                                     const CFDictionaryValueCallBacks* valueCallBacks);
CF_EXPORT CFDictionaryRef __cdecl CFDictionaryCreateCopy(CFAllocatorRef allocator, CFDictionaryRef theDict);
CF_EXPORT CFMutableDictionaryRef __cdecl CFDictionaryCreateMutable(CFAllocatorRef allocator, CFIndex capacity,
                                                                   const CFDictionaryKeyCallBacks* keyCallBacks,
                                                                   const CFDictionaryValueCallBacks* valueCallBacks);
CF_EXPORT CFMutableDictionaryRef __cdecl CFDictionaryCreateMutableCopy(CFAllocatorRef allocator, CFIndex capacity,
                                                                       CFDictionaryRef theDict);
CF_EXPORT CFIndex __cdecl CFDictionaryGetCount(CFDictionaryRef theDict);
CF_EXPORT CFIndex __cdecl CFDictionaryGetCountOfKey(CFDictionaryRef theDict, const void* key);
CF_EXPORT CFIndex __cdecl CFDictionaryGetCountOfValue(CFDictionaryRef theDict, const void* value);
CF_EXPORT Boolean __cdecl CFDictionaryContainsKey(CFDictionaryRef theDict, const void* key);
CF_EXPORT Boolean __cdecl CFDictionaryContainsValue(CFDictionaryRef theDict, const void* value);
CF_EXPORT const void* __cdecl CFDictionaryGetValue(CFDictionaryRef theDict, const void* key);
CF_EXPORT Boolean __cdecl CFDictionaryGetValueIfPresent(CFDictionaryRef theDict, const void* key, const void** value);
CF_EXPORT void __cdecl CFDictionaryGetKeysAndValues(CFDictionaryRef theDict, const void** keys, const void** values);
CF_EXPORT void __cdecl CFDictionaryApplyFunction(CFDictionaryRef theDict, CFDictionaryApplierFunction applier,
                                                 void* context);
CF_EXPORT void __cdecl CFDictionaryAddValue(CFMutableDictionaryRef theDict, const void* key, const void* value);
CF_EXPORT void __cdecl CFDictionarySetValue(CFMutableDictionaryRef theDict, const void* key, const void* value);
CF_EXPORT void __cdecl CFDictionaryReplaceValue(CFMutableDictionaryRef theDict, const void* key, const void* value);
CF_EXPORT void __cdecl CFDictionaryRemoveValue(CFMutableDictionaryRef theDict, const void* key);
CF_EXPORT void __cdecl CFDictionaryRemoveAllValues(CFMutableDictionaryRef theDict);

// ---- URLs -------------------------------------------------------------------

CF_EXPORT CFTypeID __cdecl CFURLGetTypeID();
CF_EXPORT CFURLRef __cdecl CFURLCreateWithBytes(CFAllocatorRef allocator, const uint8_t* URLBytes, CFIndex length,
                                                CFStringEncoding encoding, CFURLRef baseURL);
CF_EXPORT CFURLRef __cdecl CFURLCreateWithString(CFAllocatorRef allocator, CFStringRef URLString, CFURLRef baseURL);
CF_EXPORT CFURLRef __cdecl CFURLCreateWithFileSystemPath(CFAllocatorRef allocator, CFStringRef filePath,
                                                         CFURLPathStyle pathStyle, Boolean isDirectory);
CF_EXPORT CFURLRef __cdecl CFURLCreateFromFileSystemRepresentation(CFAllocatorRef allocator, const uint8_t* buffer,
                                                                   CFIndex bufLen, Boolean isDirectory);
CF_EXPORT CFDataRef __cdecl CFURLCreateData(CFAllocatorRef allocator, CFURLRef url, CFStringEncoding encoding,
                                            Boolean escapeWhitespace);
CF_EXPORT CFStringRef __cdecl CFURLGetString(CFURLRef anURL);
CF_EXPORT CFURLRef __cdecl CFURLGetBaseURL(CFURLRef anURL);
CF_EXPORT CFIndex __cdecl CFURLGetBytes(CFURLRef url, uint8_t* buffer, CFIndex bufferLength);
CF_EXPORT CFStringRef __cdecl CFURLCopyScheme(CFURLRef anURL);
CF_EXPORT CFStringRef __cdecl CFURLCopyHostName(CFURLRef anURL);
CF_EXPORT CFStringRef __cdecl CFURLCopyPath(CFURLRef anURL);
CF_EXPORT CFStringRef __cdecl CFURLCopyFileSystemPath(CFURLRef anURL, CFURLPathStyle pathStyle);
CF_EXPORT Boolean __cdecl CFURLGetFileSystemRepresentation(CFURLRef url, Boolean resolveAgainstBase, uint8_t* buffer,
                                                           CFIndex maxBufLen);
CF_EXPORT Boolean __cdecl CFURLHasDirectoryPath(CFURLRef anURL);
CF_EXPORT CFStringRef __cdecl CFURLCopyLastPathComponent(CFURLRef url);
CF_EXPORT CFStringRef __cdecl CFURLCopyPathExtension(CFURLRef url);
CF_EXPORT CFStringRef __cdecl CFURLCreateStringByReplacingPercentEscapes(CFAllocatorRef allocator,
                                                                         CFStringRef originalString,
                                                                         CFStringRef charactersToLeaveEscaped);
CF_EXPORT CFStringRef __cdecl CFURLCreateStringByReplacingPercentEscapesUsingEncoding(CFAllocatorRef allocator,
                                                                                      CFStringRef origString,
                                                                                      CFStringRef charsToLeaveEscaped,
                                                                                      CFStringEncoding encoding);

// ---- UUIDs ------------------------------------------------------------------

CF_EXPORT CFTypeID __cdecl CFUUIDGetTypeID();
CF_EXPORT CFUUIDRef __cdecl CFUUIDCreate(CFAllocatorRef alloc);
CF_EXPORT CFUUIDRef __cdecl CFUUIDCreateWithBytes(CFAllocatorRef alloc, uint8_t byte0, uint8_t byte1, uint8_t byte2,
                                                  uint8_t byte3, uint8_t byte4, uint8_t byte5, uint8_t byte6,
                                                  uint8_t byte7, uint8_t byte8, uint8_t byte9, uint8_t byte10,
                                                  uint8_t byte11, uint8_t byte12, uint8_t byte13, uint8_t byte14,
                                                  uint8_t byte15);
CF_EXPORT CFUUIDRef __cdecl CFUUIDCreateFromString(CFAllocatorRef alloc, CFStringRef uuidStr);
CF_EXPORT CFStringRef __cdecl CFUUIDCreateString(CFAllocatorRef alloc, CFUUIDRef uuid);
CF_EXPORT CFUUIDRef __cdecl CFUUIDGetConstantUUIDWithBytes(CFAllocatorRef alloc, uint8_t byte0, uint8_t byte1,
                                                           uint8_t byte2, uint8_t byte3, uint8_t byte4, uint8_t byte5,
                                                           uint8_t byte6, uint8_t byte7, uint8_t byte8, uint8_t byte9,
                                                           uint8_t byte10, uint8_t byte11, uint8_t byte12,
                                                           uint8_t byte13, uint8_t byte14, uint8_t byte15);
CF_EXPORT CFUUIDBytes __cdecl CFUUIDGetUUIDBytes(CFUUIDRef uuid);
CF_EXPORT CFUUIDRef __cdecl CFUUIDCreateFromUUIDBytes(CFAllocatorRef alloc, CFUUIDBytes bytes);

// ---- errors -----------------------------------------------------------------

CF_EXPORT CFTypeID __cdecl CFErrorGetTypeID();
CF_EXPORT CFErrorRef __cdecl CFErrorCreate(CFAllocatorRef allocator, CFErrorDomain domain, CFIndex code,
                                           CFDictionaryRef userInfo);
CF_EXPORT CFErrorRef __cdecl CFErrorCreateWithUserInfoKeysAndValues(CFAllocatorRef allocator, CFErrorDomain domain,
                                                                    CFIndex code, const void* const* userInfoKeys,
                                                                    const void* const* userInfoValues,
                                                                    CFIndex numUserInfoValues);
CF_EXPORT CFErrorDomain __cdecl CFErrorGetDomain(CFErrorRef err);
CF_EXPORT CFIndex __cdecl CFErrorGetCode(CFErrorRef err);
CF_EXPORT CFDictionaryRef __cdecl CFErrorCopyUserInfo(CFErrorRef err);
CF_EXPORT CFStringRef __cdecl CFErrorCopyDescription(CFErrorRef err);
CF_EXPORT CFStringRef __cdecl CFErrorCopyFailureReason(CFErrorRef err);
CF_EXPORT CFStringRef __cdecl CFErrorCopyRecoverySuggestion(CFErrorRef err);

// ---- property lists ---------------------------------------------------------
// Reading takes XML ("<?xml", "<plist") and binary ("bplist00") lists; bad
// input gives null and, when asked for, an error. Writing gives XML or
// binary lists of strings, numbers, booleans, dates, data, arrays and
// dictionaries with string keys.

CF_EXPORT CFPropertyListRef __cdecl CFPropertyListCreateWithData(CFAllocatorRef allocator, CFDataRef data,
                                                                 CFOptionFlags options, CFPropertyListFormat* format,
                                                                 CFErrorRef* error);
CF_EXPORT CFPropertyListRef __cdecl CFPropertyListCreateFromXMLData(CFAllocatorRef allocator, CFDataRef xmlData,
                                                                    CFOptionFlags mutabilityOption,
                                                                    CFStringRef* errorString);
CF_EXPORT CFDataRef __cdecl CFPropertyListCreateData(CFAllocatorRef allocator, CFPropertyListRef propertyList,
                                                     CFPropertyListFormat format, CFOptionFlags options,
                                                     CFErrorRef* error);
CF_EXPORT CFDataRef __cdecl CFPropertyListCreateXMLData(CFAllocatorRef allocator, CFPropertyListRef propertyList);
CF_EXPORT CFPropertyListRef __cdecl CFPropertyListCreateDeepCopy(CFAllocatorRef allocator,
                                                                 CFPropertyListRef propertyList,
                                                                 CFOptionFlags mutabilityOption);
CF_EXPORT Boolean __cdecl CFPropertyListIsValid(CFPropertyListRef plist, CFPropertyListFormat format);
