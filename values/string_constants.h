// The value library's named string constants (the keys and names of the
// formatters, locales, calendars, preferences and string transforms),
// declared for constants.cpp, which defines them, and lookup.cpp.
#pragma once

#include "values/CoreFoundation.h"

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

#define ORVEX_DECLARE_STRING_CONSTANT(name, text) extern "C" const CFStringRef name;
ORVEX_CF_STRING_CONSTANTS(ORVEX_DECLARE_STRING_CONSTANT)
#undef ORVEX_DECLARE_STRING_CONSTANT
