// The exported data constants other than the allocators, booleans and null
// (see runtime.cpp): the collection callback tables, the special numbers and
// the named string constants of the formatters, locales, calendars,
// preferences and string transforms.
#include "cf_internal.h"

#include <limits>

namespace {

const void* RetainValue(CFAllocatorRef, const void* value) {
    cf::Retain(value);
    return value;
}

void ReleaseValue(CFAllocatorRef, const void* value) { cf::Release(value); }

// The key callback of the "copy string" tables keeps a copy of a mutable
// string key, so a later change of the caller's string does not move it.
const void* CopyStringValue(CFAllocatorRef allocator, const void* value) {
    const __CFString* s = cf::As<__CFString>(value);
    if (s && s->isMutable)
        return CFStringCreateCopy(allocator, s);
    cf::Retain(value);
    return value;
}

Boolean EqualValues(const void* a, const void* b) { return cf::Equal(a, b) ? 1 : 0; }

CFHashCode HashValue(const void* value) { return cf::Hash(value); }

CFStringRef DescribeValue(const void* value) { return CFCopyDescription(value); }

CFComparisonResult CompareStrings(const void* a, const void* b, void*) {
    return CFStringCompare(static_cast<CFStringRef>(a), static_cast<CFStringRef>(b), 0);
}

struct SpecialNumber : __CFNumber {
    explicit SpecialNumber(double value) : __CFNumber(Kind::Float64, kCFNumberFloat64Type, true) { real = value; }
};

SpecialNumber g_positiveInfinity(std::numeric_limits<double>::infinity());
SpecialNumber g_negativeInfinity(-std::numeric_limits<double>::infinity());
SpecialNumber g_notANumber(std::numeric_limits<double>::quiet_NaN());

} // namespace

const CFArrayCallBacks kCFTypeArrayCallBacks = {0, RetainValue, ReleaseValue, DescribeValue, EqualValues};
const CFBagCallBacks kCFTypeBagCallBacks = {0, RetainValue, ReleaseValue, DescribeValue, EqualValues, HashValue};
const CFBagCallBacks kCFCopyStringBagCallBacks = {0,           CopyStringValue, ReleaseValue, DescribeValue,
                                                  EqualValues, HashValue};
const CFBinaryHeapCallBacks kCFStringBinaryHeapCallBacks = {0, RetainValue, ReleaseValue, DescribeValue,
                                                            CompareStrings};
const CFDictionaryKeyCallBacks kCFTypeDictionaryKeyCallBacks = {0,           RetainValue, ReleaseValue, DescribeValue,
                                                                EqualValues, HashValue};
const CFDictionaryKeyCallBacks kCFCopyStringDictionaryKeyCallBacks = {
    0, CopyStringValue, ReleaseValue, DescribeValue, EqualValues, HashValue};
const CFDictionaryValueCallBacks kCFTypeDictionaryValueCallBacks = {0, RetainValue, ReleaseValue, DescribeValue,
                                                                    EqualValues};
const CFSetCallBacks kCFTypeSetCallBacks = {0, RetainValue, ReleaseValue, DescribeValue, EqualValues, HashValue};
const CFSetCallBacks kCFCopyStringSetCallBacks = {0,           CopyStringValue, ReleaseValue, DescribeValue,
                                                  EqualValues, HashValue};

const CFNumberRef kCFNumberPositiveInfinity = &g_positiveInfinity;
const CFNumberRef kCFNumberNegativeInfinity = &g_negativeInfinity;
const CFNumberRef kCFNumberNaN = &g_notANumber;

