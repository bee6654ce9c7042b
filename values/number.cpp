// Numbers. A number keeps the canonical type it was made with (on this
// 32-bit platform: int, long, CFIndex and NSInteger are SInt32, long long
// is SInt64, float and CGFloat are Float32, double is Float64).
// CFNumberGetValue converts like the vendor's library: the value is clamped
// to the range of the asked type (an unsigned value beyond INT64_MAX gives
// its low 64 bits), and the result tells whether it came through unchanged.
#include "cf_internal.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

namespace {

constexpr CFNumberType kCanonical[17] = {0, 1, 2, 3, 4, 5, 6, 1, 2, 3, 3, 4, 5, 6, 3, 3, 5};
constexpr CFIndex kCanonicalSize[7] = {0, 1, 2, 4, 8, 4, 8};

CFNumberType Canonical(CFNumberType type) { return type >= 1 && type <= 16 ? kCanonical[type] : 0; }

template <typename D> bool StoreInteger(int64_t v, bool exact, void* out) {
    constexpr int64_t lo = std::numeric_limits<D>::min();
    constexpr int64_t hi = std::numeric_limits<D>::max();
    D d = static_cast<D>(v < lo ? lo : (v > hi ? hi : v));
    std::memcpy(out, &d, sizeof d);
    return exact && static_cast<int64_t>(d) == v;
}

// A real to an integer type: truncated toward zero, clamped to the range.
template <typename D> bool StoreRealAsInteger(double v, void* out) {
    constexpr D lo = std::numeric_limits<D>::min();
    constexpr D hi = std::numeric_limits<D>::max();
    D d;
    if (std::isnan(v))
        d = 0;
    else if (v <= static_cast<double>(lo))
        d = lo;
    else if (v >= static_cast<double>(hi))
        d = hi;
    else
        d = static_cast<D>(v);
    std::memcpy(out, &d, sizeof d);
    return !std::isnan(v) && static_cast<long double>(d) == static_cast<long double>(v);
}

template <typename D> bool StoreReal(long double v, bool exact, void* out) {
    D d = static_cast<D>(v);
    std::memcpy(out, &d, sizeof d);
    if (std::isnan(v))
        return exact;
    return exact && static_cast<long double>(d) == v;
}

bool GetInto(const __CFNumber& n, CFNumberType canonical, void* out) {
    if (n.IsFloat()) {
        switch (canonical) {
        case 1:
            return StoreRealAsInteger<int8_t>(n.real, out);
        case 2:
            return StoreRealAsInteger<int16_t>(n.real, out);
        case 3:
            return StoreRealAsInteger<int32_t>(n.real, out);
        case 4:
            return StoreRealAsInteger<int64_t>(n.real, out);
        case 5:
            return StoreReal<float>(n.real, true, out);
        case 6:
            return StoreReal<double>(n.real, true, out);
        }
        return false;
    }
    const bool big = n.kind == __CFNumber::Kind::BigUnsigned;
    const int64_t v = big ? static_cast<int64_t>(n.big) : n.integer;
    const long double exactValue = big ? static_cast<long double>(n.big) : static_cast<long double>(n.integer);
    switch (canonical) {
    case 1:
        return StoreInteger<int8_t>(v, !big, out);
    case 2:
        return StoreInteger<int16_t>(v, !big, out);
    case 3:
        return StoreInteger<int32_t>(v, !big, out);
    case 4:
        return StoreInteger<int64_t>(v, !big, out);
    case 5:
        return StoreReal<float>(exactValue, true, out);
    case 6:
        return StoreReal<double>(exactValue, true, out);
    }
    return false;
}

// Exact value for comparisons: long double holds every 64-bit integer.
long double ExactValue(const __CFNumber& n) {
    if (n.IsFloat())
        return n.real;
    return n.kind == __CFNumber::Kind::BigUnsigned ? static_cast<long double>(n.big)
                                                   : static_cast<long double>(n.integer);
}

CFComparisonResult CompareNumbers(const __CFNumber& a, const __CFNumber& b) {
    const bool aNan = a.IsFloat() && std::isnan(a.real);
    const bool bNan = b.IsFloat() && std::isnan(b.real);
    if (aNan || bNan)
        return aNan && bNan ? kCFCompareEqualTo : (aNan ? kCFCompareLessThan : kCFCompareGreaterThan);
    const long double x = ExactValue(a);
    const long double y = ExactValue(b);
    return x < y ? kCFCompareLessThan : (x > y ? kCFCompareGreaterThan : kCFCompareEqualTo);
}

CFHashCode HashUInt64(uint64_t v) {
    v ^= v >> 33;
    v *= 0xff51afd7ed558ccdULL;
    v ^= v >> 33;
    return static_cast<CFHashCode>(v);
}

} // namespace

bool __CFNumber::Equals(const Object& other) const {
    return CompareNumbers(*this, static_cast<const __CFNumber&>(other)) == kCFCompareEqualTo;
}

