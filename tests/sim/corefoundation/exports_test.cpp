// The stand-in value library exports every name the program binds: loaded
// by name, as the program loads it, each of the 573 names resolves; the
// data names point at real values of the right kind.
#include "tests/support/test_util.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

namespace {

// The value library's part of the binding table, in binding order.
const char* const kNames[] = {
    "CFArrayGetTypeID",
    "CFArrayCreate",
    "CFArrayCreateCopy",
    "CFArrayCreateMutable",
    "CFArrayCreateMutableCopy",
    "CFArrayGetCount",
    "CFArrayGetCountOfValue",
    "CFArrayContainsValue",
    "CFArrayGetValues",
    "CFArrayGetValueAtIndex",
    "CFArrayApplyFunction",
    "CFArrayGetFirstIndexOfValue",
    "CFArrayGetLastIndexOfValue",
    "CFArrayBSearchValues",
    "CFArrayAppendValue",
    "CFArrayInsertValueAtIndex",
    "CFArraySetValueAtIndex",
    "CFArrayRemoveValueAtIndex",
    "CFArrayRemoveAllValues",
    "CFArrayReplaceValues",
    "CFArrayExchangeValuesAtIndices",
    "CFArraySortValues",
    "CFArrayAppendArray",
    "kCFTypeArrayCallBacks",
    "kCFTypeBagCallBacks",
    "kCFCopyStringBagCallBacks",
    "kCFStringBinaryHeapCallBacks",
    "kCFAbsoluteTimeIntervalSince1970",
    "kCFAbsoluteTimeIntervalSince1904",
    "kCFDateFormatterIsLenient",
    "kCFDateFormatterTimeZone",
    "kCFDateFormatterCalendarName",
    "kCFDateFormatterDefaultFormat",
    "kCFDateFormatterTwoDigitStartDate",
    "kCFDateFormatterDefaultDate",
    "kCFDateFormatterCalendar",
    "kCFDateFormatterEraSymbols",
    "kCFDateFormatterMonthSymbols",
    "kCFDateFormatterShortMonthSymbols",
    "kCFDateFormatterWeekdaySymbols",
    "kCFDateFormatterShortWeekdaySymbols",
    "kCFDateFormatterAMSymbol",
    "kCFDateFormatterPMSymbol",
    "kCFTypeDictionaryKeyCallBacks",
    "kCFCopyStringDictionaryKeyCallBacks",
    "kCFTypeDictionaryValueCallBacks",
    "kCFLocaleIdentifier",
    "kCFLocaleLanguageCode",
    "kCFLocaleCountryCode",
    "kCFLocaleScriptCode",
    "kCFLocaleVariantCode",
    "kCFLocaleExemplarCharacterSet",
    "kCFLocaleCalendarIdentifier",
    "kCFLocaleCalendar",
    "kCFLocaleCollationIdentifier",
    "kCFLocaleUsesMetricSystem",
    "kCFLocaleMeasurementSystem",
    "kCFLocaleDecimalSeparator",
    "kCFLocaleGroupingSeparator",
    "kCFLocaleCurrencySymbol",
    "kCFLocaleCurrencyCode",
    "kCFGregorianCalendar",
    "kCFBuddhistCalendar",
    "kCFChineseCalendar",
    "kCFHebrewCalendar",
    "kCFIslamicCalendar",
    "kCFIslamicCivilCalendar",
    "kCFJapaneseCalendar",
    "kCFBooleanTrue",
    "kCFBooleanFalse",
    "kCFNumberPositiveInfinity",
    "kCFNumberNegativeInfinity",
    "kCFNumberNaN",
    "kCFNumberFormatterCurrencyCode",
    "kCFNumberFormatterDecimalSeparator",
    "kCFNumberFormatterCurrencyDecimalSeparator",
    "kCFNumberFormatterAlwaysShowDecimalSeparator",
    "kCFNumberFormatterGroupingSeparator",
    "kCFNumberFormatterUseGroupingSeparator",
    "kCFNumberFormatterPercentSymbol",
    "kCFNumberFormatterZeroSymbol",
    "kCFNumberFormatterNaNSymbol",
    "kCFNumberFormatterInfinitySymbol",
    "kCFNumberFormatterMinusSign",
    "kCFNumberFormatterPlusSign",
    "kCFNumberFormatterCurrencySymbol",
    "kCFNumberFormatterExponentSymbol",
    "kCFNumberFormatterMinIntegerDigits",
    "kCFNumberFormatterMaxIntegerDigits",
    "kCFNumberFormatterMinFractionDigits",
    "kCFNumberFormatterMaxFractionDigits",
    "kCFNumberFormatterGroupingSize",
    "kCFNumberFormatterSecondaryGroupingSize",
    "kCFNumberFormatterRoundingMode",
    "kCFNumberFormatterRoundingIncrement",
    "kCFNumberFormatterFormatWidth",
    "kCFNumberFormatterPaddingPosition",
    "kCFNumberFormatterPaddingCharacter",
    "kCFNumberFormatterDefaultFormat",
    "kCFNumberFormatterMultiplier",
    "kCFNumberFormatterPositivePrefix",
    "kCFNumberFormatterPositiveSuffix",
    "kCFNumberFormatterNegativePrefix",
    "kCFNumberFormatterNegativeSuffix",
    "kCFNumberFormatterPerMillSymbol",
    "kCFNumberFormatterInternationalCurrencySymbol",
    "kCFPreferencesAnyApplication",
    "kCFPreferencesCurrentApplication",
    "kCFPreferencesAnyHost",
    "kCFPreferencesCurrentHost",
    "kCFPreferencesAnyUser",
    "kCFPreferencesCurrentUser",
    "kCFTypeSetCallBacks",
    "kCFCopyStringSetCallBacks",
    "kCFStringTransformStripCombiningMarks",
    "kCFStringTransformToLatin",
    "kCFStringTransformFullwidthHalfwidth",
    "kCFStringTransformLatinKatakana",
    "kCFStringTransformLatinHiragana",
    "kCFStringTransformHiraganaKatakana",
    "kCFStringTransformMandarinLatin",
    "kCFStringTransformLatinHangul",
    "kCFStringTransformLatinArabic",
    "kCFStringTransformLatinHebrew",
    "kCFStringTransformLatinThai",
    "kCFStringTransformLatinCyrillic",
    "kCFStringTransformLatinGreek",
    "kCFStringTransformToXMLHex",
    "kCFStringTransformToUnicodeName",
    "kCFNull",
    "kCFAllocatorDefault",
    "kCFAllocatorSystemDefault",
    "kCFAllocatorMalloc",
    "kCFAllocatorMallocZone",
    "kCFAllocatorNull",
    "kCFAllocatorUseContext",
    "CFBagGetTypeID",
    "CFBagCreate",
    "CFBagCreateCopy",
    "CFBagCreateMutable",
    "CFBagCreateMutableCopy",
    "CFBagGetCount",
    "CFBagGetCountOfValue",
    "CFBagContainsValue",
    "CFBagGetValueIfPresent",
    "CFBagGetValues",
    "CFBagGetValue",
    "CFBagApplyFunction",
    "CFBagAddValue",
    "CFBagReplaceValue",
    "CFBagSetValue",
    "CFBagRemoveValue",
    "CFBagRemoveAllValues",
    "CFBinaryHeapGetTypeID",
    "CFBinaryHeapCreate",
    "CFBinaryHeapCreateCopy",
    "CFBinaryHeapGetCount",
    "CFBinaryHeapGetCountOfValue",
    "CFBinaryHeapContainsValue",
    "CFBinaryHeapGetMinimumIfPresent",
    "CFBinaryHeapGetMinimum",
    "CFBinaryHeapGetValues",
    "CFBinaryHeapApplyFunction",
    "CFBinaryHeapAddValue",
    "CFBinaryHeapRemoveMinimumValue",
    "CFBinaryHeapRemoveAllValues",
    "CFBitVectorGetTypeID",
    "CFBitVectorCreate",
    "CFBitVectorCreateCopy",
    "CFBitVectorCreateMutable",
    "CFBitVectorCreateMutableCopy",
    "CFBitVectorGetCount",
    "CFBitVectorGetCountOfBit",
    "CFBitVectorContainsBit",
    "CFBitVectorGetBitAtIndex",
    "CFBitVectorGetBits",
    "CFBitVectorGetFirstIndexOfBit",
    "CFBitVectorGetLastIndexOfBit",
    "CFBitVectorSetCount",
    "CFBitVectorFlipBitAtIndex",
    "CFBitVectorFlipBits",
    "CFBitVectorSetBitAtIndex",
    "CFBitVectorSetBits",
    "CFBitVectorSetAllBits",
    "CFCalendarGetTypeID",
    "CFCalendarCopyCurrent",
    "CFCalendarCreateWithIdentifier",
    "CFCalendarGetIdentifier",
    "CFCalendarCopyLocale",
    "CFCalendarSetLocale",
    "CFCalendarCopyTimeZone",
    "CFCalendarSetTimeZone",
    "CFCalendarGetFirstWeekday",
    "CFCalendarSetFirstWeekday",
    "CFCalendarGetMinimumDaysInFirstWeek",
    "CFCalendarSetMinimumDaysInFirstWeek",
    "CFCalendarGetMinimumRangeOfUnit",
    "CFCalendarGetMaximumRangeOfUnit",
    "CFCalendarGetRangeOfUnit",
    "CFCalendarGetOrdinalityOfUnit",
    "CFCalendarGetTimeRangeOfUnit",
    "CFCalendarComposeAbsoluteTime",
    "CFCalendarDecomposeAbsoluteTime",
    "CFCalendarAddComponents",
    "CFCalendarGetComponentDifference",
    "CFCharacterSetGetTypeID",
    "CFCharacterSetGetPredefined",
    "CFCharacterSetCreateWithCharactersInRange",
    "CFCharacterSetCreateWithCharactersInString",
    "CFCharacterSetCreateWithBitmapRepresentation",
    "CFCharacterSetCreateInvertedSet",
    "CFCharacterSetIsSupersetOfSet",
    "CFCharacterSetHasMemberInPlane",
    "CFCharacterSetCreateMutable",
    "CFCharacterSetCreateCopy",
    "CFCharacterSetCreateMutableCopy",
    "CFCharacterSetIsCharacterMember",
    "CFCharacterSetIsLongCharacterMember",
    "CFCharacterSetCreateBitmapRepresentation",
    "CFCharacterSetAddCharactersInRange",
    "CFCharacterSetRemoveCharactersInRange",
    "CFCharacterSetAddCharactersInString",
    "CFCharacterSetRemoveCharactersInString",
    "CFCharacterSetUnion",
    "CFCharacterSetIntersect",
    "CFCharacterSetInvert",
    "CFDataGetTypeID",
    "CFDataCreate",
    "CFDataCreateWithBytesNoCopy",
    "CFDataCreateCopy",
    "CFDataCreateMutable",
    "CFDataCreateMutableCopy",
    "CFDataGetLength",
    "CFDataGetMutableBytePtr",
    "CFDataGetBytePtr",
    "CFDataGetBytes",
    "CFDataSetLength",
    "CFDataIncreaseLength",
    "CFDataAppendBytes",
    "CFDataReplaceBytes",
    "CFDataDeleteBytes",
    "CFDataFind",
    "CFAbsoluteTimeGetCurrent",
    "CFAbsoluteTimeGetGregorianDate",
    "CFAbsoluteTimeAddGregorianUnits",
    "CFAbsoluteTimeGetDifferenceAsGregorianUnits",
    "CFAbsoluteTimeGetDayOfWeek",
    "CFAbsoluteTimeGetDayOfYear",
    "CFAbsoluteTimeGetWeekOfYear",
    "CFDateGetTypeID",
    "CFDateCreate",
    "CFDateGetAbsoluteTime",
    "CFDateGetTimeIntervalSinceDate",
    "CFDateCompare",
    "CFGregorianDateIsValid",
    "CFGregorianDateGetAbsoluteTime",
    "CFDateFormatterCreateDateFormatFromTemplate",
    "CFDateFormatterGetTypeID",
    "CFDateFormatterCreate",
    "CFDateFormatterGetLocale",
    "CFDateFormatterGetDateStyle",
    "CFDateFormatterGetTimeStyle",
    "CFDateFormatterGetFormat",
    "CFDateFormatterSetFormat",
    "CFDateFormatterCreateStringWithDate",
    "CFDateFormatterCreateStringWithAbsoluteTime",
    "CFDateFormatterCreateDateFromString",
    "CFDateFormatterGetAbsoluteTimeFromString",
    "CFDateFormatterSetProperty",
    "CFDateFormatterCopyProperty",
    "CFDictionaryGetTypeID",
    "CFDictionaryCreate",
    "CFDictionaryCreateCopy",
    "CFDictionaryCreateMutable",
    "CFDictionaryCreateMutableCopy",
    "CFDictionaryGetCount",
    "CFDictionaryGetCountOfKey",
    "CFDictionaryGetCountOfValue",
    "CFDictionaryContainsKey",
    "CFDictionaryContainsValue",
    "CFDictionaryGetValueIfPresent",
    "CFDictionaryGetKeysAndValues",
    "CFDictionaryApplyFunction",
    "CFDictionaryAddValue",
    "CFDictionarySetValue",
    "CFDictionaryReplaceValue",
    "CFDictionaryGetValue",
    "CFDictionaryRemoveValue",
    "CFDictionaryRemoveAllValues",
    "CFErrorGetTypeID",
    "CFErrorCreate",
    "CFErrorCreateWithUserInfoKeysAndValues",
    "CFErrorGetDomain",
    "CFErrorGetCode",
    "CFErrorCopyUserInfo",
    "CFErrorCopyDescription",
    "CFErrorCopyFailureReason",
    "CFErrorCopyRecoverySuggestion",
    "CFLocaleGetTypeID",
    "CFLocaleGetSystem",
    "CFLocaleCopyCurrent",
    "CFLocaleCopyAvailableLocaleIdentifiers",
    "CFLocaleCopyISOLanguageCodes",
    "CFLocaleCopyISOCountryCodes",
    "CFLocaleCopyISOCurrencyCodes",
    "CFLocaleCopyCommonISOCurrencyCodes",
    "CFLocaleCopyPreferredLanguages",
    "CFLocaleCreateCanonicalLanguageIdentifierFromString",
    "CFLocaleCreateCanonicalLocaleIdentifierFromString",
    "CFLocaleCreateCanonicalLocaleIdentifierFromScriptManagerCodes",
    "CFLocaleCreateLocaleIdentifierFromWindowsLocaleCode",
    "CFLocaleGetWindowsLocaleCodeFromLocaleIdentifier",
    "CFLocaleGetLanguageCharacterDirection",
    "CFLocaleGetLanguageLineDirection",
    "CFLocaleCreateComponentsFromLocaleIdentifier",
    "CFLocaleCreateLocaleIdentifierFromComponents",
    "CFLocaleCreate",
    "CFLocaleCreateCopy",
    "CFLocaleGetIdentifier",
    "CFLocaleGetValue",
    "CFLocaleCopyDisplayNameForPropertyValue",
    "CFBooleanGetTypeID",
    "CFBooleanGetValue",
    "CFNumberGetTypeID",
    "CFNumberCreate",
    "CFNumberGetType",
    "CFNumberGetByteSize",
    "CFNumberIsFloatType",
    "CFNumberGetValue",
    "CFNumberCompare",
    "CFNumberFormatterGetTypeID",
    "CFNumberFormatterCreate",
    "CFNumberFormatterGetLocale",
    "CFNumberFormatterGetStyle",
    "CFNumberFormatterGetFormat",
    "CFNumberFormatterSetFormat",
    "CFNumberFormatterCreateStringWithNumber",
    "CFNumberFormatterCreateStringWithValue",
    "CFNumberFormatterCreateNumberFromString",
    "CFNumberFormatterGetValueFromString",
    "CFNumberFormatterSetProperty",
    "CFNumberFormatterCopyProperty",
    "CFNumberFormatterGetDecimalInfoForCurrencyCode",
    "CFPreferencesCopyAppValue",
    "CFPreferencesGetAppBooleanValue",
    "CFPreferencesGetAppIntegerValue",
    "CFPreferencesSetAppValue",
    "CFPreferencesAddSuitePreferencesToApp",
    "CFPreferencesRemoveSuitePreferencesFromApp",
    "CFPreferencesAppSynchronize",
    "CFPreferencesCopyValue",
    "CFPreferencesCopyMultiple",
    "CFPreferencesSetValue",
    "CFPreferencesSetMultiple",
    "CFPreferencesSynchronize",
    "CFPreferencesCopyApplicationList",
    "CFPreferencesCopyKeyList",
    "CFPreferencesAppValueIsForced",
    "CFPropertyListCreateFromXMLData",
    "CFPropertyListCreateXMLData",
    "CFPropertyListCreateDeepCopy",
    "CFPropertyListIsValid",
    "CFPropertyListCreateWithData",
    "CFPropertyListCreateData",
    "CFSetGetTypeID",
    "CFSetCreate",
    "CFSetCreateCopy",
    "CFSetCreateMutable",
    "CFSetCreateMutableCopy",
    "CFSetGetCount",
    "CFSetGetCountOfValue",
    "CFSetContainsValue",
    "CFSetGetValueIfPresent",
    "CFSetGetValues",
    "CFSetApplyFunction",
    "CFSetAddValue",
    "CFSetReplaceValue",
    "CFSetSetValue",
    "CFSetGetValue",
    "CFSetRemoveValue",
    "CFSetRemoveAllValues",
    "CFStringGetTypeID",
    "CFStringCreateWithPascalString",
    "CFStringCreateWithCString",
    "CFStringCreateWithBytes",
    "CFStringCreateWithCharacters",
    "CFStringCreateWithPascalStringNoCopy",
    "CFStringCreateWithCStringNoCopy",
    "CFStringCreateWithBytesNoCopy",
    "CFStringCreateWithCharactersNoCopy",
    "CFStringCreateWithSubstring",
    "CFStringCreateCopy",
    "CFStringCreateWithFormat",
    "CFStringCreateWithFormatAndArguments",
    "CFStringCreateMutable",
    "CFStringCreateMutableCopy",
    "CFStringCreateMutableWithExternalCharactersNoCopy",
    "CFStringGetLength",
    "CFStringGetCharacterAtIndex",
    "CFStringGetCharacters",
    "CFStringGetPascalString",
    "CFStringGetCString",
    "CFStringGetPascalStringPtr",
    "CFStringGetBytes",
    "CFStringCreateFromExternalRepresentation",
    "CFStringCreateExternalRepresentation",
    "CFStringGetSmallestEncoding",
    "CFStringGetFastestEncoding",
    "CFStringGetSystemEncoding",
    "CFStringGetMaximumSizeForEncoding",
    "CFStringGetFileSystemRepresentation",
    "CFStringGetMaximumSizeOfFileSystemRepresentation",
    "CFStringCreateWithFileSystemRepresentation",
    "CFStringCompareWithOptionsAndLocale",
    "CFStringCompareWithOptions",
    "CFStringCompare",
    "CFStringFindWithOptionsAndLocale",
    "CFStringFindWithOptions",
    "CFStringCreateArrayWithFindResults",
    "CFStringFind",
    "CFStringHasPrefix",
    "CFStringHasSuffix",
    "CFStringGetRangeOfComposedCharactersAtIndex",
    "CFStringFindCharacterFromSet",
    "CFStringGetLineBounds",
    "CFStringGetParagraphBounds",
    "CFStringCreateByCombiningStrings",
    "CFStringCreateArrayBySeparatingStrings",
    "CFStringGetIntValue",
    "CFStringGetDoubleValue",
    "CFStringAppend",
    "CFStringAppendCharacters",
    "CFStringAppendPascalString",
    "CFStringAppendCString",
    "CFStringAppendFormat",
    "CFStringAppendFormatAndArguments",
    "CFStringInsert",
    "CFStringDelete",
    "CFStringReplace",
    "CFStringReplaceAll",
    "CFStringFindAndReplace",
    "CFStringSetExternalCharactersNoCopy",
    "CFStringPad",
    "CFStringTrim",
    "CFStringTrimWhitespace",
    "CFStringLowercase",
    "CFStringUppercase",
    "CFStringCapitalize",
    "CFStringNormalize",
    "CFStringFold",
    "CFStringTransform",
    "CFStringIsEncodingAvailable",
    "CFStringGetNameOfEncoding",
    "CFStringConvertNSStringEncodingToEncoding",
    "CFStringConvertEncodingToWindowsCodepage",
    "CFStringConvertWindowsCodepageToEncoding",
    "CFStringConvertIANACharSetNameToEncoding",
    "CFStringConvertEncodingToIANACharSetName",
    "CFStringGetMostCompatibleMacStringEncoding",
    "CFStringGetCStringPtr",
    "CFStringGetCharactersPtr",
    "CFShow",
    "CFShowStr",
    "CFGetTypeID",
    "CFCopyTypeIDDescription",
    "CFRetain",
    "CFRelease",
    "CFGetRetainCount",
    "CFMakeCollectable",
    "CFHash",
    "CFCopyDescription",
    "CFGetAllocator",
    "CFEqual",
    "__CFStringMakeConstantString",
    "__CFRangeMake",
    "CFTimeZoneGetTypeID",
    "CFTimeZoneCopySystem",
    "CFTimeZoneResetSystem",
    "CFTimeZoneCopyDefault",
    "CFTimeZoneSetDefault",
    "CFTimeZoneCopyKnownNames",
    "CFTimeZoneCopyAbbreviationDictionary",
    "CFTimeZoneSetAbbreviationDictionary",
    "CFTimeZoneCreate",
    "CFTimeZoneCreateWithTimeIntervalFromGMT",
    "CFTimeZoneCreateWithName",
    "CFTimeZoneGetName",
    "CFTimeZoneGetData",
    "CFTimeZoneGetSecondsFromGMT",
    "CFTimeZoneCopyAbbreviation",
    "CFTimeZoneIsDaylightSavingTime",
    "CFTimeZoneGetDaylightSavingTimeOffset",
    "CFTimeZoneGetNextDaylightSavingTimeTransition",
    "CFTimeZoneCopyLocalizedName",
    "CFTreeGetTypeID",
    "CFTreeCreate",
    "CFTreeGetParent",
    "CFTreeGetNextSibling",
    "CFTreeGetFirstChild",
    "CFTreeGetContext",
    "CFTreeGetChildCount",
    "CFTreeGetChildAtIndex",
    "CFTreeGetChildren",
    "CFTreeApplyFunctionToChildren",
    "CFTreeFindRoot",
    "CFTreeSetContext",
    "CFTreePrependChild",
    "CFTreeAppendChild",
    "CFTreeInsertSibling",
    "CFTreeRemove",
    "CFTreeRemoveAllChildren",
    "CFTreeSortChildren",
    "CFURLGetTypeID",
    "CFURLCreateWithBytes",
    "CFURLCreateData",
    "CFURLCreateWithString",
    "CFURLCreateAbsoluteURLWithBytes",
    "CFURLCreateWithFileSystemPath",
    "CFURLCreateFromFileSystemRepresentation",
    "CFURLCreateWithFileSystemPathRelativeToBase",
    "CFURLCreateFromFileSystemRepresentationRelativeToBase",
    "CFURLGetFileSystemRepresentation",
    "CFURLCopyAbsoluteURL",
    "CFURLGetString",
    "CFURLGetBaseURL",
    "CFURLCanBeDecomposed",
    "CFURLCopyScheme",
    "CFURLCopyNetLocation",
    "CFURLCopyPath",
    "CFURLCopyStrictPath",
    "CFURLCopyFileSystemPath",
    "CFURLHasDirectoryPath",
    "CFURLCopyResourceSpecifier",
    "CFURLCopyHostName",
    "CFURLGetPortNumber",
    "CFURLCopyUserName",
    "CFURLCopyPassword",
    "CFURLCopyParameterString",
    "CFURLCopyQueryString",
    "CFURLCopyFragment",
    "CFURLCopyLastPathComponent",
    "CFURLCopyPathExtension",
    "CFURLCreateCopyAppendingPathComponent",
    "CFURLCreateCopyDeletingLastPathComponent",
    "CFURLCreateCopyAppendingPathExtension",
    "CFURLCreateCopyDeletingPathExtension",
    "CFURLGetBytes",
    "CFURLGetByteRangeForComponent",
    "CFURLCreateStringByReplacingPercentEscapes",
    "CFURLCreateStringByReplacingPercentEscapesUsingEncoding",
    "CFURLCreateStringByAddingPercentEscapes",
    "CFURLCreateDataAndPropertiesFromResource",
    "CFURLWriteDataAndPropertiesToResource",
    "CFURLDestroyResource",
    "CFURLCreatePropertyFromResource",
    "CFUUIDGetTypeID",
    "CFUUIDCreate",
    "CFUUIDCreateWithBytes",
    "CFUUIDCreateFromString",
    "CFUUIDCreateString",
    "CFUUIDGetConstantUUIDWithBytes",
    "CFUUIDGetUUIDBytes",
    "CFUUIDCreateFromUUIDBytes",
    "CFNullGetTypeID",
    "CFAllocatorGetTypeID",
    "CFAllocatorSetDefault",
    "CFAllocatorGetDefault",
    "CFAllocatorCreate",
    "CFAllocatorAllocate",
    "CFAllocatorReallocate",
    "CFAllocatorDeallocate",
    "CFAllocatorGetPreferredSizeForSize",
    "CFAllocatorGetContext",
};

class Library {
  public:
    explicit Library(const std::wstring& path) : m_module(::LoadLibraryW(path.c_str())) {}
    ~Library() {
        if (m_module)
            ::FreeLibrary(m_module);
    }
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;
    HMODULE get() const { return m_module; }
    template <typename T> T Get(const char* name) const {
        return reinterpret_cast<T>(reinterpret_cast<void*>(::GetProcAddress(m_module, name)));
    }