// Named string constants: exported name, text.
#define ORVEX_CF_STRING_CONSTANTS(X)                                                                                   \
    X(kCFDateFormatterIsLenient, "kCFDateFormatterIsLenientKey")                                                       \
    X(kCFDateFormatterTimeZone, "kCFDateFormatterTimeZoneKey")                                                         \
    X(kCFDateFormatterCalendarName, "kCFDateFormatterCalendarNameKey")                                                 \
    X(kCFDateFormatterDefaultFormat, "kCFDateFormatterDefaultFormatKey")                                               \
    X(kCFDateFormatterTwoDigitStartDate, "kCFDateFormatterTwoDigitStartDateKey")                                       \
    X(kCFDateFormatterDefaultDate, "kCFDateFormatterDefaultDateKey")                                                   \
    X(kCFDateFormatterCalendar, "kCFDateFormatterCalendarKey")                                                         \
    X(kCFDateFormatterEraSymbols, "kCFDateFormatterEraSymbolsKey")                                                     \
    X(kCFDateFormatterMonthSymbols, "kCFDateFormatterMonthSymbolsKey")                                                 \
    X(kCFDateFormatterShortMonthSymbols, "kCFDateFormatterShortMonthSymbolsKey")                                       \
    X(kCFDateFormatterWeekdaySymbols, "kCFDateFormatterWeekdaySymbolsKey")                                             \
    X(kCFDateFormatterShortWeekdaySymbols, "kCFDateFormatterShortWeekdaySymbolsKey")                                   \
    X(kCFDateFormatterAMSymbol, "kCFDateFormatterAMSymbolKey")                                                         \
    X(kCFDateFormatterPMSymbol, "kCFDateFormatterPMSymbolKey")                                                         \
    X(kCFLocaleIdentifier, "kCFLocaleIdentifierKey")                                                                   \
    X(kCFLocaleLanguageCode, "kCFLocaleLanguageCodeKey")                                                               \
    X(kCFLocaleCountryCode, "kCFLocaleCountryCodeKey")                                                                 \
    X(kCFLocaleScriptCode, "kCFLocaleScriptCodeKey")                                                                   \
    X(kCFLocaleVariantCode, "kCFLocaleVariantCodeKey")                                                                 \
    X(kCFLocaleExemplarCharacterSet, "kCFLocaleExemplarCharacterSetKey")                                               \
    X(kCFLocaleCalendarIdentifier, "kCFLocaleCalendarIdentifierKey")                                                   \
    X(kCFLocaleCalendar, "kCFLocaleCalendarKey")                                                                       \
    X(kCFLocaleCollationIdentifier, "kCFLocaleCollationIdentifierKey")                                                 \
    X(kCFLocaleUsesMetricSystem, "kCFLocaleUsesMetricSystemKey")                                                       \
    X(kCFLocaleMeasurementSystem, "kCFLocaleMeasurementSystemKey")                                                     \
    X(kCFLocaleDecimalSeparator, "kCFLocaleDecimalSeparatorKey")                                                       \
    X(kCFLocaleGroupingSeparator, "kCFLocaleGroupingSeparatorKey")                                                     \
    X(kCFLocaleCurrencySymbol, "kCFLocaleCurrencySymbolKey")                                                           \
    X(kCFLocaleCurrencyCode, "kCFLocaleCurrencyCodeKey")                                                               \
    X(kCFGregorianCalendar, "gregorian")                                                                               \
    X(kCFBuddhistCalendar, "buddhist")                                                                                 \
    X(kCFChineseCalendar, "chinese")                                                                                   \
    X(kCFHebrewCalendar, "hebrew")                                                                                     \
    X(kCFIslamicCalendar, "islamic")                                                                                   \
    X(kCFIslamicCivilCalendar, "islamic-civil")                                                                        \
    X(kCFJapaneseCalendar, "japanese")                                                                                 \
    X(kCFNumberFormatterCurrencyCode, "kCFNumberFormatterCurrencyCodeKey")                                             \
    X(kCFNumberFormatterDecimalSeparator, "kCFNumberFormatterDecimalSeparatorKey")                                     \
    X(kCFNumberFormatterCurrencyDecimalSeparator, "kCFNumberFormatterCurrencyDecimalSeparatorKey")                     \
    X(kCFNumberFormatterAlwaysShowDecimalSeparator, "kCFNumberFormatterAlwaysShowDecimalSeparatorKey")                 \
    X(kCFNumberFormatterGroupingSeparator, "kCFNumberFormatterGroupingSeparatorKey")                                   \
    X(kCFNumberFormatterUseGroupingSeparator, "kCFNumberFormatterUseGroupingSeparatorKey")                             \
    X(kCFNumberFormatterPercentSymbol, "kCFNumberFormatterPercentSymbolKey")                                           \
    X(kCFNumberFormatterZeroSymbol, "kCFNumberFormatterZeroSymbolKey")                                                 \
    X(kCFNumberFormatterNaNSymbol, "kCFNumberFormatterNaNSymbolKey")                                                   \
    X(kCFNumberFormatterInfinitySymbol, "kCFNumberFormatterInfinitySymbolKey")                                         \
    X(kCFNumberFormatterMinusSign, "kCFNumberFormatterMinusSignKey")                                                   \
    X(kCFNumberFormatterPlusSign, "kCFNumberFormatterPlusSignKey")                                                     \
    X(kCFNumberFormatterCurrencySymbol, "kCFNumberFormatterCurrencySymbolKey")                                         \
    X(kCFNumberFormatterExponentSymbol, "kCFNumberFormatterExponentSymbolKey")                                         \
    X(kCFNumberFormatterMinIntegerDigits, "kCFNumberFormatterMinIntegerDigitsKey")                                     \
    X(kCFNumberFormatterMaxIntegerDigits, "kCFNumberFormatterMaxIntegerDigitsKey")                                     \
    X(kCFNumberFormatterMinFractionDigits, "kCFNumberFormatterMinFractionDigitsKey")                                   \
    X(kCFNumberFormatterMaxFractionDigits, "kCFNumberFormatterMaxFractionDigitsKey")                                   \
    X(kCFNumberFormatterGroupingSize, "kCFNumberFormatterGroupingSizeKey")                                             \
    X(kCFNumberFormatterSecondaryGroupingSize, "kCFNumberFormatterSecondaryGroupingSizeKey")                           \
    X(kCFNumberFormatterRoundingMode, "kCFNumberFormatterRoundingModeKey")                                             \
    X(kCFNumberFormatterRoundingIncrement, "kCFNumberFormatterRoundingIncrementKey")                                   \
    X(kCFNumberFormatterFormatWidth, "kCFNumberFormatterFormatWidthKey")                                               \
    X(kCFNumberFormatterPaddingPosition, "kCFNumberFormatterPaddingPositionKey")                                       \
    X(kCFNumberFormatterPaddingCharacter, "kCFNumberFormatterPaddingCharacterKey")                                     \
    X(kCFNumberFormatterDefaultFormat, "kCFNumberFormatterDefaultFormatKey")                                           \
    X(kCFNumberFormatterMultiplier, "kCFNumberFormatterMultiplierKey")                                                 \
    X(kCFNumberFormatterPositivePrefix, "kCFNumberFormatterPositivePrefixKey")                                         \
    X(kCFNumberFormatterPositiveSuffix, "kCFNumberFormatterPositiveSuffixKey")                                         \
    X(kCFNumberFormatterNegativePrefix, "kCFNumberFormatterNegativePrefixKey")                                         \
    X(kCFNumberFormatterNegativeSuffix, "kCFNumberFormatterNegativeSuffixKey")                                         \
    X(kCFNumberFormatterPerMillSymbol, "kCFNumberFormatterPerMillSymbolKey")                                           \
    X(kCFNumberFormatterInternationalCurrencySymbol, "kCFNumberFormatterInternationalCurrencySymbolKey")               \
    X(kCFPreferencesAnyApplication, "kCFPreferencesAnyApplication")                                                    \
    X(kCFPreferencesCurrentApplication, "kCFPreferencesCurrentApplication")                                            \
    X(kCFPreferencesAnyHost, "kCFPreferencesAnyHost")                                                                  \
    X(kCFPreferencesCurrentHost, "kCFPreferencesCurrentHost")                                                          \
    X(kCFPreferencesAnyUser, "kCFPreferencesAnyUser")                                                                  \
    X(kCFPreferencesCurrentUser, "kCFPreferencesCurrentUser")                                                          \
    X(kCFStringTransformStripCombiningMarks, "NFD; [:nonspacing mark:]Remove; NFC")                                    \
    X(kCFStringTransformToLatin, "Any-Latin")                                                                          \
    X(kCFStringTransformFullwidthHalfwidth, "Fullwidth-Halfwidth")                                                     \
    X(kCFStringTransformLatinKatakana, "Latin-Katakana")                                                               \
    X(kCFStringTransformLatinHiragana, "Latin-Hiragana")                                                               \
    X(kCFStringTransformHiraganaKatakana, "Hiragana-Katakana")                                                         \
    X(kCFStringTransformMandarinLatin, "Mandarin-Latin")                                                               \
    X(kCFStringTransformLatinHangul, "Latin-Hangul")                                                                   \
    X(kCFStringTransformLatinArabic, "Latin-Arabic")                                                                   \
    X(kCFStringTransformLatinHebrew, "Latin-Hebrew")                                                                   \
    X(kCFStringTransformLatinThai, "Latin-Thai")                                                                       \
    X(kCFStringTransformLatinCyrillic, "Latin-Cyrillic")                                                               \
    X(kCFStringTransformLatinGreek, "Latin-Greek")                                                                     \
    X(kCFStringTransformToXMLHex, "Any-Hex/XML")                                                                       \
    X(kCFStringTransformToUnicodeName, "Any-Name")

#define ORVEX_DEFINE_STRING_CONSTANT(name, text)                                                                       \
    static __CFString g_##name(u"" text, false, true);                                                                 \
    extern "C" const CFStringRef name;                                                                                 \
    const CFStringRef name = &g_##name;
ORVEX_CF_STRING_CONSTANTS(ORVEX_DEFINE_STRING_CONSTANT)
#undef ORVEX_DEFINE_STRING_CONSTANT
