// UTF-8 and UTF-16 helpers shared by strings and URLs (the property-list
// codec's own).
#include "cf_internal.h"
#include "plist/plist.h"

namespace cf {

bool DecodeUtf8(const uint8_t* bytes, size_t length, std::u16string* out) {
    return plist::AppendUtf16(std::string_view(reinterpret_cast<const char*>(bytes), length), out);
}

void AppendUtf8(const char16_t* units, size_t length, std::string* out) {
    plist::AppendUtf8(std::u16string_view(units, length), out);
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
    return plist::IsWellFormedUtf16(std::u16string_view(units, length));
}

} // namespace cf