  private:
    HMODULE m_module;
};

TEST(CoreFoundationExports, EveryBoundNameResolves) {
    ASSERT_EQ(sizeof kNames / sizeof kNames[0], 573u);
    Library cf(L"CoreFoundation.dll");
    ASSERT_NE(cf.get(), nullptr) << "LoadLibrary failed: " << ::GetLastError();
    int data = 0;
    for (const char* name : kNames) {
        EXPECT_NE(::GetProcAddress(cf.get(), name), nullptr) << name;
        data += std::strncmp(name, "kCF", 3) == 0;
    }
    EXPECT_EQ(data, 113);
}

TEST(CoreFoundationExports, DataNamesAreRealValues) {
    Library cf(L"CoreFoundation.dll");
    ASSERT_NE(cf.get(), nullptr);
    using TypeIdFn = unsigned long(__cdecl*)(const void*);
    using NoArgTypeIdFn = unsigned long(__cdecl*)();
    using BoolFn = unsigned char(__cdecl*)(const void*);
    auto typeOf = cf.Get<TypeIdFn>("CFGetTypeID");
    ASSERT_NE(typeOf, nullptr);
    auto deref = [&](const char* name) { return *cf.Get<const void* const*>(name); };

    EXPECT_EQ(typeOf(deref("kCFBooleanTrue")), cf.Get<NoArgTypeIdFn>("CFBooleanGetTypeID")());
    EXPECT_EQ(cf.Get<BoolFn>("CFBooleanGetValue")(deref("kCFBooleanTrue")), 1);
    EXPECT_EQ(cf.Get<BoolFn>("CFBooleanGetValue")(deref("kCFBooleanFalse")), 0);
    EXPECT_EQ(typeOf(deref("kCFNull")), cf.Get<NoArgTypeIdFn>("CFNullGetTypeID")());
    EXPECT_EQ(typeOf(deref("kCFNumberNaN")), cf.Get<NoArgTypeIdFn>("CFNumberGetTypeID")());
    EXPECT_EQ(deref("kCFAllocatorDefault"), nullptr); // as the vendor exports it
    EXPECT_EQ(typeOf(deref("kCFAllocatorSystemDefault")), cf.Get<NoArgTypeIdFn>("CFAllocatorGetTypeID")());
    EXPECT_EQ(typeOf(deref("kCFAllocatorNull")), cf.Get<NoArgTypeIdFn>("CFAllocatorGetTypeID")());
    EXPECT_EQ(*cf.Get<const double*>("kCFAbsoluteTimeIntervalSince1970"), 978307200.0);
    EXPECT_EQ(*cf.Get<const double*>("kCFAbsoluteTimeIntervalSince1904"), 3061152000.0);

    // Every other data name that is not a callback table is a string.
    const unsigned long stringType = cf.Get<NoArgTypeIdFn>("CFStringGetTypeID")();
    int strings = 0;
    for (const char* name : kNames) {
        const std::string n = name;
        if (n.rfind("kCF", 0) != 0 || n.find("CallBacks") != std::string::npos || n.rfind("kCFAllocator", 0) == 0 ||
            n.rfind("kCFBoolean", 0) == 0 || n.rfind("kCFNumber", 0) == 0 || n.rfind("kCFAbsoluteTime", 0) == 0 ||
            n == "kCFNull")
            continue;
        EXPECT_EQ(typeOf(deref(name)), stringType) << name;
        ++strings;
    }
    // The number formatter keys are strings too.
    for (const char* name : kNames) {
        if (std::strncmp(name, "kCFNumberFormatter", 18) == 0) {
            EXPECT_EQ(typeOf(deref(name)), stringType) << name;
            ++strings;
        }
    }
    EXPECT_EQ(strings, 90);
}

TEST(CoreFoundationExports, CallbackTablesRetainAndCompareValues) {
    Library cf(L"CoreFoundation.dll");
    ASSERT_NE(cf.get(), nullptr);
    struct Callbacks { // the shape shared by the array, bag, set and dictionary tables
        long version;
        const void* (*retain)(const void*, const void*);
        void (*release)(const void*, const void*);
        const void* (*copyDescription)(const void*);
        unsigned char (*equal)(const void*, const void*);
    };
    using CreateFn = const void*(__cdecl*)(const void*, const char*, unsigned long);
    using CountFn = long(__cdecl*)(const void*);
    auto create = cf.Get<CreateFn>("CFStringCreateWithCString");
    auto count = cf.Get<CountFn>("CFGetRetainCount");
    const void* a = create(nullptr, "key", 0x08000100);
    const void* b = create(nullptr, "key", 0x08000100);
    for (const char* name : {"kCFTypeArrayCallBacks", "kCFTypeBagCallBacks", "kCFTypeSetCallBacks",
                             "kCFTypeDictionaryKeyCallBacks", "kCFTypeDictionaryValueCallBacks"}) {
        const auto* table = cf.Get<const Callbacks*>(name);
        ASSERT_NE(table, nullptr) << name;
        EXPECT_EQ(table->version, 0) << name;
        EXPECT_EQ(table->retain(nullptr, a), a) << name;
        EXPECT_EQ(count(a), 2) << name;
        table->release(nullptr, a);
        EXPECT_EQ(count(a), 1) << name;
        EXPECT_EQ(table->equal(a, b), 1) << name;
    }
    cf.Get<void(__cdecl*)(const void*)>("CFRelease")(a);
    cf.Get<void(__cdecl*)(const void*)>("CFRelease")(b);
}

// Names nothing calls answer zero in the shape their caller expects: a
// double in the floating-point register, a range in the two result
// registers.
TEST(CoreFoundationExports, UnsupportedNamesAnswerZero) {
    Library cf(L"CoreFoundation.dll");
    ASSERT_NE(cf.get(), nullptr);
    struct Range { // CFRange: two pointer-sized integers
        intptr_t location, length;
    };
    auto zone = cf.Get<const void*(__cdecl*)()>("CFTimeZoneCopySystem");
    auto seconds = cf.Get<double(__cdecl*)(const void*, double)>("CFTimeZoneGetSecondsFromGMT");
    auto range = cf.Get<Range(__cdecl*)(const void*, uintptr_t, uintptr_t, double)>("CFCalendarGetRangeOfUnit");
    ASSERT_TRUE(zone && seconds && range);
    EXPECT_EQ(zone(), nullptr);
    for (int i = 0; i < 20; ++i) // more calls than the FPU stack has slots
        EXPECT_EQ(seconds(nullptr, 1.0), 0.0);
    const Range r = range(nullptr, 1, 2, 3.0);
    EXPECT_EQ(r.location, 0);
    EXPECT_EQ(r.length, 0);
}

// The loader's tests use builds of the library that lack one name.
TEST(CoreFoundationExports, VariantsLackExactlyTheirOneName) {
    const struct {
        const wchar_t* folder;
        const char* missing;
    } variants[] = {{L"cf-missing-function", "CFAllocatorGetContext"}, {L"cf-missing-constant", "kCFBooleanTrue"}};
    for (const auto& v : variants) {
        Library cf(testutil::ProgramFolder() + L"\\variants\\" + v.folder + L"\\CoreFoundation.dll");
        ASSERT_NE(cf.get(), nullptr) << v.missing;
        int resolved = 0;
        for (const char* name : kNames)
            resolved += ::GetProcAddress(cf.get(), name) != nullptr;
        EXPECT_EQ(resolved, 572) << v.missing;
        EXPECT_EQ(::GetProcAddress(cf.get(), v.missing), nullptr) << v.missing;
    }
}

} // namespace
