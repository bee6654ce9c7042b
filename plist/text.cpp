// The texts of property-list values (base64, dates, numbers), Unicode
// conversions, and the entry points that pick a format.
#include "plist/civil_date.h"
#include "plist/codec_internal.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace plist {

namespace {

const char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// 1970-01-01 as seconds since 2001-01-01.
constexpr int64_t kSeconds1970To2001 = 978307200;
// 0000-01-01 and 10000-01-01 as seconds since 2001-01-01.
constexpr double kFirstXmlDate = -63145526400.0;
constexpr double kLastXmlDate = 252423993600.0;

} // namespace

namespace detail {

int Base64Digit(uint8_t c) {
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    return -1;
}

std::string RealText(double value) {
    if (std::isnan(value))
        return "nan";
    if (std::isinf(value))
        return value > 0 ? "+infinity" : "-infinity";
    char buffer[64];
    const auto r = std::to_chars(buffer, buffer + sizeof buffer, value);
    std::string text(buffer, r.ptr);
    if (text.find_first_of(".en") == std::string::npos)
        text += ".0";
    return text;
}

std::string IntegerText(int64_t value, bool isUnsigned) {
    char buffer[32];
    const auto r = isUnsigned ? std::to_chars(buffer, buffer + sizeof buffer, static_cast<uint64_t>(value))
                              : std::to_chars(buffer, buffer + sizeof buffer, value);
    return std::string(buffer, r.ptr);
}

void AppendCodePoint(uint32_t cp, std::string* out) {
    if (cp < 0x80) {
        out->push_back(static_cast<char>(cp));
        return;
    }
    if (cp < 0x800) {
        out->push_back(static_cast<char>(0xC0 | (cp >> 6)));
    } else if (cp < 0x10000) {
        out->push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    } else {
        out->push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out->push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    }
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
}

std::string ReadError(const char* format, const char* why, size_t at, bool withOffset) {
    std::string text = std::string("Malformed ") + format + " property list: " + why;
    if (withOffset)
        text += " (near byte " + std::to_string(at) + ")";
    return text;
}

} // namespace detail

// ---- base64 ----------------------------------------------------------------------------------------

std::string EncodeBase64(std::string_view bytes) {
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    for (size_t i = 0; i < bytes.size(); i += 3) {
        const size_t left = bytes.size() - i; // 1, 2 or 3 bytes of this group
        uint32_t v = static_cast<uint32_t>(static_cast<uint8_t>(bytes[i])) << 16;
        if (left > 1)
            v |= static_cast<uint32_t>(static_cast<uint8_t>(bytes[i + 1])) << 8;
        if (left > 2)
            v |= static_cast<uint8_t>(bytes[i + 2]);
        out.push_back(kBase64[v >> 18]);
        out.push_back(kBase64[(v >> 12) & 63]);
        out.push_back(left > 1 ? kBase64[(v >> 6) & 63] : '=');
        out.push_back(left > 2 ? kBase64[v & 63] : '=');
    }
    return out;
}

bool DecodeBase64(std::string_view text, std::string* bytes) {
    std::string out;
    out.reserve(text.size() / 4 * 3);
    uint32_t acc = 0;
    int bits = 0;
    size_t padding = 0;
    for (char ch : text) {
        const uint8_t c = static_cast<uint8_t>(ch);
        if (detail::IsXmlSpace(c))
            continue;
        if (c == '=') {
            ++padding;
            continue;
        }
        const int digit = detail::Base64Digit(c);
        if (digit < 0 || padding)
            return false;
        acc = (acc << 6) | static_cast<uint32_t>(digit);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(static_cast<char>((acc >> bits) & 0xFF));
        }
    }
    if (bits >= 6 || padding > 2)
        return false;
    *bytes = std::move(out);
    return true;
}

// ---- dates -----------------------------------------------------------------------------------------

std::string FormatDate(double seconds) {
    double whole = std::floor(seconds + static_cast<double>(kSeconds1970To2001));
    if (!(whole > -1e15 && whole < 1e15))
        whole = 0;
    const int64_t total = static_cast<int64_t>(whole);
    int64_t days = total / 86400, rest = total % 86400;
    if (rest < 0) {
        rest += 86400;
        --days;
    }
    int64_t y;
    unsigned m, d;
    civil::CivilFromDays(days, &y, &m, &d);
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%04lld-%02u-%02uT%02d:%02d:%02dZ", static_cast<long long>(y), m, d,
                  static_cast<int>(rest / 3600), static_cast<int>(rest / 60 % 60), static_cast<int>(rest % 60));
    return buffer;
}

bool ParseDate(std::string_view t, double* seconds) {
    auto digits = [&](size_t at, size_t count, int* out) {
        int v = 0;
        for (size_t k = 0; k < count; ++k) {
            const char c = t[at + k];
            if (c < '0' || c > '9')
                return false;
            v = v * 10 + (c - '0');
        }
        *out = v;
        return true;
    };
    int y, mo, d, h, mi, s;
    if (t.size() != 20 || t[4] != '-' || t[7] != '-' || t[10] != 'T' || t[13] != ':' || t[16] != ':' || t[19] != 'Z' ||
        !digits(0, 4, &y) || !digits(5, 2, &mo) || !digits(8, 2, &d) || !digits(11, 2, &h) || !digits(14, 2, &mi) ||
        !digits(17, 2, &s))
        return false;
    static const int kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    if (mo < 1 || mo > 12 || d < 1 || d > kDays[mo - 1] || (mo == 2 && d == 29 && !leap) || h > 23 || mi > 59 || s > 59)
        return false;
    const int64_t days = civil::DaysFromCivil(y, static_cast<unsigned>(mo), static_cast<unsigned>(d));
    *seconds = static_cast<double>(days * 86400 + h * 3600 + mi * 60 + s - kSeconds1970To2001);
    return true;
}

