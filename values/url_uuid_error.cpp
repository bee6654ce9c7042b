// URLs (their text kept exactly as given), UUIDs and errors.
#include "cf_internal.h"

#include <wincrypt.h>
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <string_view>

namespace {

using cf::As;
using cf::Guard;

// ---- URL text ------------------------------------------------------------------------------

struct UrlParts {
    std::u16string_view scheme, authority, path;
    bool hasAuthority = false;
};

UrlParts Split(std::u16string_view text) {
    UrlParts parts;
    size_t i = 0;
    const size_t colon = text.find(u':');
    if (colon != std::u16string_view::npos && colon > 0) {
        bool schemeChars = true;
        for (size_t k = 0; k < colon; ++k) {
            const char16_t c = text[k];
            const bool alpha = (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z');
            if (!(alpha || (k > 0 && ((c >= u'0' && c <= u'9') || c == u'+' || c == u'-' || c == u'.'))))
                schemeChars = false;
        }
        if (schemeChars) {
            parts.scheme = text.substr(0, colon);
            i = colon + 1;
        }
    }
    if (text.substr(i, 2) == u"//") {
        parts.hasAuthority = true;
        const size_t end = text.find_first_of(u"/?#", i + 2);
        parts.authority = text.substr(i + 2, (end == std::u16string_view::npos ? text.size() : end) - i - 2);
        i = end == std::u16string_view::npos ? text.size() : end;
    }
    const size_t end = text.find_first_of(u"?#", i);
    parts.path = text.substr(i, (end == std::u16string_view::npos ? text.size() : end) - i);
    return parts;
}

int HexValue(char16_t c) {
    if (c >= u'0' && c <= u'9')
        return c - u'0';
    if (c >= u'a' && c <= u'f')
        return c - u'a' + 10;
    if (c >= u'A' && c <= u'F')
        return c - u'A' + 10;
    return -1;
}

// Replaces %XX escapes (UTF-8 bytes); false when the bytes are not UTF-8.
bool Unescape(std::u16string_view text, std::u16string* out) {
    std::string bytes;
    size_t plain = 0; // start of the run of text not yet converted
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != u'%' || i + 2 >= text.size() || HexValue(text[i + 1]) < 0 || HexValue(text[i + 2]) < 0)
            continue;
        cf::AppendUtf8(text.data() + plain, i - plain, &bytes);
        bytes.push_back(static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2])));
        i += 2;
        plain = i + 1;
    }
    cf::AppendUtf8(text.data() + plain, text.size() - plain, &bytes);
    return cf::DecodeUtf8(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), out);
}

