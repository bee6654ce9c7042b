// Data (immutable and mutable byte buffers) and dates.
#include "cf_internal.h"
#include "plist/plist.h"

#include <windows.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace {

using cf::As;
using cf::Guard;
using cf::GuardVoid;

uint8_t g_emptyBytes[1] = {0}; // what an empty value's byte pointer shows

__CFData* MutableData(CFMutableDataRef d) {
    __CFData* data = cf::AsMutable<__CFData>(d);
    return data && data->isMutable ? data : nullptr;
}

} // namespace

__CFData::__CFData(const uint8_t* caller, size_t length, CFAllocatorRef deallocator)
    : Object(kTypeId, false), isMutable(false), external(caller), externalLength(length),
      externalDeallocator(deallocator) {
    cf::Retain(deallocator);
}

__CFData::~__CFData() {
    if (external) {
        cf::DeallocateWith(externalDeallocator, const_cast<uint8_t*>(external));
        cf::Release(externalDeallocator);
    }
}

bool __CFData::Equals(const Object& other) const {
    const auto& o = static_cast<const __CFData&>(other);
    return Size() == o.Size() && (Size() == 0 || std::memcmp(Bytes(), o.Bytes(), Size()) == 0);
}

CFHashCode __CFData::Hash() const {
    uint32_t h = 2166136261u;
    const uint8_t* p = Bytes();
    const size_t n = std::min<size_t>(Size(), 80); // as the vendor's: a prefix is enough
    for (size_t i = 0; i < n; ++i) {
        h ^= p[i];
        h *= 16777619u;
    }
    return h ^ static_cast<uint32_t>(Size());
}

std::u16string __CFData::Describe() const {
    std::u16string text = u"<";
    static const char16_t hex[] = u"0123456789abcdef";
    const uint8_t* p = Bytes();
    for (size_t i = 0; i < Size() && i < 1024; ++i) {
        if (i && i % 4 == 0)
            text += u' ';
        text += hex[p[i] >> 4];
        text += hex[p[i] & 15];
    }
    return text + (Size() > 1024 ? u" ...>" : u">");
}

CFTypeID CFDataGetTypeID() { return cf::kTypeIdData; }

CFDataRef CFDataCreate(CFAllocatorRef, const uint8_t* bytes, CFIndex length) {
    if (length < 0 || (!bytes && length > 0))
        return nullptr;
    return Guard<CFDataRef>(nullptr, [&] { return new __CFData(std::vector<uint8_t>(bytes, bytes + length), false); });
}

CFDataRef CFDataCreateWithBytesNoCopy(CFAllocatorRef allocator, const uint8_t* bytes, CFIndex length,
                                      CFAllocatorRef bytesDeallocator) {
    if (length <= 0 || !bytes) {
        CFDataRef d = CFDataCreate(allocator, bytes, length);
        if (d)
            cf::DeallocateWith(bytesDeallocator, const_cast<uint8_t*>(bytes));
        return d;
    }
    return Guard<CFDataRef>(nullptr,
                            [&] { return new __CFData(bytes, static_cast<size_t>(length), bytesDeallocator); });
}

CFDataRef CFDataCreateCopy(CFAllocatorRef allocator, CFDataRef theData) {
    const __CFData* d = As<__CFData>(theData);
    if (!d)
        return nullptr;
    if (!d->isMutable) {
        cf::Retain(d);
        return d;
    }
    return CFDataCreate(allocator, d->Bytes(), static_cast<CFIndex>(d->Size()));
}

CFMutableDataRef CFDataCreateMutable(CFAllocatorRef, CFIndex capacity) {
    if (capacity < 0)
        return nullptr;
    return Guard<CFMutableDataRef>(nullptr, [&] {
        auto* d = new __CFData(std::vector<uint8_t>(), true);
        d->capacity = capacity;
        return d;
    });
}

CFMutableDataRef CFDataCreateMutableCopy(CFAllocatorRef, CFIndex capacity, CFDataRef theData) {
    const __CFData* d = As<__CFData>(theData);
    if (!d || capacity < 0 || (capacity && static_cast<size_t>(capacity) < d->Size()))
        return nullptr;
    return Guard<CFMutableDataRef>(nullptr, [&] {
        auto* copy = new __CFData(std::vector<uint8_t>(d->Bytes(), d->Bytes() + d->Size()), true);
        copy->capacity = capacity;
        return copy;
    });
}

CFIndex CFDataGetLength(CFDataRef theData) {
    const __CFData* d = As<__CFData>(theData);
    return d ? static_cast<CFIndex>(d->Size()) : 0;
}

