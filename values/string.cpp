// Strings: UTF-16 text, with an 8-bit copy kept while the text is ASCII so
// CFStringGetCStringPtr can answer without converting.
#include "cf_internal.h"
#include "plist/plist.h"

#include <windows.h>

#include <algorithm>
#include <charconv>
#include <climits>
#include <cstring>
#include <mutex>
#include <new>
#include <string_view>
#include <unordered_map>

__CFString::__CFString(std::u16string text, bool isMutableString, bool isImmortal)
    : Object(kTypeId, isImmortal), units(std::move(text)), isMutable(isMutableString) {
    Changed();
}

__CFString::~__CFString() { delete[] m_ascii.load(std::memory_order_acquire); }

void __CFString::Changed() {
    isAscii = std::all_of(units.begin(), units.end(), [](char16_t u) { return u < 0x80; });
    // Only mutable strings change, and they are not shared between threads.
    delete[] m_ascii.exchange(nullptr, std::memory_order_acq_rel);
}

const char* __CFString::AsciiText() const {
    if (!isAscii)
        return nullptr;
    if (char* made = m_ascii.load(std::memory_order_acquire))
        return made;
    char* text = new (std::nothrow) char[units.size() + 1];
    if (!text)
        return nullptr;
    for (size_t i = 0; i < units.size(); ++i)
        text[i] = static_cast<char>(units[i]);
    text[units.size()] = 0;
    // Two threads may race to make it: the first one's copy stays.
    char* expected = nullptr;
    if (!m_ascii.compare_exchange_strong(expected, text, std::memory_order_acq_rel)) {
        delete[] text;
        return expected;
    }
    return text;
}

bool __CFString::Equals(const Object& other) const { return units == static_cast<const __CFString&>(other).units; }

CFHashCode __CFString::Hash() const {
    uint32_t h = 2166136261u ^ cf::HashSeed();
    for (char16_t u : units) {
        h ^= u;
        h *= 16777619u;
    }
    return h;
}

namespace cf {

__CFString* NewString(std::u16string text, bool isMutable) { return new __CFString(std::move(text), isMutable); }

} // namespace cf

