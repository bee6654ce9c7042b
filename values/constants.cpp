// The exported data constants other than the allocators, booleans and null
// (see runtime.cpp): the collection callback tables, the special numbers and
// the named string constants of the formatters, locales, calendars,
// preferences and string transforms.
#include "cf_internal.h"
#include "values/string_constants.h"

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

#define ORVEX_DEFINE_STRING_CONSTANT(name, text)                                                                       \
    static __CFString g_##name(u"" text, false, true);                                                                 \
    const CFStringRef name = &g_##name;
ORVEX_CF_STRING_CONSTANTS(ORVEX_DEFINE_STRING_CONSTANT)
#undef ORVEX_DEFINE_STRING_CONSTANT
