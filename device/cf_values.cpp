#include "device/cf_values.h"

#include "platform/cf_text.h"

namespace {

bool HasType(CFTypeRef value, CFTypeID type) { return value && vendor::CFGetTypeID(value) == type; }

} // namespace

CFStringRef AsString(CFTypeRef value) {
    return HasType(value, vendor::CFStringGetTypeID()) ? static_cast<CFStringRef>(value) : nullptr;
}

CFDictionaryRef AsDictionary(CFTypeRef value) {
    return HasType(value, vendor::CFDictionaryGetTypeID()) ? static_cast<CFDictionaryRef>(value) : nullptr;
}

CFArrayRef AsArray(CFTypeRef value) {
    return HasType(value, vendor::CFArrayGetTypeID()) ? static_cast<CFArrayRef>(value) : nullptr;
}

CFDataRef AsData(CFTypeRef value) {
    return HasType(value, vendor::CFDataGetTypeID()) ? static_cast<CFDataRef>(value) : nullptr;
}

CFNumberRef AsNumber(CFTypeRef value) {
    return HasType(value, vendor::CFNumberGetTypeID()) ? static_cast<CFNumberRef>(value) : nullptr;
}

CFBooleanRef AsBoolean(CFTypeRef value) {
    return HasType(value, vendor::CFBooleanGetTypeID()) ? static_cast<CFBooleanRef>(value) : nullptr;
}

CFTypeRef DictionaryValue(CFTypeRef dictionary, const char* key) {
    CFDictionaryRef dict = AsDictionary(dictionary);
    if (!dict || !key)
        return nullptr;
    return vendor::CFDictionaryGetValue(dict, CFConstant(key));
}

std::wstring StringText(CFTypeRef value) { return CFStringToWide(AsString(value)); }

int32_t BooleanFlag(CFTypeRef value) {
    CFBooleanRef boolean = AsBoolean(value);
    return boolean && vendor::CFBooleanGetValue(boolean) ? 1 : 0;
}

bool NumberAsInt64(CFTypeRef value, int64_t* out) {
    CFNumberRef number = AsNumber(value);
    if (!number || !out)
        return false;
    int64_t result = 0;
    vendor::CFNumberGetValue(number, kCFNumberLongLongType, &result);
    *out = result;
    return true;
}

bool NumberAsInt32(CFTypeRef value, CFNumberType type, int32_t* out) {
    CFNumberRef number = AsNumber(value);
    if (!number || !out)
        return false;
    int32_t result = 0;
    vendor::CFNumberGetValue(number, type, &result);
    *out = result;
    return true;
}