namespace {

using cf::As;
using cf::AsMutable;
using cf::Guard;
using cf::GuardVoid;

__CFString* Mutable(CFMutableStringRef s) {
    __CFString* str = AsMutable<__CFString>(s);
    return str && str->isMutable ? str : nullptr;
}

// Windows-1252 for 0x80..0x9F; the rest of the range is Latin-1.
const char16_t kWindows1252High[32] = {0x20AC, 0xFFFD, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                       0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0xFFFD, 0x017D, 0xFFFD,
                                       0xFFFD, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                       0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0xFFFD, 0x017E, 0x0178};

enum class Family { Utf8, Ascii, Latin1, Windows1252, Utf16, Utf32, Unsupported };

Family FamilyOf(CFStringEncoding e, bool* bigEndian, bool* hostDefault) {
    *bigEndian = false;
    *hostDefault = false;
    switch (e) {
    case kCFStringEncodingUTF8:
        return Family::Utf8;
    case kCFStringEncodingASCII:
    case kCFStringEncodingMacRoman:
    case kCFStringEncodingNextStepLatin:
        return Family::Ascii; // their ASCII half only
    case kCFStringEncodingISOLatin1:
        return Family::Latin1;
    case kCFStringEncodingWindowsLatin1:
        return Family::Windows1252;
    case kCFStringEncodingUnicode:
        *hostDefault = true;
        return Family::Utf16;
    case kCFStringEncodingUTF16BE:
        *bigEndian = true;
        return Family::Utf16;
    case kCFStringEncodingUTF16LE:
        return Family::Utf16;
    case kCFStringEncodingUTF32:
        *hostDefault = true;
        return Family::Utf32;
    case kCFStringEncodingUTF32BE:
        *bigEndian = true;
        return Family::Utf32;
    case kCFStringEncodingUTF32LE:
        return Family::Utf32;
    }
    return Family::Unsupported;
}

// Decodes bytes of an encoding into UTF-16. False for bytes the encoding
// cannot hold or an encoding the stand-in does not know.
bool Decode(const uint8_t* bytes, size_t n, CFStringEncoding encoding, bool external, std::u16string* out) {
    bool be, hostDefault;
    switch (FamilyOf(encoding, &be, &hostDefault)) {
    case Family::Utf8:
        if (external && n >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF) {
            bytes += 3;
            n -= 3;
        }
        return cf::DecodeUtf8(bytes, n, out);
    case Family::Ascii:
        for (size_t i = 0; i < n; ++i) {
            if (bytes[i] >= 0x80)
                return false;
            out->push_back(bytes[i]);
        }
        return true;
    case Family::Latin1:
        for (size_t i = 0; i < n; ++i)
            out->push_back(bytes[i]);
        return true;
    case Family::Windows1252:
        for (size_t i = 0; i < n; ++i)
            out->push_back(bytes[i] >= 0x80 && bytes[i] < 0xA0 ? kWindows1252High[bytes[i] - 0x80] : bytes[i]);
        return true;
    case Family::Utf16: {
        if (n % 2)
            return false;
        if (hostDefault) {
            be = external;
            if (n >= 2 && ((bytes[0] == 0xFE && bytes[1] == 0xFF) || (bytes[0] == 0xFF && bytes[1] == 0xFE))) {
                be = bytes[0] == 0xFE;
                bytes += 2;
                n -= 2;
            }
        }
        out->reserve(out->size() + n / 2);
        for (size_t i = 0; i < n; i += 2)
            out->push_back(be ? static_cast<char16_t>(bytes[i] << 8 | bytes[i + 1])
                              : static_cast<char16_t>(bytes[i + 1] << 8 | bytes[i]));
        return true;
    }
    case Family::Utf32: {
        if (n % 4)
            return false;
        if (hostDefault) {
            be = external;
            if (n >= 4 && bytes[0] == 0 && bytes[1] == 0 && bytes[2] == 0xFE && bytes[3] == 0xFF) {
                be = true;
                bytes += 4;
                n -= 4;
            } else if (n >= 4 && bytes[0] == 0xFF && bytes[1] == 0xFE && bytes[2] == 0 && bytes[3] == 0) {
                be = false;
                bytes += 4;
                n -= 4;
            }
        }
        for (size_t i = 0; i < n; i += 4) {
            uint32_t cp = be ? (uint32_t(bytes[i]) << 24 | uint32_t(bytes[i + 1]) << 16 | uint32_t(bytes[i + 2]) << 8 |
                                bytes[i + 3])
                             : (uint32_t(bytes[i + 3]) << 24 | uint32_t(bytes[i + 2]) << 16 |
                                uint32_t(bytes[i + 1]) << 8 | bytes[i]);
            if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
                return false;
            plist::AppendUtf16(static_cast<char32_t>(cp), out);
        }
        return true;
    }
    case Family::Unsupported:
        break;
    }
    return false;
}

// Encodes units [begin, end) into `buffer` (or only measures when it is
// null). Stops before a character that does not fit or cannot be encoded
// (unless lossByte stands in for it). Returns the number of units done.
CFIndex Encode(const std::u16string& units, CFIndex begin, CFIndex end, CFStringEncoding encoding, uint8_t lossByte,
               bool external, uint8_t* buffer, CFIndex maxLen, CFIndex* used) {
    bool be, hostDefault;
    const Family family = FamilyOf(encoding, &be, &hostDefault);
    CFIndex written = 0;
    *used = 0;
    if (family == Family::Unsupported)
        return 0;
    auto put = [&](const uint8_t* b, CFIndex n) {
        if (buffer && written + n > maxLen)
            return false;
        if (buffer)
            std::memcpy(buffer + written, b, static_cast<size_t>(n));
        written += n;
        return true;
    };
    if (external && hostDefault) {
        static const uint8_t bom16[2] = {0xFF, 0xFE};
        static const uint8_t bom32[4] = {0xFF, 0xFE, 0, 0};
        if (!(family == Family::Utf16 ? put(bom16, 2) : put(bom32, 4)))
            return 0;
    }
    CFIndex i = begin;
    while (i < end) {
        uint32_t cp = units[i];
        CFIndex step = 1;
        const bool high = cp >= 0xD800 && cp <= 0xDBFF;
        if (high && i + 1 < end && units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (units[i + 1] - 0xDC00);
            step = 2;
        }
        const bool lone = cp >= 0xD800 && cp <= 0xDFFF;
        uint8_t b[8];
        CFIndex n = 0;
        switch (family) {
        case Family::Utf8:
            if (lone) {
                n = -1;
            } else if (cp < 0x80) {
                b[n++] = static_cast<uint8_t>(cp);
            } else if (cp < 0x800) {
                b[n++] = static_cast<uint8_t>(0xC0 | (cp >> 6));
                b[n++] = static_cast<uint8_t>(0x80 | (cp & 0x3F));
            } else if (cp < 0x10000) {
                b[n++] = static_cast<uint8_t>(0xE0 | (cp >> 12));
                b[n++] = static_cast<uint8_t>(0x80 | ((cp >> 6) & 0x3F));
                b[n++] = static_cast<uint8_t>(0x80 | (cp & 0x3F));
            } else {
                b[n++] = static_cast<uint8_t>(0xF0 | (cp >> 18));
                b[n++] = static_cast<uint8_t>(0x80 | ((cp >> 12) & 0x3F));
                b[n++] = static_cast<uint8_t>(0x80 | ((cp >> 6) & 0x3F));
                b[n++] = static_cast<uint8_t>(0x80 | (cp & 0x3F));
            }
            break;
        case Family::Ascii:
            n = cp < 0x80 ? (b[0] = static_cast<uint8_t>(cp), 1) : -1;
            break;
        case Family::Latin1:
            n = cp < 0x100 ? (b[0] = static_cast<uint8_t>(cp), 1) : -1;
            break;
        case Family::Windows1252: {
            n = -1;
            if (cp < 0x80 || (cp >= 0xA0 && cp < 0x100)) {
                b[0] = static_cast<uint8_t>(cp);
                n = 1;
            }
            for (int k = 0; k < 32 && n < 0; ++k) {
                if (kWindows1252High[k] == cp && cp != 0xFFFD) {
                    b[0] = static_cast<uint8_t>(0x80 + k);
                    n = 1;
                }
            }
            break;
        }
        case Family::Utf16:
            for (CFIndex k = 0; k < step; ++k) {
                const char16_t u = units[i + k];
                b[n++] = static_cast<uint8_t>(be ? u >> 8 : u & 0xFF);
                b[n++] = static_cast<uint8_t>(be ? u & 0xFF : u >> 8);
            }
            break;
        case Family::Utf32:
            if (lone) {
                n = -1;
                break;
            }
            for (int k = 0; k < 4; ++k)
                b[k] = static_cast<uint8_t>(cp >> (be ? 24 - 8 * k : 8 * k));
            n = 4;
            break;
        case Family::Unsupported:
            return 0;
        }
        if (n < 0) {
            if (!lossByte)
                break;
            b[0] = lossByte;
            n = 1;
        }
        if (!put(b, n))
            break;
        i += step;
    }
    *used = written;
    return i - begin;
}

bool IsAsciiCompatible(CFStringEncoding e) {
    return e == kCFStringEncodingUTF8 || e == kCFStringEncodingASCII || e == kCFStringEncodingMacRoman ||
           e == kCFStringEncodingISOLatin1 || e == kCFStringEncodingWindowsLatin1 ||
           e == kCFStringEncodingNextStepLatin;
}

CFStringRef CreateFromBytes(const uint8_t* bytes, CFIndex n, CFStringEncoding encoding, bool external,
                            bool isMutable = false) {
    if (n < 0 || (!bytes && n > 0))
        return nullptr;
    std::u16string text;
    if (!Decode(bytes, static_cast<size_t>(n), encoding, external, &text))
        return nullptr;
    return cf::NewString(std::move(text), isMutable);
}

std::u16string Fold(std::u16string text) {
    if (!text.empty())
        ::CharLowerBuffW(reinterpret_cast<wchar_t*>(text.data()), static_cast<DWORD>(text.size()));
    return text;
}

bool IsDigit(char16_t u) { return u >= u'0' && u <= u'9'; }

// Compares [a, b) ordinally, or by the value of digit runs when asked.
CFComparisonResult CompareUnits(std::u16string_view a, std::u16string_view b, bool numerically) {
    size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (numerically && IsDigit(a[i]) && IsDigit(b[j])) {
            size_t ei = i, ej = j;
            while (ei < a.size() && IsDigit(a[ei]))
                ++ei;
            while (ej < b.size() && IsDigit(b[ej]))
                ++ej;
            size_t si = i, sj = j; // leading zeros do not count
            while (si + 1 < ei && a[si] == u'0')
                ++si;
            while (sj + 1 < ej && b[sj] == u'0')
                ++sj;
            if (ei - si != ej - sj)
                return ei - si < ej - sj ? kCFCompareLessThan : kCFCompareGreaterThan;
            const int c = a.substr(si, ei - si).compare(b.substr(sj, ej - sj));
            if (c)
                return c < 0 ? kCFCompareLessThan : kCFCompareGreaterThan;
            i = ei;
            j = ej;
            continue;
        }
        if (a[i] != b[j])
            return a[i] < b[j] ? kCFCompareLessThan : kCFCompareGreaterThan;
        ++i;
        ++j;
    }
    if (i < a.size())
        return kCFCompareGreaterThan;
    return j < b.size() ? kCFCompareLessThan : kCFCompareEqualTo;
}