bool DateFitsXml(double seconds) { return seconds >= kFirstXmlDate && seconds < kLastXmlDate; }

// ---- Unicode ---------------------------------------------------------------------------------------

namespace {

// Decodes the sequence at `p[i]` (a byte of 0x80 or more); 0 when it is not
// strict UTF-8, else its length.
size_t DecodeSequence(const uint8_t* p, size_t n, size_t i, uint32_t* cp) {
    const uint8_t b = p[i];
    size_t extra;
    uint32_t min, v;
    if ((b & 0xE0) == 0xC0) {
        v = b & 0x1F;
        extra = 1;
        min = 0x80;
    } else if ((b & 0xF0) == 0xE0) {
        v = b & 0x0F;
        extra = 2;
        min = 0x800;
    } else if ((b & 0xF8) == 0xF0) {
        v = b & 0x07;
        extra = 3;
        min = 0x10000;
    } else {
        return 0;
    }
    if (extra > n - i - 1)
        return 0;
    for (size_t k = 1; k <= extra; ++k) {
        const uint8_t c = p[i + k];
        if ((c & 0xC0) != 0x80)
            return 0;
        v = (v << 6) | (c & 0x3F);
    }
    if (v < min || v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF))
        return 0;
    *cp = v;
    return extra + 1;
}

} // namespace

bool IsValidUtf8(std::string_view bytes) {
    const auto* p = reinterpret_cast<const uint8_t*>(bytes.data());
    const size_t n = bytes.size();
    for (size_t i = 0; i < n;) {
        if (p[i] < 0x80) {
            ++i;
            continue;
        }
        uint32_t cp;
        const size_t length = DecodeSequence(p, n, i, &cp);
        if (!length)
            return false;
        i += length;
    }
    return true;
}

bool AppendUtf16(std::string_view utf8, std::u16string* out) {
    const auto* p = reinterpret_cast<const uint8_t*>(utf8.data());
    const size_t n = utf8.size();
    out->reserve(out->size() + n);
    size_t i = 0;
    while (i < n) {
        if (p[i] < 0x80) {
            size_t end = i + 1;
            while (end < n && p[end] < 0x80)
                ++end;
            out->append(p + i, p + end);
            i = end;
            continue;
        }
        uint32_t cp;
        const size_t length = DecodeSequence(p, n, i, &cp);
        if (!length)
            return false;
        AppendUtf16(static_cast<char32_t>(cp), out);
        i += length;
    }
    return true;
}

void AppendUtf16(char32_t codePoint, std::u16string* out) {
    if (codePoint < 0x10000) {
        out->push_back(static_cast<char16_t>(codePoint));
        return;
    }
    const char32_t v = codePoint - 0x10000;
    out->push_back(static_cast<char16_t>(0xD800 + (v >> 10)));
    out->push_back(static_cast<char16_t>(0xDC00 + (v & 0x3FF)));
}

void AppendUtf8(std::u16string_view units, std::string* out) {
    out->reserve(out->size() + units.size());
    const size_t n = units.size();
    for (size_t i = 0; i < n; ++i) {
        uint32_t cp = units[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < n && units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (units[i + 1] - 0xDC00u);
            ++i;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = 0xFFFD;
        }
        detail::AppendCodePoint(cp, out);
    }
}

bool IsWellFormedUtf16(std::u16string_view units) {
    const size_t n = units.size();
    for (size_t i = 0; i < n; ++i) {
        const char16_t u = units[i];
        if (u < 0xD800 || u > 0xDFFF)
            continue;
        if (u >= 0xDC00 || i + 1 >= n || units[i + 1] < 0xDC00 || units[i + 1] > 0xDFFF)
            return false;
        ++i;
    }
    return true;
}

// ---- entry points ----------------------------------------------------------------------------------

Builder::Handle Builder::MakeString(std::u16string_view utf16) {
    std::string utf8;
    AppendUtf8(utf16, &utf8);
    return MakeString(std::string_view(utf8));
}

bool IsBinary(const void* bytes, size_t size) { return size >= 6 && std::memcmp(bytes, "bplist", 6) == 0; }

bool Read(const void* bytes, size_t size, Builder& builder, Builder::Handle* root, Format* format, std::string* error) {
    const bool binary = IsBinary(bytes, size);
    const bool read =
        binary ? ReadBinary(bytes, size, builder, root, error) : ReadXml(bytes, size, builder, root, error);
    if (read && format)
        *format = binary ? Format::Binary : Format::Xml;
    return read;
}

bool Write(Format format, const Source& source, Source::Handle root, std::string* out) {
    return format == Format::Binary ? WriteBinary(source, root, out) : WriteXml(source, root, out);
}

} // namespace plist
