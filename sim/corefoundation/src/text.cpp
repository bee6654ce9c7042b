// UTF-8 and UTF-16 helpers shared by strings, URLs and property lists.
#include "cf_internal.h"

namespace cf {

bool DecodeUtf8(const uint8_t* bytes, size_t length, std::u16string* out) {
    out->reserve(out->size() + length);
    size_t i = 0;
    while (i < length) {
        const uint8_t b = bytes[i];
        if (b < 0x80) {
            size_t end = i + 1;
            while (end < length && bytes[end] < 0x80)
                ++end;
            out->append(bytes + i, bytes + end);
            i = end;
            continue;
        }
        uint32_t cp;
        size_t extra;
        uint32_t min;
        if ((b & 0xE0) == 0xC0) {
            cp = b & 0x1F;
            extra = 1;
            min = 0x80;
        } else if ((b & 0xF0) == 0xE0) {
            cp = b & 0x0F;
            extra = 2;
            min = 0x800;
        } else if ((b & 0xF8) == 0xF0) {
            cp = b & 0x07;
            extra = 3;
            min = 0x10000;
        } else {
            return false;
        }
        if (extra > length - i - 1)
            return false;
        for (size_t k = 1; k <= extra; ++k) {
            const uint8_t c = bytes[i + k];
            if ((c & 0xC0) != 0x80)
                return false;
            cp = (cp << 6) | (c & 0x3F);
        }
        if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out->push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out->push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out->push_back(static_cast<char16_t>(cp));
        }
        i += extra + 1;
    }
    return true;
}

void AppendUtf8(const char16_t* units, size_t length, std::string* out) {
    out->reserve(out->size() + length);
    for (size_t i = 0; i < length; ++i) {
        uint32_t cp = units[i];
        if (cp < 0x80) {
            out->push_back(static_cast<char>(cp));
            continue;
        }
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < length && units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (units[i + 1] - 0xDC00);
            ++i;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = 0xFFFD;
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
}

std::string ToUtf8(const std::u16string& text) {
    std::string out;
    AppendUtf8(text.data(), text.size(), &out);
    return out;
}

std::u16string FromAscii(const char* text) {
    std::u16string out;
    for (; *text; ++text)
        out.push_back(static_cast<char16_t>(static_cast<uint8_t>(*text)));
    return out;
}

bool IsWellFormedUtf16(const char16_t* units, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        const char16_t u = units[i];
        if (u < 0xD800 || u > 0xDFFF)
            continue;
        if (u >= 0xDC00 || i + 1 >= length || units[i + 1] < 0xDC00 || units[i + 1] > 0xDFFF)
            return false;
        ++i;
    }
    return true;
}

} // namespace cf