CFComparisonResult CompareStrings(const __CFString& a, CFRange range, const __CFString& b, CFStringCompareFlags opts) {
    std::u16string x = a.units.substr(static_cast<size_t>(range.location), static_cast<size_t>(range.length));
    std::u16string y = b.units;
    if (opts & kCFCompareCaseInsensitive) {
        x = Fold(std::move(x));
        y = Fold(std::move(y));
    }
    return CompareUnits(x, y, (opts & kCFCompareNumerically) != 0);
}

// Finds `needle` in [range) of `hay`; the result is in hay's indices.
bool FindIn(const __CFString& hay, const __CFString& needle, CFRange range, CFStringCompareFlags opts, CFRange* out) {
    if (!cf::RangeFits(range, static_cast<CFIndex>(hay.units.size())) || needle.units.empty())
        return false;
    std::u16string h = hay.units.substr(static_cast<size_t>(range.location), static_cast<size_t>(range.length));
    std::u16string n = needle.units;
    if (opts & kCFCompareCaseInsensitive) {
        h = Fold(std::move(h));
        n = Fold(std::move(n));
    }
    if (n.size() > h.size())
        return false;
    size_t at;
    const bool backwards = (opts & kCFCompareBackwards) != 0;
    if (opts & kCFCompareAnchored) {
        at = backwards ? h.size() - n.size() : 0;
        if (h.compare(at, n.size(), n) != 0)
            return false;
    } else {
        at = backwards ? h.rfind(n) : h.find(n);
        if (at == std::u16string::npos)
            return false;
    }
    if (out)
        *out = CFRange{range.location + static_cast<CFIndex>(at), static_cast<CFIndex>(n.size())};
    return true;
}

bool IsWhitespace(char16_t u) {
    return u == u' ' || (u >= 0x09 && u <= 0x0D) || u == 0x85 || u == 0xA0 || u == 0x1680 ||
           (u >= 0x2000 && u <= 0x200B) || u == 0x2028 || u == 0x2029 || u == 0x202F || u == 0x205F || u == 0x3000;
}

// ---- formatting --------------------------------------------------------------

void AppendAscii(std::u16string* out, const char* text, size_t n) {
    for (size_t i = 0; i < n; ++i)
        out->push_back(static_cast<char16_t>(static_cast<uint8_t>(text[i])));
}

void Pad(std::u16string* out, const std::u16string& text, int width, bool left) {
    const size_t pad = width > 0 && static_cast<size_t>(width) > text.size() ? width - text.size() : 0;
    if (!left)
        out->append(pad, u' ');
    out->append(text);
    if (left)
        out->append(pad, u' ');
}

