#include "platform/cf_text.h"

#include "platform/text.h"

#include <limits>
#include <vector>

std::wstring CFStringToWide(CFStringRef string) {
    if (!string)
        return std::wstring();
    CFIndex length = vendor::CFStringGetLength(string);
    // Every UTF-16 unit gives at most 4 UTF-8 bytes (a pair gives 4 for two).
    if (length <= 0 || length > (std::numeric_limits<CFIndex>::max() - 2) / 4)
        return std::wstring();
    std::vector<uint8_t> utf8(static_cast<size_t>(length) * 4 + 2);
    CFIndex used = 0;
    vendor::CFStringGetBytes(string, CFRange{0, length}, kCFStringEncodingUTF8, 0, false, utf8.data(),
                             static_cast<CFIndex>(utf8.size()), &used);
    if (used <= 0 || static_cast<size_t>(used) > utf8.size())
        return std::wstring();
    std::wstring wide = Utf8ToWide(reinterpret_cast<const char*>(utf8.data()), static_cast<size_t>(used));
    if (wide.size() > static_cast<size_t>(length))
        wide.resize(static_cast<size_t>(length));
    return wide;
}

CFRef<CFStringRef> WideToCFString(const wchar_t* text) {
    std::string utf8 = WideToUtf8(text);
    return CFRef<CFStringRef>(vendor::CFStringCreateWithBytes(nullptr, reinterpret_cast<const uint8_t*>(utf8.data()),
                                                              static_cast<CFIndex>(utf8.size()), kCFStringEncodingUTF8,
                                                              false));
}

CFRef<CFStringRef> WideToCFString(const std::wstring& text) { return WideToCFString(text.c_str()); }