const uint8_t* CFDataGetBytePtr(CFDataRef theData) {
    const __CFData* d = As<__CFData>(theData);
    if (!d)
        return nullptr;
    return d->Size() == 0 ? g_emptyBytes : d->Bytes();
}

uint8_t* CFDataGetMutableBytePtr(CFMutableDataRef theData) {
    __CFData* d = MutableData(theData);
    if (!d)
        return nullptr;
    return d->bytes.empty() ? g_emptyBytes : d->bytes.data();
}

void CFDataGetBytes(CFDataRef theData, CFRange range, uint8_t* buffer) {
    const __CFData* d = As<__CFData>(theData);
    if (!d || !buffer || !cf::RangeFits(range, static_cast<CFIndex>(d->Size())))
        return;
    std::memcpy(buffer, d->Bytes() + range.location, static_cast<size_t>(range.length));
}

void CFDataSetLength(CFMutableDataRef theData, CFIndex length) {
    __CFData* d = MutableData(theData);
    if (!d || length < 0 || (d->capacity && length > d->capacity))
        return;
    GuardVoid([&] { d->bytes.resize(static_cast<size_t>(length), 0); });
}

void CFDataIncreaseLength(CFMutableDataRef theData, CFIndex extraLength) {
    const CFIndex length = CFDataGetLength(theData);
    if (extraLength > 0 && extraLength <= 0x7FFFFFFF - length)
        CFDataSetLength(theData, length + extraLength);
}

void CFDataReplaceBytes(CFMutableDataRef theData, CFRange range, const uint8_t* newBytes, CFIndex newLength) {
    __CFData* d = MutableData(theData);
    if (!d || newLength < 0 || (!newBytes && newLength > 0) ||
        !cf::RangeFits(range, static_cast<CFIndex>(d->bytes.size())))
        return;
    const size_t finalSize = d->bytes.size() - static_cast<size_t>(range.length) + static_cast<size_t>(newLength);
    if (d->capacity && finalSize > static_cast<size_t>(d->capacity))
        return;
    GuardVoid([&] {
        std::vector<uint8_t> replacement(newBytes, newBytes + newLength); // newBytes may point into d
        d->bytes.erase(d->bytes.begin() + range.location, d->bytes.begin() + range.location + range.length);
        d->bytes.insert(d->bytes.begin() + range.location, replacement.begin(), replacement.end());
    });
}

void CFDataAppendBytes(CFMutableDataRef theData, const uint8_t* bytes, CFIndex length) {
    CFDataReplaceBytes(theData, CFRange{CFDataGetLength(theData), 0}, bytes, length);
}

void CFDataDeleteBytes(CFMutableDataRef theData, CFRange range) { CFDataReplaceBytes(theData, range, nullptr, 0); }

CFRange CFDataFind(CFDataRef theData, CFDataRef dataToFind, CFRange searchRange, CFOptionFlags compareOptions) {
    const __CFData* hay = As<__CFData>(theData);
    const __CFData* needle = As<__CFData>(dataToFind);
    const CFRange none{kCFNotFound, 0};
    if (!hay || !needle || needle->Size() == 0 || !cf::RangeFits(searchRange, static_cast<CFIndex>(hay->Size())) ||
        static_cast<size_t>(searchRange.length) < needle->Size())
        return none;
    const bool backwards = (compareOptions & 1) != 0;
    const bool anchored = (compareOptions & 2) != 0;
    const size_t n = needle->Size();
    const size_t first = static_cast<size_t>(searchRange.location);
    const size_t last = first + static_cast<size_t>(searchRange.length) - n;
    for (size_t k = 0; k <= last - first; ++k) {
        const size_t at = backwards ? last - k : first + k;
        if (std::memcmp(hay->Bytes() + at, needle->Bytes(), n) == 0)
            return CFRange{static_cast<CFIndex>(at), static_cast<CFIndex>(n)};
        if (anchored)
            break;
    }
    return none;
}

// ---- dates --------------------------------------------------------------------------------

bool __CFDate::Equals(const Object& other) const {
    const double o = static_cast<const __CFDate&>(other).at;
    return at == o || (std::isnan(at) && std::isnan(o));
}

CFHashCode __CFDate::Hash() const {
    if (!(at > -1e15 && at < 1e15))
        return 0;
    return static_cast<CFHashCode>(static_cast<int64_t>(at));
}

std::u16string __CFDate::Describe() const { return cf::FromAscii(plist::FormatDate(at).c_str()); }