// Appends `format` with its conversions filled from `args`. An unknown
// conversion ends the formatting (the rest is copied as it stands).
void FormatInto(std::u16string* out, const std::u16string& format, va_list args) {
    const size_t n = format.size();
    size_t i = 0;
    while (i < n) {
        const char16_t c = format[i];
        if (c != u'%') {
            out->push_back(c);
            ++i;
            continue;
        }
        const size_t start = i++;
        std::string conversion = "%";
        bool left = false;
        while (i < n && std::u16string_view(u"-+ #0'").find(format[i]) != std::u16string_view::npos) {
            if (format[i] == u'-')
                left = true;
            if (format[i] != u'\'')
                conversion.push_back(static_cast<char>(format[i]));
            ++i;
        }
        int width = -1, precision = -1;
        if (i < n && format[i] == u'*') {
            width = va_arg(args, int);
            if (width < 0) {
                left = true;
                width = -width;
                conversion.push_back('-');
            }
            ++i;
        } else {
            while (i < n && IsDigit(format[i]) && width < 100000)
                width = (width < 0 ? 0 : width * 10) + (format[i++] - u'0');
        }
        if (width >= 0)
            conversion += std::to_string(width);
        if (i < n && format[i] == u'.') {
            ++i;
            precision = 0;
            if (i < n && format[i] == u'*') {
                precision = va_arg(args, int);
                ++i;
            } else {
                while (i < n && IsDigit(format[i]) && precision < 100000)
                    precision = precision * 10 + (format[i++] - u'0');
            }
            if (precision >= 0)
                conversion += "." + std::to_string(precision);
        }
        int longs = 0; // -1 h, -2 hh, 1 l, 2 ll, 3 L
        while (i < n) {
            const char16_t m = format[i];
            if (m == u'h')
                longs = longs == -1 ? -2 : -1;
            else if (m == u'l')
                longs = longs == 1 ? 2 : 1;
            else if (m == u'q' || m == u'j')
                longs = 2;
            else if (m == u'L')
                longs = 3;
            else if (m != u'z' && m != u't')
                break;
            ++i;
        }
        if (i >= n) {
            out->append(format, start, std::u16string::npos);
            return;
        }
        const char16_t conv = format[i++];
        char buffer[512];
        switch (conv) {
        case u'%':
            out->push_back(u'%');
            break;
        case u'@': {
            Pad(out, cf::Describe(va_arg(args, CFTypeRef)), width, left);
            break;
        }
        case u'd':
        case u'i': {
            long long v = longs == 2 ? va_arg(args, long long) : va_arg(args, int);
            if (longs == -1)
                v = static_cast<short>(v);
            else if (longs == -2)
                v = static_cast<signed char>(v);
            const int len = std::snprintf(buffer, sizeof buffer, (conversion + "lld").c_str(), v);
            AppendAscii(out, buffer, len > 0 ? std::min<size_t>(len, sizeof buffer - 1) : 0);
            break;
        }
        case u'u':
        case u'o':
        case u'x':
        case u'X': {
            unsigned long long v = longs == 2 ? va_arg(args, unsigned long long) : va_arg(args, unsigned int);
            if (longs == -1)
                v = static_cast<unsigned short>(v);
            else if (longs == -2)
                v = static_cast<unsigned char>(v);
            conversion += "ll";
            conversion.push_back(static_cast<char>(conv));
            const int len = std::snprintf(buffer, sizeof buffer, conversion.c_str(), v);
            AppendAscii(out, buffer, len > 0 ? std::min<size_t>(len, sizeof buffer - 1) : 0);
            break;
        }
        case u'f':
        case u'F':
        case u'e':
        case u'E':
        case u'g':
        case u'G':
        case u'a':
        case u'A': {
            const double v = longs == 3 ? static_cast<double>(va_arg(args, long double)) : va_arg(args, double);
            conversion.push_back(static_cast<char>(conv));
            const int len = std::snprintf(buffer, sizeof buffer, conversion.c_str(), v);
            AppendAscii(out, buffer, len > 0 ? std::min<size_t>(len, sizeof buffer - 1) : 0);
            break;
        }
        case u'c':
            Pad(out, std::u16string(1, static_cast<char16_t>(static_cast<uint8_t>(va_arg(args, int)))), width, left);
            break;
        case u'C':
            Pad(out, std::u16string(1, static_cast<char16_t>(va_arg(args, int))), width, left);
            break;
        case u's': {
            const char* s = va_arg(args, const char*);
            if (!s)
                s = "(null)";
            size_t len = std::strlen(s);
            if (precision >= 0 && static_cast<size_t>(precision) < len)
                len = static_cast<size_t>(precision);
            std::u16string text;
            if (!cf::DecodeUtf8(reinterpret_cast<const uint8_t*>(s), len, &text)) {
                text.clear();
                AppendAscii(&text, s, len); // not UTF-8: taken as Latin-1
            }
            Pad(out, text, width, left);
            break;
        }
        case u'S': {
            const auto* s = va_arg(args, const char16_t*);
            std::u16string text = s ? std::u16string(s) : std::u16string(u"(null)");
            if (precision >= 0 && static_cast<size_t>(precision) < text.size())
                text.resize(static_cast<size_t>(precision));
            Pad(out, text, width, left);
            break;
        }
        case u'p': {
            const int len = std::snprintf(buffer, sizeof buffer, "0x%lx",
                                          static_cast<unsigned long>(reinterpret_cast<uintptr_t>(va_arg(args, void*))));
            AppendAscii(out, buffer, len > 0 ? static_cast<size_t>(len) : 0);
            break;
        }
        case u'n':
            (void)va_arg(args, void*); // never written
            break;
        default:
            out->append(format, start, std::u16string::npos);
            return;
        }
    }
}

// The number at the start of the text (after blanks), 0.0 when none.
double LeadingDouble(const std::u16string& units) {
    std::string text;
    size_t i = 0;
    while (i < units.size() && IsWhitespace(units[i]))
        ++i;
    for (; i < units.size() && units[i] < 0x80 && text.size() < 400; ++i)
        text.push_back(static_cast<char>(units[i]));
    const char* begin = text.c_str();
    if (*begin == '+')
        ++begin;
    double v = 0.0;
    std::from_chars(begin, text.c_str() + text.size(), v);
    return v;
}

struct InternTable {
    std::mutex lock;
    std::unordered_map<std::string, __CFString*> strings;
};

InternTable& Interned() {
    static InternTable* table = new InternTable; // lives as long as the process
    return *table;
}

} // namespace

// ---- exports ---------------------------------------------------------------------

CFTypeID CFStringGetTypeID() { return cf::kTypeIdString; }

CFStringRef __CFStringMakeConstantString(const char* cStr) {
    if (!cStr)
        return nullptr;
    return Guard<CFStringRef>(nullptr, [&]() -> CFStringRef {
        InternTable& table = Interned();
        std::lock_guard<std::mutex> hold(table.lock);
        auto found = table.strings.find(cStr);
        if (found != table.strings.end())
            return found->second;
        std::u16string text;
        const size_t len = std::strlen(cStr);
        if (!cf::DecodeUtf8(reinterpret_cast<const uint8_t*>(cStr), len, &text)) {
            text.clear();
            AppendAscii(&text, cStr, len);
        }
        auto* s = new __CFString(std::move(text), false, true);
        table.strings.emplace(cStr, s);
        return s;
    });
}

CFStringRef CFStringCreateWithCString(CFAllocatorRef, const char* cStr, CFStringEncoding encoding) {
    if (!cStr)
        return nullptr;
    return Guard<CFStringRef>(nullptr, [&] {
        return CreateFromBytes(reinterpret_cast<const uint8_t*>(cStr), static_cast<CFIndex>(std::strlen(cStr)),
                               encoding, false);
    });
}

CFStringRef CFStringCreateWithCStringNoCopy(CFAllocatorRef alloc, const char* cStr, CFStringEncoding encoding,
                                            CFAllocatorRef contentsDeallocator) {
    CFStringRef s = CFStringCreateWithCString(alloc, cStr, encoding);
    if (s)
        cf::DeallocateWith(contentsDeallocator, const_cast<char*>(cStr));
    return s;
}