void AppendEscaped(std::u16string_view path, std::u16string* out) {
    std::string bytes;
    cf::AppendUtf8(path.data(), path.size(), &bytes);
    static const char hex[] = "0123456789ABCDEF";
    for (unsigned char b : bytes) {
        const bool plain = (b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z') || (b >= '0' && b <= '9') ||
                           std::strchr("-._~/:!$&'()*+,;=@", b) != nullptr;
        if (plain && b) {
            out->push_back(b);
        } else {
            out->push_back(u'%');
            out->push_back(static_cast<char16_t>(hex[b >> 4]));
            out->push_back(static_cast<char16_t>(hex[b & 15]));
        }
    }
}

// Whether a text is one the vendor's library takes as a URL: only the
// characters URLs are made of (unreserved, reserved and "%"), and every "%"
// followed by two hexadecimal digits. A space, a non-ASCII character or a
// stray "%" makes it no URL.
bool IsUrlText(std::u16string_view text) {
    for (size_t i = 0; i < text.size(); ++i) {
        const char16_t c = text[i];
        if (c == u'%') {
            if (i + 2 >= text.size() || HexValue(text[i + 1]) < 0 || HexValue(text[i + 2]) < 0)
                return false;
            i += 2;
            continue;
        }
        const bool alnum = (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9');
        if (!alnum && (c > 0x7E || !std::strchr("-._~:/?#[]@!$&'()*+,;=", static_cast<char>(c)) || c == 0))
            return false;
    }
    return true;
}

CFURLRef NewUrl(std::u16string text, CFURLRef base) {
    cf::Ref s(cf::NewString(std::move(text)));
    auto* url = new __CFURL(static_cast<CFStringRef>(s.get()), base);
    return url;
}

CFURLRef UrlFromPath(std::u16string path, CFURLPathStyle style, bool isDirectory) {
    if (style == kCFURLWindowsPathStyle) {
        for (char16_t& c : path)
            c = c == u'\\' ? u'/' : c;
    }
    const bool driveLetter = path.size() >= 2 && path[1] == u':';
    const bool absolute = driveLetter || (!path.empty() && path[0] == u'/');
    std::u16string text = absolute ? u"file://" : u"";
    if (driveLetter)
        text += u'/';
    AppendEscaped(path, &text);
    if (isDirectory && (text.empty() || text.back() != u'/'))
        text += u'/';
    return NewUrl(std::move(text), nullptr);
}

bool FileSystemPath(const __CFURL& url, CFURLPathStyle style, std::u16string* out) {
    const auto* s = As<__CFString>(url.string);
    const UrlParts parts = Split(s->units);
    if (!parts.scheme.empty() && parts.scheme != u"file")
        return false;
    std::u16string path;
    if (!Unescape(parts.path, &path))
        return false;
    if (path.size() > 1 && path.back() == u'/')
        path.pop_back();
    if (style == kCFURLWindowsPathStyle) {
        if (path.size() >= 3 && path[0] == u'/' && path[2] == u':')
            path.erase(0, 1);
        for (char16_t& c : path)
            c = c == u'/' ? u'\\' : c;
    }
    *out = std::move(path);
    return true;
}

CFStringRef CopyPart(CFURLRef anURL, std::u16string_view UrlParts::*member) {
    const __CFURL* url = As<__CFURL>(anURL);
    if (!url)
        return nullptr;
    return Guard<CFStringRef>(nullptr, [&]() -> CFStringRef {
        const UrlParts parts = Split(As<__CFString>(url->string)->units);
        const std::u16string_view part = parts.*member;
        if (part.empty() && member != &UrlParts::path)
            return nullptr;
        return cf::NewString(std::u16string(part));
    });
}

} // namespace

__CFURL::__CFURL(CFStringRef text, CFURLRef baseUrl) : Object(kTypeId, false), string(text), base(baseUrl) {
    cf::Retain(string);
    cf::Retain(base);
}

__CFURL::~__CFURL() {
    cf::Release(string);
    cf::Release(base);
}

bool __CFURL::Equals(const Object& other) const {
    const auto& o = static_cast<const __CFURL&>(other);
    return cf::Equal(string, o.string) && cf::Equal(base, o.base);
}

CFHashCode __CFURL::Hash() const { return cf::Hash(string); }

std::u16string __CFURL::Describe() const { return cf::Describe(string); }

CFTypeID CFURLGetTypeID() { return cf::kTypeIdURL; }

CFURLRef CFURLCreateWithBytes(CFAllocatorRef, const uint8_t* URLBytes, CFIndex length, CFStringEncoding encoding,
                              CFURLRef baseURL) {
    if (length < 0 || (!URLBytes && length > 0))
        return nullptr;
    return Guard<CFURLRef>(nullptr, [&]() -> CFURLRef {
        cf::Ref text(CFStringCreateWithBytes(nullptr, URLBytes, length, encoding, 0));
        if (!text)
            return nullptr;
        return new __CFURL(static_cast<CFStringRef>(text.get()), As<__CFURL>(baseURL));
    });
}

CFURLRef CFURLCreateWithString(CFAllocatorRef, CFStringRef URLString, CFURLRef baseURL) {
    const __CFString* s = As<__CFString>(URLString);
    if (!s || !IsUrlText(s->units))
        return nullptr;
    return Guard<CFURLRef>(nullptr, [&]() -> CFURLRef {
        cf::Ref text(CFStringCreateCopy(nullptr, s));
        return new __CFURL(static_cast<CFStringRef>(text.get()), As<__CFURL>(baseURL));
    });
}

CFURLRef CFURLCreateWithFileSystemPath(CFAllocatorRef, CFStringRef filePath, CFURLPathStyle pathStyle,
                                       Boolean isDirectory) {
    const __CFString* s = As<__CFString>(filePath);
    if (!s || (pathStyle != kCFURLPOSIXPathStyle && pathStyle != kCFURLWindowsPathStyle))
        return nullptr;
    return Guard<CFURLRef>(nullptr, [&] { return UrlFromPath(s->units, pathStyle, isDirectory != 0); });
}

CFURLRef CFURLCreateFromFileSystemRepresentation(CFAllocatorRef, const uint8_t* buffer, CFIndex bufLen,
                                                 Boolean isDirectory) {
    if (bufLen < 0 || (!buffer && bufLen > 0))
        return nullptr;
    return Guard<CFURLRef>(nullptr, [&]() -> CFURLRef {
        std::u16string path;
        if (!cf::DecodeUtf8(buffer, static_cast<size_t>(bufLen), &path))
            return nullptr;
        return UrlFromPath(std::move(path), kCFURLWindowsPathStyle, isDirectory != 0);
    });
}

CFDataRef CFURLCreateData(CFAllocatorRef allocator, CFURLRef url, CFStringEncoding encoding, Boolean) {
    const __CFURL* u = As<__CFURL>(url);
    if (!u)
        return nullptr;
    return CFStringCreateExternalRepresentation(allocator, u->string, encoding, 0);
}

CFStringRef CFURLGetString(CFURLRef anURL) {
    const __CFURL* u = As<__CFURL>(anURL);
    return u ? u->string : nullptr;
}

CFURLRef CFURLGetBaseURL(CFURLRef anURL) {
    const __CFURL* u = As<__CFURL>(anURL);
    return u ? u->base : nullptr;
}

CFIndex CFURLGetBytes(CFURLRef url, uint8_t* buffer, CFIndex bufferLength) {
    const __CFURL* u = As<__CFURL>(url);
    if (!u)
        return -1;
    return Guard<CFIndex>(-1, [&]() -> CFIndex {
        const std::string bytes = cf::ToUtf8(As<__CFString>(u->string)->units);
        if (!buffer)
            return static_cast<CFIndex>(bytes.size());
        if (bufferLength < 0 || bytes.size() > static_cast<size_t>(bufferLength))
            return -1;
        std::memcpy(buffer, bytes.data(), bytes.size());
        return static_cast<CFIndex>(bytes.size());
    });
}

CFStringRef CFURLCopyScheme(CFURLRef anURL) { return CopyPart(anURL, &UrlParts::scheme); }

CFStringRef CFURLCopyHostName(CFURLRef anURL) {
    const __CFURL* url = As<__CFURL>(anURL);
    if (!url)
        return nullptr;
    return Guard<CFStringRef>(nullptr, [&]() -> CFStringRef {
        std::u16string_view host = Split(As<__CFString>(url->string)->units).authority;
        const size_t at = host.rfind(u'@');
        if (at != std::u16string_view::npos)
            host.remove_prefix(at + 1);
        const size_t colon = host.rfind(u':');
        if (colon != std::u16string_view::npos && host.find(u']', colon) == std::u16string_view::npos)
            host = host.substr(0, colon);
        return host.empty() ? nullptr : cf::NewString(std::u16string(host));
    });
}

CFStringRef CFURLCopyPath(CFURLRef anURL) { return CopyPart(anURL, &UrlParts::path); }

CFStringRef CFURLCopyFileSystemPath(CFURLRef anURL, CFURLPathStyle pathStyle) {
    const __CFURL* url = As<__CFURL>(anURL);
    if (!url || (pathStyle != kCFURLPOSIXPathStyle && pathStyle != kCFURLWindowsPathStyle))
        return nullptr;
    return Guard<CFStringRef>(nullptr, [&]() -> CFStringRef {
        std::u16string path;
        if (!FileSystemPath(*url, pathStyle, &path))
            return nullptr;
        return cf::NewString(std::move(path));
    });
}

Boolean CFURLGetFileSystemRepresentation(CFURLRef url, Boolean, uint8_t* buffer, CFIndex maxBufLen) {
    const __CFURL* u = As<__CFURL>(url);
    if (!u || !buffer || maxBufLen <= 0)
        return 0;
    return Guard<Boolean>(0, [&]() -> Boolean {
        std::u16string path;
        if (!FileSystemPath(*u, kCFURLWindowsPathStyle, &path))
            return 0;
        const std::string bytes = cf::ToUtf8(path);
        if (bytes.size() + 1 > static_cast<size_t>(maxBufLen))
            return 0;
        std::memcpy(buffer, bytes.c_str(), bytes.size() + 1);
        return 1;
    });
}

Boolean CFURLHasDirectoryPath(CFURLRef anURL) {
    const __CFURL* url = As<__CFURL>(anURL);
    if (!url)
        return 0;
    const UrlParts parts = Split(As<__CFString>(url->string)->units);
    return !parts.path.empty() && parts.path.back() == u'/' ? 1 : 0;
}

CFStringRef CFURLCopyLastPathComponent(CFURLRef url) {
    const __CFURL* u = As<__CFURL>(url);
    if (!u)
        return nullptr;
    return Guard<CFStringRef>(nullptr, [&]() -> CFStringRef {
        std::u16string_view path = Split(As<__CFString>(u->string)->units).path;
        if (path.size() > 1 && path.back() == u'/')
            path.remove_suffix(1);
        const size_t slash = path.rfind(u'/');
        if (slash != std::u16string_view::npos && path.size() > 1)
            path.remove_prefix(slash + 1);
        std::u16string component;
        if (!Unescape(path, &component))
            return nullptr;
        return cf::NewString(std::move(component));
    });
}

CFStringRef CFURLCopyPathExtension(CFURLRef url) {
    cf::Ref last(CFURLCopyLastPathComponent(url));
    const __CFString* s = As<__CFString>(last.get());
    if (!s)
        return nullptr;
    const size_t dot = s->units.rfind(u'.');
    if (dot == std::u16string::npos || dot == 0 || dot + 1 == s->units.size())
        return nullptr;
    return CFStringCreateWithSubstring(
        nullptr, s, CFRange{static_cast<CFIndex>(dot + 1), static_cast<CFIndex>(s->units.size() - dot - 1)});
}

CFStringRef CFURLCreateStringByReplacingPercentEscapes(CFAllocatorRef, CFStringRef originalString,
                                                       CFStringRef charactersToLeaveEscaped) {
    const __CFString* s = As<__CFString>(originalString);
    if (!s)
        return nullptr;
    if (!charactersToLeaveEscaped) {
        cf::Retain(s);
        return s;
    }
    return Guard<CFStringRef>(nullptr, [&]() -> CFStringRef {
        std::u16string text;
        if (!Unescape(s->units, &text))
            return nullptr;
        return cf::NewString(std::move(text));
    });
}

CFStringRef CFURLCreateStringByReplacingPercentEscapesUsingEncoding(CFAllocatorRef allocator, CFStringRef origString,
                                                                    CFStringRef charsToLeaveEscaped,
                                                                    CFStringEncoding encoding) {
    if (encoding != kCFStringEncodingUTF8)
        return nullptr;
    return CFURLCreateStringByReplacingPercentEscapes(
        allocator, origString, charsToLeaveEscaped ? charsToLeaveEscaped : __CFStringMakeConstantString(""));
}

// ---- UUIDs ------------------------------------------------------------------------------------

__CFUUID::__CFUUID(const uint8_t (&value)[16], bool isImmortal) : Object(kTypeId, isImmortal) {
    std::memcpy(bytes, value, sizeof bytes);
}

bool __CFUUID::Equals(const Object& other) const {
    return std::memcmp(bytes, static_cast<const __CFUUID&>(other).bytes, sizeof bytes) == 0;
}

CFHashCode __CFUUID::Hash() const {
    uint32_t h = 2166136261u;
    for (uint8_t b : bytes)
        h = (h ^ b) * 16777619u;
    return h;
}

std::u16string __CFUUID::Describe() const {
    char text[40];
    std::snprintf(text, sizeof text, "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", bytes[0],
                  bytes[1], bytes[2], bytes[3], bytes[4], bytes[5], bytes[6], bytes[7], bytes[8], bytes[9], bytes[10],
                  bytes[11], bytes[12], bytes[13], bytes[14], bytes[15]);
    return cf::FromAscii(text);
}

namespace {

bool RandomBytes(uint8_t* out, DWORD n) {
    static std::once_flag once;
    static HCRYPTPROV provider = 0;
    std::call_once(once, [] {
        if (!::CryptAcquireContextW(&provider, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT | CRYPT_SILENT))
            provider = 0;
    });
    return provider && ::CryptGenRandom(provider, n, out);
}

struct ConstantUuids {
    std::mutex lock;
    std::vector<__CFUUID*> uuids;
};

} // namespace

CFTypeID CFUUIDGetTypeID() { return cf::kTypeIdUUID; }

CFUUIDRef CFUUIDCreate(CFAllocatorRef) {
    return Guard<CFUUIDRef>(nullptr, []() -> CFUUIDRef {
        uint8_t b[16];
        if (!RandomBytes(b, sizeof b))
            return nullptr;
        b[6] = static_cast<uint8_t>((b[6] & 0x0F) | 0x40); // version 4
        b[8] = static_cast<uint8_t>((b[8] & 0x3F) | 0x80); // RFC 4122 variant
        return new __CFUUID(b, false);
    });
}

CFUUIDRef CFUUIDCreateFromUUIDBytes(CFAllocatorRef, CFUUIDBytes bytes) {
    return Guard<CFUUIDRef>(nullptr, [&] {
        uint8_t b[16];
        std::memcpy(b, &bytes, sizeof b);
        return new __CFUUID(b, false);
    });
}

CFUUIDRef CFUUIDCreateWithBytes(CFAllocatorRef alloc, uint8_t byte0, uint8_t byte1, uint8_t byte2, uint8_t byte3,
                                uint8_t byte4, uint8_t byte5, uint8_t byte6, uint8_t byte7, uint8_t byte8,
                                uint8_t byte9, uint8_t byte10, uint8_t byte11, uint8_t byte12, uint8_t byte13,
                                uint8_t byte14, uint8_t byte15) {
    const CFUUIDBytes b{byte0, byte1, byte2,  byte3,  byte4,  byte5,  byte6,  byte7,
                        byte8, byte9, byte10, byte11, byte12, byte13, byte14, byte15};
    return CFUUIDCreateFromUUIDBytes(alloc, b);
}

CFUUIDRef CFUUIDGetConstantUUIDWithBytes(CFAllocatorRef, uint8_t byte0, uint8_t byte1, uint8_t byte2, uint8_t byte3,
                                         uint8_t byte4, uint8_t byte5, uint8_t byte6, uint8_t byte7, uint8_t byte8,
                                         uint8_t byte9, uint8_t byte10, uint8_t byte11, uint8_t byte12, uint8_t byte13,
                                         uint8_t byte14, uint8_t byte15) {
    const uint8_t b[16] = {byte0, byte1, byte2,  byte3,  byte4,  byte5,  byte6,  byte7,
                           byte8, byte9, byte10, byte11, byte12, byte13, byte14, byte15};
    return Guard<CFUUIDRef>(nullptr, [&]() -> CFUUIDRef {
        static ConstantUuids* table = new ConstantUuids; // lives as long as the process
        std::lock_guard<std::mutex> hold(table->lock);
        for (__CFUUID* u : table->uuids) {
            if (std::memcmp(u->bytes, b, sizeof b) == 0)
                return u;
        }
        auto* u = new __CFUUID(b, true);
        table->uuids.push_back(u);
        return u;
    });
}

CFUUIDRef CFUUIDCreateFromString(CFAllocatorRef, CFStringRef uuidStr) {
    const __CFString* s = As<__CFString>(uuidStr);
    if (!s || s->units.size() != 36)
        return nullptr;
    uint8_t b[16];
    size_t k = 0;
    for (size_t i = 0; i < 36;) {
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            if (s->units[i++] != u'-')
                return nullptr;
            continue;
        }
        const int hi = HexValue(s->units[i]), lo = HexValue(s->units[i + 1]);
        if (hi < 0 || lo < 0)
            return nullptr;
        b[k++] = static_cast<uint8_t>(hi * 16 + lo);
        i += 2;
    }
    return Guard<CFUUIDRef>(nullptr, [&] { return new __CFUUID(b, false); });
}