CFAbsoluteTime CFAbsoluteTimeGetCurrent() {
    FILETIME ft;
    ::GetSystemTimeAsFileTime(&ft);
    const uint64_t ticks = (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    // 100 ns ticks since 1601-01-01; 2001-01-01 is 12622780800 s later.
    return static_cast<double>(ticks) / 1e7 - 12622780800.0;
}

CFTypeID CFDateGetTypeID() { return cf::kTypeIdDate; }

CFDateRef CFDateCreate(CFAllocatorRef, CFAbsoluteTime at) {
    return Guard<CFDateRef>(nullptr, [&] { return new __CFDate(at); });
}

CFAbsoluteTime CFDateGetAbsoluteTime(CFDateRef theDate) {
    const __CFDate* d = As<__CFDate>(theDate);
    return d ? d->at : 0.0;
}

CFTimeInterval CFDateGetTimeIntervalSinceDate(CFDateRef theDate, CFDateRef otherDate) {
    return CFDateGetAbsoluteTime(theDate) - CFDateGetAbsoluteTime(otherDate);
}

CFComparisonResult CFDateCompare(CFDateRef theDate, CFDateRef otherDate, void*) {
    const double a = CFDateGetAbsoluteTime(theDate), b = CFDateGetAbsoluteTime(otherDate);
    return a < b ? kCFCompareLessThan : (a > b ? kCFCompareGreaterThan : kCFCompareEqualTo);
}

Boolean CFGregorianDateIsValid(CFGregorianDate gdate, CFOptionFlags unitFlags) {
    static const int kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if ((unitFlags & 2) && (gdate.month < 1 || gdate.month > 12))
        return 0;
    if (unitFlags & 4) {
        if (gdate.day < 1 || gdate.month < 1 || gdate.month > 12 || gdate.day > kDays[gdate.month - 1])
            return 0;
        const bool leap = (gdate.year % 4 == 0 && gdate.year % 100 != 0) || gdate.year % 400 == 0;
        if (gdate.month == 2 && gdate.day == 29 && !leap)
            return 0;
    }
    if ((unitFlags & 8) && (gdate.hour < 0 || gdate.hour > 23))
        return 0;
    if ((unitFlags & 16) && (gdate.minute < 0 || gdate.minute > 59))
        return 0;
    if ((unitFlags & 32) && !(gdate.second >= 0 && gdate.second < 60))
        return 0;
    return 1;
}

CFAbsoluteTime CFGregorianDateGetAbsoluteTime(CFGregorianDate gdate, CFTimeZoneRef) {
    // Months out of range roll into the neighbouring years, as the vendor's do.
    int64_t year = gdate.year;
    int64_t month = gdate.month - 1;
    year += month >= 0 ? month / 12 : -((11 - month) / 12);
    month = ((month % 12) + 12) % 12;
    const int64_t days = cf::DaysFromCivil(year, static_cast<unsigned>(month + 1), 1) + gdate.day - 1;
    return static_cast<double>(days) * 86400.0 + gdate.hour * 3600.0 + gdate.minute * 60.0 + gdate.second -
           kCFAbsoluteTimeIntervalSince1970;
}

CFGregorianDate CFAbsoluteTimeGetGregorianDate(CFAbsoluteTime at, CFTimeZoneRef) {
    CFGregorianDate g{};
    double t = at + kCFAbsoluteTimeIntervalSince1970;
    if (!(t > -1e15 && t < 1e15))
        return g;
    const double dayStart = std::floor(t / 86400.0);
    double rem = t - dayStart * 86400.0;
    int64_t y;
    unsigned m, d;
    cf::CivilFromDays(static_cast<int64_t>(dayStart), &y, &m, &d);
    g.year = static_cast<int32_t>(y);
    g.month = static_cast<int8_t>(m);
    g.day = static_cast<int8_t>(d);
    g.hour = static_cast<int8_t>(rem / 3600);
    rem -= g.hour * 3600.0;
    g.minute = static_cast<int8_t>(rem / 60);
    g.second = rem - g.minute * 60.0;
    return g;
}

int32_t CFAbsoluteTimeGetDayOfWeek(CFAbsoluteTime at, CFTimeZoneRef) {
    // 2001-01-01 was a Monday (1); Sunday is 7.
    const int64_t days = static_cast<int64_t>(std::floor(at / 86400.0));
    return static_cast<int32_t>(((days % 7) + 7) % 7 + 1);
}

int32_t CFAbsoluteTimeGetDayOfYear(CFAbsoluteTime at, CFTimeZoneRef tz) {
    const CFGregorianDate g = CFAbsoluteTimeGetGregorianDate(at, tz);
    const int64_t start = cf::DaysFromCivil(g.year, 1, 1);
    const int64_t day = cf::DaysFromCivil(g.year, static_cast<unsigned>(g.month), static_cast<unsigned>(g.day));
    return static_cast<int32_t>(day - start + 1);
}