CFStringRef CFStringCreateWithBytes(CFAllocatorRef, const uint8_t* bytes, CFIndex numBytes, CFStringEncoding encoding,
                                    Boolean isExternalRepresentation) {
    return Guard<CFStringRef>(
        nullptr, [&] { return CreateFromBytes(bytes, numBytes, encoding, isExternalRepresentation != 0); });
}

CFStringRef CFStringCreateWithBytesNoCopy(CFAllocatorRef alloc, const uint8_t* bytes, CFIndex numBytes,
                                          CFStringEncoding encoding, Boolean isExternalRepresentation,
                                          CFAllocatorRef contentsDeallocator) {
    CFStringRef s = CFStringCreateWithBytes(alloc, bytes, numBytes, encoding, isExternalRepresentation);
    if (s)
        cf::DeallocateWith(contentsDeallocator, const_cast<uint8_t*>(bytes));
    return s;
}

CFStringRef CFStringCreateWithCharacters(CFAllocatorRef, const UniChar* chars, CFIndex numChars) {
    if (numChars < 0 || (!chars && numChars > 0))
        return nullptr;
    return Guard<CFStringRef>(nullptr, [&] {
        return cf::NewString(std::u16string(reinterpret_cast<const char16_t*>(chars), static_cast<size_t>(numChars)));
    });
}

CFStringRef CFStringCreateWithCharactersNoCopy(CFAllocatorRef alloc, const UniChar* chars, CFIndex numChars,
                                               CFAllocatorRef contentsDeallocator) {
    CFStringRef s = CFStringCreateWithCharacters(alloc, chars, numChars);
    if (s)
        cf::DeallocateWith(contentsDeallocator, const_cast<UniChar*>(chars));
    return s;
}

CFStringRef CFStringCreateWithSubstring(CFAllocatorRef, CFStringRef str, CFRange range) {
    const __CFString* s = As<__CFString>(str);
    if (!s || !cf::RangeFits(range, static_cast<CFIndex>(s->units.size())))
        return nullptr;
    return Guard<CFStringRef>(nullptr, [&] {
        return cf::NewString(s->units.substr(static_cast<size_t>(range.location), static_cast<size_t>(range.length)));
    });
}

CFStringRef CFStringCreateCopy(CFAllocatorRef, CFStringRef theString) {
    const __CFString* s = As<__CFString>(theString);
    if (!s)
        return nullptr;
    if (!s->isMutable) {
        cf::Retain(s);
        return s;
    }
    return Guard<CFStringRef>(nullptr, [&] { return cf::NewString(s->units); });
}

CFStringRef CFStringCreateWithFormatAndArguments(CFAllocatorRef, CFDictionaryRef, CFStringRef format,
                                                 va_list arguments) {
    const __CFString* f = As<__CFString>(format);
    if (!f)
        return nullptr;
    return Guard<CFStringRef>(nullptr, [&] {
        std::u16string text;
        FormatInto(&text, f->units, arguments);
        return cf::NewString(std::move(text));
    });
}

CFStringRef CFStringCreateWithFormat(CFAllocatorRef alloc, CFDictionaryRef formatOptions, CFStringRef format, ...) {
    va_list args;
    va_start(args, format);
    CFStringRef s = CFStringCreateWithFormatAndArguments(alloc, formatOptions, format, args);
    va_end(args);
    return s;
}

CFMutableStringRef CFStringCreateMutable(CFAllocatorRef, CFIndex) {
    return Guard<CFMutableStringRef>(nullptr, [] { return cf::NewString(std::u16string(), true); });
}

CFMutableStringRef CFStringCreateMutableCopy(CFAllocatorRef, CFIndex, CFStringRef theString) {
    const __CFString* s = As<__CFString>(theString);
    if (!s)
        return nullptr;
    return Guard<CFMutableStringRef>(nullptr, [&] { return cf::NewString(s->units, true); });
}

CFIndex CFStringGetLength(CFStringRef theString) {
    const __CFString* s = As<__CFString>(theString);
    return s ? static_cast<CFIndex>(s->units.size()) : 0;
}

UniChar CFStringGetCharacterAtIndex(CFStringRef theString, CFIndex idx) {
    const __CFString* s = As<__CFString>(theString);
    if (!s || idx < 0 || static_cast<size_t>(idx) >= s->units.size())
        return 0;
    return s->units[static_cast<size_t>(idx)];
}

void CFStringGetCharacters(CFStringRef theString, CFRange range, UniChar* buffer) {
    const __CFString* s = As<__CFString>(theString);
    if (!s || !buffer || !cf::RangeFits(range, static_cast<CFIndex>(s->units.size())))
        return;
    std::memcpy(buffer, s->units.data() + range.location, static_cast<size_t>(range.length) * sizeof(UniChar));
}

Boolean CFStringGetCString(CFStringRef theString, char* buffer, CFIndex bufferSize, CFStringEncoding encoding) {
    const __CFString* s = As<__CFString>(theString);
    if (!s || !buffer || bufferSize <= 0)
        return 0;
    CFIndex used = 0;
    const CFIndex len = static_cast<CFIndex>(s->units.size());
    const CFIndex done =
        Encode(s->units, 0, len, encoding, 0, false, reinterpret_cast<uint8_t*>(buffer), bufferSize - 1, &used);
    if (done != len) {
        buffer[0] = 0;
        return 0;
    }
    buffer[used] = 0;
    return 1;
}

const char* CFStringGetCStringPtr(CFStringRef theString, CFStringEncoding encoding) {
    const __CFString* s = As<__CFString>(theString);
    if (!s || !s->isAscii || !IsAsciiCompatible(encoding))
        return nullptr;
    return s->AsciiText();
}

const UniChar* CFStringGetCharactersPtr(CFStringRef theString) {
    const __CFString* s = As<__CFString>(theString);
    return s ? reinterpret_cast<const UniChar*>(s->units.c_str()) : nullptr;
}

