#include "backend/cf.h"

namespace backend {

Owned<CFStringRef> MakeString(const std::string& utf8) {
    return Owned<CFStringRef>(CFStringCreateWithBytes(nullptr, reinterpret_cast<const uint8_t*>(utf8.data()),
                                                      static_cast<CFIndex>(utf8.size()), kCFStringEncodingUTF8, false));
}

Owned<CFDataRef> MakeData(const std::string& bytes) {
    return Owned<CFDataRef>(
        CFDataCreate(nullptr, reinterpret_cast<const uint8_t*>(bytes.data()), static_cast<CFIndex>(bytes.size())));
}

Dictionary::Dictionary()
    : m_dict(CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks)) {}

Dictionary& Dictionary::SetValue(const char* key, CFTypeRef value) {
    Owned<CFStringRef> name = MakeString(key);
    if (m_dict && name && value)
        CFDictionarySetValue(m_dict.get(), name.get(), value);
    return *this;
}

Dictionary& Dictionary::Set(const char* key, const char* text) { return SetValue(key, MakeString(text).get()); }

Dictionary& Dictionary::SetInteger(const char* key, int64_t value) {
    Owned<CFNumberRef> number(CFNumberCreate(nullptr, kCFNumberSInt64Type, &value));
    return SetValue(key, number.get());
}

Dictionary& Dictionary::SetData(const char* key, const std::string& bytes) {
    return SetValue(key, MakeData(bytes).get());
}

bool IsDictionary(CFTypeRef value) { return value && CFGetTypeID(value) == CFDictionaryGetTypeID(); }

CFTypeRef Find(CFDictionaryRef dict, const char* key) {
    if (!IsDictionary(dict))
        return nullptr;
    Owned<CFStringRef> name = MakeString(key);
    return name ? CFDictionaryGetValue(dict, name.get()) : nullptr;
}

std::string Text(CFTypeRef value) {
    if (!value || CFGetTypeID(value) != CFStringGetTypeID())
        return std::string();
    CFStringRef string = static_cast<CFStringRef>(value);
    const CFIndex length = CFStringGetLength(string);
    CFIndex size = 0;
    CFStringGetBytes(string, CFRange{0, length}, kCFStringEncodingUTF8, 0, false, nullptr, 0, &size);
    std::string text(static_cast<size_t>(size), '\0');
    if (size > 0)
        CFStringGetBytes(string, CFRange{0, length}, kCFStringEncodingUTF8, 0, false,
                         reinterpret_cast<uint8_t*>(text.data()), size, &size);
    text.resize(static_cast<size_t>(size));
    return text;
}

std::string TextOf(CFDictionaryRef dict, const char* key) { return Text(Find(dict, key)); }

std::string BytesOf(CFDictionaryRef dict, const char* key) {
    CFTypeRef value = Find(dict, key);
    if (value && CFGetTypeID(value) == CFDataGetTypeID()) {
        CFDataRef data = static_cast<CFDataRef>(value);
        const uint8_t* bytes = CFDataGetBytePtr(data);
        const CFIndex length = CFDataGetLength(data);
        return bytes && length > 0 ? std::string(reinterpret_cast<const char*>(bytes), static_cast<size_t>(length))
                                   : std::string();
    }
    return Text(value);
}

bool IntegerOf(CFDictionaryRef dict, const char* key, int64_t* value) {
    CFTypeRef number = Find(dict, key);
    if (!number || CFGetTypeID(number) != CFNumberGetTypeID())
        return false;
    int64_t read = 0;
    if (!CFNumberGetValue(static_cast<CFNumberRef>(number), kCFNumberSInt64Type, &read))
        return false;
    *value = read;
    return true;
}

bool BoolOf(CFDictionaryRef dict, const char* key) {
    CFTypeRef value = Find(dict, key);
    return value && CFGetTypeID(value) == CFBooleanGetTypeID() && CFBooleanGetValue(static_cast<CFBooleanRef>(value));
}

std::string XmlOf(CFTypeRef value) {
    Owned<CFDataRef> data(CFPropertyListCreateData(nullptr, value, kCFPropertyListXMLFormat_v1_0, 0, nullptr));
    if (!data)
        return std::string();
    const uint8_t* bytes = CFDataGetBytePtr(data.get());
    return std::string(reinterpret_cast<const char*>(bytes), static_cast<size_t>(CFDataGetLength(data.get())));
}

Owned<CFTypeRef> ParsePlist(const void* bytes, size_t size) {
    Owned<CFDataRef> data(CFDataCreate(nullptr, static_cast<const uint8_t*>(bytes), static_cast<CFIndex>(size)));
    if (!data)
        return Owned<CFTypeRef>();
    return Owned<CFTypeRef>(
        CFPropertyListCreateWithData(nullptr, data.get(), kCFPropertyListImmutable, nullptr, nullptr));
}

} // namespace backend