CFHashCode __CFNumber::Hash() const {
    // Equal numbers hash alike, whatever their type: integral reals hash as
    // the integer they hold.
    if (kind == Kind::BigUnsigned)
        return HashUInt64(big);
    if (!IsFloat())
        return HashUInt64(static_cast<uint64_t>(integer));
    if (std::isnan(real))
        return 0x7ff8;
    if (real == std::trunc(real) && real >= -9223372036854775808.0 && real < 9223372036854775808.0)
        return HashUInt64(static_cast<uint64_t>(static_cast<int64_t>(real)));
    if (real == std::trunc(real) && real >= 0 && real < 18446744073709551616.0)
        return HashUInt64(static_cast<uint64_t>(real));
    uint64_t bits;
    std::memcpy(&bits, &real, sizeof bits);
    return HashUInt64(bits);
}

std::u16string __CFNumber::Describe() const {
    char buffer[64];
    std::to_chars_result r{};
    if (kind == Kind::BigUnsigned)
        r = std::to_chars(buffer, buffer + sizeof buffer, big);
    else if (!IsFloat())
        r = std::to_chars(buffer, buffer + sizeof buffer, integer);
    else if (std::isnan(real))
        return u"nan";
    else if (std::isinf(real))
        return real > 0 ? u"+infinity" : u"-infinity";
    else
        r = std::to_chars(buffer, buffer + sizeof buffer, real);
    return cf::FromAscii(std::string(buffer, r.ptr).c_str());
}

namespace cf {

__CFNumber* NewInteger(int64_t value) {
    auto* n = new __CFNumber(__CFNumber::Kind::Integer, kCFNumberSInt64Type);
    n->integer = value;
    return n;
}

__CFNumber* NewUnsigned(uint64_t value) {
    if (value <= static_cast<uint64_t>(std::numeric_limits<int64_t>::max()))
        return NewInteger(static_cast<int64_t>(value));
    auto* n = new __CFNumber(__CFNumber::Kind::BigUnsigned, kCFNumberSInt64Type);
    n->big = value;
    return n;
}

__CFNumber* NewReal(double value) {
    auto* n = new __CFNumber(__CFNumber::Kind::Float64, kCFNumberFloat64Type);
    n->real = value;
    return n;
}

} // namespace cf

CFTypeID CFNumberGetTypeID() { return cf::kTypeIdNumber; }

CFNumberRef CFNumberCreate(CFAllocatorRef, CFNumberType theType, const void* valuePtr) {
    const CFNumberType canonical = Canonical(theType);
    if (!canonical || !valuePtr)
        return nullptr;
    return cf::Guard<CFNumberRef>(nullptr, [&]() -> CFNumberRef {
        const auto* p = static_cast<const uint8_t*>(valuePtr);
        switch (canonical) {
        case 1: {
            int8_t v;
            std::memcpy(&v, p, sizeof v);
            auto* n = new __CFNumber(__CFNumber::Kind::Integer, canonical);
            n->integer = v;
            return n;
        }
        case 2: {
            int16_t v;
            std::memcpy(&v, p, sizeof v);
            auto* n = new __CFNumber(__CFNumber::Kind::Integer, canonical);
            n->integer = v;
            return n;
        }
        case 3: {
            int32_t v;
            std::memcpy(&v, p, sizeof v);
            auto* n = new __CFNumber(__CFNumber::Kind::Integer, canonical);
            n->integer = v;
            return n;
        }
        case 4: {
            int64_t v;
            std::memcpy(&v, p, sizeof v);
            return cf::NewInteger(v);
        }
        case 5: {
            float v;
            std::memcpy(&v, p, sizeof v);
            auto* n = new __CFNumber(__CFNumber::Kind::Float32, canonical);
            n->real = v;
            return n;
        }
        default: {
            double v;
            std::memcpy(&v, p, sizeof v);
            return cf::NewReal(v);
        }
        }
    });
}

CFNumberType CFNumberGetType(CFNumberRef number) {
    const __CFNumber* n = cf::As<__CFNumber>(number);
    return n ? n->type : 0;
}

CFIndex CFNumberGetByteSize(CFNumberRef number) {
    const __CFNumber* n = cf::As<__CFNumber>(number);
    return n ? kCanonicalSize[n->type] : 0;
}

Boolean CFNumberIsFloatType(CFNumberRef number) {
    const __CFNumber* n = cf::As<__CFNumber>(number);
    return n && n->IsFloat() ? 1 : 0;
}

Boolean CFNumberGetValue(CFNumberRef number, CFNumberType theType, void* valuePtr) {
    const __CFNumber* n = cf::As<__CFNumber>(number);
    const CFNumberType canonical = Canonical(theType);
    if (!n || !canonical || !valuePtr)
        return 0;
    return GetInto(*n, canonical, valuePtr) ? 1 : 0;
}

CFComparisonResult CFNumberCompare(CFNumberRef number, CFNumberRef otherNumber, void*) {
    const __CFNumber* a = cf::As<__CFNumber>(number);
    const __CFNumber* b = cf::As<__CFNumber>(otherNumber);
    if (!a || !b)
        return a ? kCFCompareGreaterThan : (b ? kCFCompareLessThan : kCFCompareEqualTo);
    return CompareNumbers(*a, *b);
}