CFIndex CFStringGetBytes(CFStringRef theString, CFRange range, CFStringEncoding encoding, uint8_t lossByte,
                         Boolean isExternalRepresentation, uint8_t* buffer, CFIndex maxBufLen, CFIndex* usedBufLen) {
    const __CFString* s = As<__CFString>(theString);
    CFIndex used = 0;
    CFIndex done = 0;
    if (s && cf::RangeFits(range, static_cast<CFIndex>(s->units.size())) && (!buffer || maxBufLen >= 0))
        done = Encode(s->units, range.location, range.location + range.length, encoding, lossByte,
                      isExternalRepresentation != 0, buffer, maxBufLen, &used);
    if (usedBufLen)
        *usedBufLen = used;
    return done;
}

CFStringRef CFStringCreateFromExternalRepresentation(CFAllocatorRef, CFDataRef data, CFStringEncoding encoding) {
    const __CFData* d = As<__CFData>(data);
    if (!d)
        return nullptr;
    return Guard<CFStringRef>(
        nullptr, [&] { return CreateFromBytes(d->Bytes(), static_cast<CFIndex>(d->Size()), encoding, true); });
}

CFDataRef CFStringCreateExternalRepresentation(CFAllocatorRef alloc, CFStringRef theString, CFStringEncoding encoding,
                                               uint8_t lossByte) {
    const __CFString* s = As<__CFString>(theString);
    if (!s)
        return nullptr;
    return Guard<CFDataRef>(nullptr, [&]() -> CFDataRef {
        const CFIndex len = static_cast<CFIndex>(s->units.size());
        CFIndex used = 0;
        if (Encode(s->units, 0, len, encoding, lossByte, true, nullptr, 0, &used) != len)
            return nullptr;
        std::vector<uint8_t> bytes(static_cast<size_t>(used));
        Encode(s->units, 0, len, encoding, lossByte, true, bytes.data(), used, &used);
        return CFDataCreate(alloc, bytes.data(), used);
    });
}

CFStringEncoding CFStringGetSmallestEncoding(CFStringRef theString) {
    const __CFString* s = As<__CFString>(theString);
    if (s && s->isAscii)
        return kCFStringEncodingASCII;
    return kCFStringEncodingUnicode;
}

CFStringEncoding CFStringGetFastestEncoding(CFStringRef theString) { return CFStringGetSmallestEncoding(theString); }

CFStringEncoding CFStringGetSystemEncoding() { return kCFStringEncodingWindowsLatin1; }

CFIndex CFStringGetMaximumSizeForEncoding(CFIndex length, CFStringEncoding encoding) {
    bool be, hostDefault;
    const Family family = FamilyOf(encoding, &be, &hostDefault);
    const CFIndex factor = family == Family::Utf8 ? 3 : family == Family::Utf16 ? 2 : family == Family::Utf32 ? 4 : 1;
    if (length < 0 || length > LONG_MAX / factor)
        return kCFNotFound;
    return length * factor;
}

Boolean CFStringIsEncodingAvailable(CFStringEncoding encoding) {
    bool be, hostDefault;
    return FamilyOf(encoding, &be, &hostDefault) != Family::Unsupported ? 1 : 0;
}

CFStringRef CFStringGetNameOfEncoding(CFStringEncoding encoding) {
    switch (encoding) {
    case kCFStringEncodingUTF8:
        return __CFStringMakeConstantString("Unicode (UTF-8)");
    case kCFStringEncodingASCII:
        return __CFStringMakeConstantString("Western (ASCII)");
    case kCFStringEncodingMacRoman:
        return __CFStringMakeConstantString("Western (Mac OS Roman)");
    case kCFStringEncodingISOLatin1:
        return __CFStringMakeConstantString("Western (ISO Latin 1)");
    case kCFStringEncodingWindowsLatin1:
        return __CFStringMakeConstantString("Western (Windows Latin 1)");
    case kCFStringEncodingUnicode:
        return __CFStringMakeConstantString("Unicode (UTF-16)");
    case kCFStringEncodingUTF16BE:
        return __CFStringMakeConstantString("Unicode (UTF-16BE)");
    case kCFStringEncodingUTF16LE:
        return __CFStringMakeConstantString("Unicode (UTF-16LE)");
    case kCFStringEncodingUTF32:
        return __CFStringMakeConstantString("Unicode (UTF-32)");
    case kCFStringEncodingUTF32BE:
        return __CFStringMakeConstantString("Unicode (UTF-32BE)");
    case kCFStringEncodingUTF32LE:
        return __CFStringMakeConstantString("Unicode (UTF-32LE)");
    }
    return nullptr;
}

Boolean CFStringGetFileSystemRepresentation(CFStringRef string, char* buffer, CFIndex maxBufLen) {
    return CFStringGetCString(string, buffer, maxBufLen, kCFStringEncodingUTF8);
}

CFIndex CFStringGetMaximumSizeOfFileSystemRepresentation(CFStringRef string) {
    return CFStringGetMaximumSizeForEncoding(CFStringGetLength(string), kCFStringEncodingUTF8) + 1;
}

CFStringRef CFStringCreateWithFileSystemRepresentation(CFAllocatorRef alloc, const char* buffer) {
    return CFStringCreateWithCString(alloc, buffer, kCFStringEncodingUTF8);
}

CFComparisonResult CFStringCompareWithOptionsAndLocale(CFStringRef theString1, CFStringRef theString2,
                                                       CFRange rangeToCompare, CFStringCompareFlags compareOptions,
                                                       CFLocaleRef) {
    const __CFString* a = As<__CFString>(theString1);
    const __CFString* b = As<__CFString>(theString2);
    if (!a || !b || !cf::RangeFits(rangeToCompare, static_cast<CFIndex>(a->units.size())))
        return kCFCompareEqualTo;
    return Guard<CFComparisonResult>(kCFCompareEqualTo,
                                     [&] { return CompareStrings(*a, rangeToCompare, *b, compareOptions); });
}

CFComparisonResult CFStringCompareWithOptions(CFStringRef theString1, CFStringRef theString2, CFRange rangeToCompare,
                                              CFStringCompareFlags compareOptions) {
    return CFStringCompareWithOptionsAndLocale(theString1, theString2, rangeToCompare, compareOptions, nullptr);
}