CFStringRef CFUUIDCreateString(CFAllocatorRef, CFUUIDRef uuid) {
    const __CFUUID* u = As<__CFUUID>(uuid);
    if (!u)
        return nullptr;
    return Guard<CFStringRef>(nullptr, [&] { return cf::NewString(u->Describe()); });
}

CFUUIDBytes CFUUIDGetUUIDBytes(CFUUIDRef uuid) {
    CFUUIDBytes bytes{};
    const __CFUUID* u = As<__CFUUID>(uuid);
    if (u)
        std::memcpy(&bytes, u->bytes, sizeof bytes);
    return bytes;
}

// ---- errors ------------------------------------------------------------------------------------

__CFError::__CFError(CFStringRef errorDomain, CFIndex errorCode, CFDictionaryRef info)
    : Object(kTypeId, false), domain(errorDomain), code(errorCode), userInfo(info) {
    cf::Retain(domain);
    cf::Retain(userInfo);
}

__CFError::~__CFError() {
    cf::Release(domain);
    cf::Release(userInfo);
}

bool __CFError::Equals(const Object& other) const {
    const auto& o = static_cast<const __CFError&>(other);
    return code == o.code && cf::Equal(domain, o.domain) && cf::Equal(userInfo, o.userInfo);
}

std::u16string __CFError::Describe() const {
    cf::Ref text(CFErrorCopyDescription(const_cast<__CFError*>(this)));
    return cf::Describe(text.get());
}