CFComparisonResult CFStringCompare(CFStringRef theString1, CFStringRef theString2,
                                   CFStringCompareFlags compareOptions) {
    return CFStringCompareWithOptions(theString1, theString2, CFRange{0, CFStringGetLength(theString1)},
                                      compareOptions);
}

Boolean CFStringFindWithOptionsAndLocale(CFStringRef theString, CFStringRef stringToFind, CFRange rangeToSearch,
                                         CFStringCompareFlags searchOptions, CFLocaleRef, CFRange* result) {
    const __CFString* hay = As<__CFString>(theString);
    const __CFString* needle = As<__CFString>(stringToFind);
    if (!hay || !needle)
        return 0;
    return Guard<Boolean>(0, [&] { return FindIn(*hay, *needle, rangeToSearch, searchOptions, result) ? 1 : 0; });
}

Boolean CFStringFindWithOptions(CFStringRef theString, CFStringRef stringToFind, CFRange rangeToSearch,
                                CFStringCompareFlags searchOptions, CFRange* result) {
    return CFStringFindWithOptionsAndLocale(theString, stringToFind, rangeToSearch, searchOptions, nullptr, result);
}

CFRange CFStringFind(CFStringRef theString, CFStringRef stringToFind, CFStringCompareFlags compareOptions) {
    CFRange found{kCFNotFound, 0};
    if (!CFStringFindWithOptions(theString, stringToFind, CFRange{0, CFStringGetLength(theString)}, compareOptions,
                                 &found))
        return CFRange{kCFNotFound, 0};
    return found;
}

Boolean CFStringHasPrefix(CFStringRef theString, CFStringRef prefix) {
    const __CFString* s = As<__CFString>(theString);
    const __CFString* p = As<__CFString>(prefix);
    return s && p && s->units.size() >= p->units.size() && s->units.compare(0, p->units.size(), p->units) == 0;
}

Boolean CFStringHasSuffix(CFStringRef theString, CFStringRef suffix) {
    const __CFString* s = As<__CFString>(theString);
    const __CFString* p = As<__CFString>(suffix);
    return s && p && s->units.size() >= p->units.size() &&
           s->units.compare(s->units.size() - p->units.size(), p->units.size(), p->units) == 0;
}

CFStringRef CFStringCreateByCombiningStrings(CFAllocatorRef, CFArrayRef theArray, CFStringRef separatorString) {
    const __CFArray* a = As<__CFArray>(theArray);
    const __CFString* sep = As<__CFString>(separatorString);
    if (!a)
        return nullptr;
    return Guard<CFStringRef>(nullptr, [&]() -> CFStringRef {
        std::u16string text;
        for (size_t i = 0; i < a->items.size(); ++i) {
            const __CFString* part = As<__CFString>(a->items[i]);
            if (!part)
                return nullptr;
            if (i && sep)
                text += sep->units;
            text += part->units;
        }
        return cf::NewString(std::move(text));
    });
}

CFArrayRef CFStringCreateArrayBySeparatingStrings(CFAllocatorRef, CFStringRef theString, CFStringRef separatorString) {
    const __CFString* s = As<__CFString>(theString);
    const __CFString* sep = As<__CFString>(separatorString);
    if (!s || !sep || sep->units.empty())
        return nullptr;
    return Guard<CFArrayRef>(nullptr, [&]() -> CFArrayRef {
        cf::Ref parts(cf::NewArray(false));
        auto* array = cf::AsMutable<__CFArray>(parts.get());
        size_t start = 0;
        for (;;) {
            const size_t at = s->units.find(sep->units, start);
            const size_t end = at == std::u16string::npos ? s->units.size() : at;
            array->items.push_back(cf::NewString(s->units.substr(start, end - start)));
            if (at == std::u16string::npos)
                break;
            start = at + sep->units.size();
        }
        return static_cast<CFArrayRef>(parts.release());
    });
}

int32_t CFStringGetIntValue(CFStringRef str) {
    const __CFString* s = As<__CFString>(str);
    if (!s)
        return 0;
    size_t i = 0;
    while (i < s->units.size() && IsWhitespace(s->units[i]))
        ++i;
    bool negative = false;
    if (i < s->units.size() && (s->units[i] == u'-' || s->units[i] == u'+'))
        negative = s->units[i++] == u'-';
    long long v = 0;
    for (; i < s->units.size() && IsDigit(s->units[i]); ++i) {
        v = v * 10 + (s->units[i] - u'0');
        if (v > 0x80000000LL)
            return negative ? INT32_MIN : INT32_MAX;
    }
    v = negative ? -v : v;
    return v > INT32_MAX ? INT32_MAX : static_cast<int32_t>(v);
}

double CFStringGetDoubleValue(CFStringRef str) {
    const __CFString* s = As<__CFString>(str);
    if (!s)
        return 0.0;
    return Guard<double>(0.0, [&] { return LeadingDouble(s->units); });
}

void CFStringAppend(CFMutableStringRef theString, CFStringRef appendedString) {
    __CFString* s = Mutable(theString);
    const __CFString* add = As<__CFString>(appendedString);
    if (!s || !add)
        return;
    GuardVoid([&] {
        s->units += std::u16string(add->units); // `add` may be `s`
        s->Changed();
    });
}

void CFStringAppendCharacters(CFMutableStringRef theString, const UniChar* chars, CFIndex numChars) {
    __CFString* s = Mutable(theString);
    if (!s || !chars || numChars <= 0)
        return;
    GuardVoid([&] {
        s->units.append(reinterpret_cast<const char16_t*>(chars), static_cast<size_t>(numChars));
        s->Changed();
    });
}

void CFStringAppendCString(CFMutableStringRef theString, const char* cStr, CFStringEncoding encoding) {
    __CFString* s = Mutable(theString);
    if (!s || !cStr)
        return;
    GuardVoid([&] {
        std::u16string text;
        if (Decode(reinterpret_cast<const uint8_t*>(cStr), std::strlen(cStr), encoding, false, &text)) {
            s->units += text;
            s->Changed();
        }
    });
}

void CFStringAppendFormatAndArguments(CFMutableStringRef theString, CFDictionaryRef, CFStringRef format,
                                      va_list arguments) {
    __CFString* s = Mutable(theString);
    const __CFString* f = As<__CFString>(format);
    if (!s || !f)
        return;
    GuardVoid([&] {
        std::u16string text;
        FormatInto(&text, f->units, arguments);
        s->units += text;
        s->Changed();
    });
}

void CFStringAppendFormat(CFMutableStringRef theString, CFDictionaryRef formatOptions, CFStringRef format, ...) {
    va_list args;
    va_start(args, format);
    CFStringAppendFormatAndArguments(theString, formatOptions, format, args);
    va_end(args);
}

void CFStringReplace(CFMutableStringRef theString, CFRange range, CFStringRef replacement) {
    __CFString* s = Mutable(theString);
    const __CFString* r = As<__CFString>(replacement);
    if (!s || !r || !cf::RangeFits(range, static_cast<CFIndex>(s->units.size())))
        return;
    GuardVoid([&] {
        s->units.replace(static_cast<size_t>(range.location), static_cast<size_t>(range.length),
                         std::u16string(r->units));
        s->Changed();
    });
}

void CFStringInsert(CFMutableStringRef str, CFIndex idx, CFStringRef insertedStr) {
    CFStringReplace(str, CFRange{idx, 0}, insertedStr);
}

void CFStringDelete(CFMutableStringRef theString, CFRange range) {
    __CFString* s = Mutable(theString);
    if (!s || !cf::RangeFits(range, static_cast<CFIndex>(s->units.size())))
        return;
    GuardVoid([&] {
        s->units.erase(static_cast<size_t>(range.location), static_cast<size_t>(range.length));
        s->Changed();
    });
}

void CFStringReplaceAll(CFMutableStringRef theString, CFStringRef replacement) {
    CFStringReplace(theString, CFRange{0, CFStringGetLength(theString)}, replacement);
}

CFIndex CFStringFindAndReplace(CFMutableStringRef theString, CFStringRef stringToFind, CFStringRef replacementString,
                               CFRange rangeToSearch, CFStringCompareFlags compareOptions) {
    __CFString* s = Mutable(theString);
    const __CFString* find = As<__CFString>(stringToFind);
    const __CFString* repl = As<__CFString>(replacementString);
    if (!s || !find || !repl || find->units.empty() ||
        !cf::RangeFits(rangeToSearch, static_cast<CFIndex>(s->units.size())))
        return 0;
    return Guard<CFIndex>(0, [&]() -> CFIndex {
        // Collect the matches first, then replace from the end so earlier
        // indices stay valid.
        std::vector<CFRange> matches;
        CFRange rest = rangeToSearch;
        CFRange found;
        const CFIndex end = rangeToSearch.location + rangeToSearch.length;
        while (FindIn(*s, *find, rest, compareOptions & ~kCFCompareBackwards, &found)) {
            matches.push_back(found);
            rest = CFRange{found.location + found.length, end - found.location - found.length};
            if (compareOptions & kCFCompareAnchored)
                break;
        }
        const std::u16string replacementText = repl->units;
        for (auto it = matches.rbegin(); it != matches.rend(); ++it)
            s->units.replace(static_cast<size_t>(it->location), static_cast<size_t>(it->length), replacementText);
        s->Changed();
        return static_cast<CFIndex>(matches.size());
    });
}

void CFStringPad(CFMutableStringRef theString, CFStringRef padString, CFIndex length, CFIndex indexIntoPad) {
    __CFString* s = Mutable(theString);
    const __CFString* pad = As<__CFString>(padString);
    if (!s || length < 0)
        return;
    GuardVoid([&] {
        if (static_cast<size_t>(length) <= s->units.size()) {
            s->units.resize(static_cast<size_t>(length));
        } else if (pad && !pad->units.empty() && indexIntoPad >= 0 &&
                   static_cast<size_t>(indexIntoPad) < pad->units.size()) {
            size_t k = static_cast<size_t>(indexIntoPad);
            while (s->units.size() < static_cast<size_t>(length)) {
                s->units.push_back(pad->units[k]);
                k = (k + 1) % pad->units.size();
            }
        }
        s->Changed();
    });
}

void CFStringTrim(CFMutableStringRef theString, CFStringRef trimString) {
    __CFString* s = Mutable(theString);
    const __CFString* t = As<__CFString>(trimString);
    if (!s || !t || t->units.empty())
        return;
    GuardVoid([&] {
        const std::u16string trim = t->units;
        size_t begin = 0, end = s->units.size();
        while (end - begin >= trim.size() && s->units.compare(begin, trim.size(), trim) == 0)
            begin += trim.size();
        while (end - begin >= trim.size() && s->units.compare(end - trim.size(), trim.size(), trim) == 0)
            end -= trim.size();
        s->units = s->units.substr(begin, end - begin);
        s->Changed();
    });
}

void CFStringTrimWhitespace(CFMutableStringRef theString) {
    __CFString* s = Mutable(theString);
    if (!s)
        return;
    GuardVoid([&] {
        size_t begin = 0, end = s->units.size();
        while (begin < end && IsWhitespace(s->units[begin]))
            ++begin;
        while (end > begin && IsWhitespace(s->units[end - 1]))
            --end;
        s->units = s->units.substr(begin, end - begin);
        s->Changed();
    });
}

void CFStringLowercase(CFMutableStringRef theString, CFLocaleRef) {
    __CFString* s = Mutable(theString);
    if (!s || s->units.empty())
        return;
    ::CharLowerBuffW(reinterpret_cast<wchar_t*>(s->units.data()), static_cast<DWORD>(s->units.size()));
    GuardVoid([&] { s->Changed(); });
}

void CFStringUppercase(CFMutableStringRef theString, CFLocaleRef) {
    __CFString* s = Mutable(theString);
    if (!s || s->units.empty())
        return;
    ::CharUpperBuffW(reinterpret_cast<wchar_t*>(s->units.data()), static_cast<DWORD>(s->units.size()));
    GuardVoid([&] { s->Changed(); });
}