namespace cf {

__CFError* NewError(CFIndex code, const std::u16string& description) {
    Ref key(__CFStringMakeConstantString("NSDebugDescription"));
    Ref value(NewString(description));
    const void* keys[] = {key.get()};
    const void* values[] = {value.get()};
    Ref info(
        CFDictionaryCreate(nullptr, keys, values, 1, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
    return new __CFError(__CFStringMakeConstantString("NSCocoaErrorDomain"), code,
                         static_cast<CFDictionaryRef>(info.get()));
}

} // namespace cf

CFTypeID CFErrorGetTypeID() { return cf::kTypeIdError; }

CFErrorRef CFErrorCreate(CFAllocatorRef, CFErrorDomain domain, CFIndex code, CFDictionaryRef userInfo) {
    if (!As<__CFString>(domain))
        return nullptr;
    return Guard<CFErrorRef>(nullptr, [&]() -> CFErrorRef {
        cf::Ref info(userInfo ? CFDictionaryCreateCopy(nullptr, userInfo) : nullptr);
        return new __CFError(domain, code, static_cast<CFDictionaryRef>(info.get()));
    });
}

CFErrorRef CFErrorCreateWithUserInfoKeysAndValues(CFAllocatorRef allocator, CFErrorDomain domain, CFIndex code,
                                                  const void* const* userInfoKeys, const void* const* userInfoValues,
                                                  CFIndex numUserInfoValues) {
    cf::Ref info(CFDictionaryCreate(nullptr, const_cast<const void**>(userInfoKeys),
                                    const_cast<const void**>(userInfoValues), numUserInfoValues,
                                    &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
    if (!info)
        return nullptr;
    return CFErrorCreate(allocator, domain, code, static_cast<CFDictionaryRef>(info.get()));
}

CFErrorDomain CFErrorGetDomain(CFErrorRef err) {
    const __CFError* e = As<__CFError>(err);
    return e ? e->domain : nullptr;
}

CFIndex CFErrorGetCode(CFErrorRef err) {
    const __CFError* e = As<__CFError>(err);
    return e ? e->code : 0;
}

CFDictionaryRef CFErrorCopyUserInfo(CFErrorRef err) {
    const __CFError* e = As<__CFError>(err);
    if (!e)
        return nullptr;
    if (e->userInfo) {
        cf::Retain(e->userInfo);
        return e->userInfo;
    }
    return CFDictionaryCreate(nullptr, nullptr, nullptr, 0, &kCFTypeDictionaryKeyCallBacks,
                              &kCFTypeDictionaryValueCallBacks);
}

namespace {

CFStringRef CopyInfoString(const __CFError* e, const char* key) {
    const void* value = CFDictionaryGetValue(e->userInfo, __CFStringMakeConstantString(key));
    if (!As<__CFString>(value))
        return nullptr;
    cf::Retain(value);
    return static_cast<CFStringRef>(value);
}

} // namespace

CFStringRef CFErrorCopyDescription(CFErrorRef err) {
    const __CFError* e = As<__CFError>(err);
    if (!e)
        return nullptr;
    if (CFStringRef localized = CopyInfoString(e, "NSLocalizedDescription"))
        return localized;
    return Guard<CFStringRef>(nullptr, [&] {
        std::u16string text = u"The operation couldn\u2019t be completed. (" + cf::Describe(e->domain) + u" error " +
                              cf::FromAscii(std::to_string(e->code).c_str());
        cf::Ref debug(CopyInfoString(e, "NSDebugDescription"));
        if (debug)
            text += u" - " + cf::Describe(debug.get());
        return cf::NewString(text + u".)");
    });
}

CFStringRef CFErrorCopyFailureReason(CFErrorRef err) {
    const __CFError* e = As<__CFError>(err);
    return e ? CopyInfoString(e, "NSLocalizedFailureReason") : nullptr;
}

CFStringRef CFErrorCopyRecoverySuggestion(CFErrorRef err) {
    const __CFError* e = As<__CFError>(err);
    return e ? CopyInfoString(e, "NSLocalizedRecoverySuggestion") : nullptr;
}
