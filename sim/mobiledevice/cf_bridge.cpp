#include "sim/mobiledevice/cf_bridge.h"

#include <vector>

namespace mdsim {

using simfarm::Value;

CFStringRef CreateCfString(const std::string& utf8) {
    return CFStringCreateWithBytes(nullptr, reinterpret_cast<const uint8_t*>(utf8.data()),
                                   static_cast<CFIndex>(utf8.size()), kCFStringEncodingUTF8, false);
}

CFTypeRef CreateCfValue(const Value& value) {
    switch (value.kind()) {
    case Value::Kind::Null:
        return nullptr;
    case Value::Kind::Bool:
        return CFRetain(value.boolean() ? kCFBooleanTrue : kCFBooleanFalse);
    case Value::Kind::Integer: {
        int64_t n = value.integer();
        return CFNumberCreate(nullptr, kCFNumberSInt64Type, &n);
    }
    case Value::Kind::Real: {
        double d = value.real();
        return CFNumberCreate(nullptr, kCFNumberFloat64Type, &d);
    }
    case Value::Kind::String:
        return CreateCfString(value.text());
    case Value::Kind::Data:
        return CFDataCreate(nullptr, reinterpret_cast<const uint8_t*>(value.text().data()),
                            static_cast<CFIndex>(value.text().size()));
    case Value::Kind::Date:
        return CFDateCreate(nullptr, value.date());
    case Value::Kind::Array: {
        CFMutableArrayRef array = CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks);
        if (!array)
            return nullptr;
        for (const Value& item : value.items()) {
            CfHolder element(CreateCfValue(item));
            if (element)
                CFArrayAppendValue(array, element.get());
        }
        return array;
    }
    case Value::Kind::Dict: {
        CFMutableDictionaryRef dict =
            CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
        if (!dict)
            return nullptr;
        for (const Value::Entry& entry : value.entries()) {
            CfHolder key(CreateCfString(entry.first));
            CfHolder element(CreateCfValue(entry.second));
            if (key && element)
                CFDictionarySetValue(dict, key.get(), element.get());
        }
        return dict;
    }
    }
    return nullptr;
}

bool StringFromCf(CFTypeRef cf, std::string* out) {
    if (!cf || CFGetTypeID(cf) != CFStringGetTypeID())
        return false;
    CFStringRef text = static_cast<CFStringRef>(cf);
    CFIndex length = CFStringGetLength(text);
    CFIndex used = 0;
    CFStringGetBytes(text, CFRange{0, length}, kCFStringEncodingUTF8, 0, false, nullptr, 0, &used);
    std::string bytes(static_cast<size_t>(used), '\0');
    if (used > 0)
        CFStringGetBytes(text, CFRange{0, length}, kCFStringEncodingUTF8, 0, false,
                         reinterpret_cast<uint8_t*>(bytes.data()), used, &used);
    bytes.resize(static_cast<size_t>(used));
    *out = std::move(bytes);
    return true;
}

namespace {

bool Convert(CFTypeRef cf, int depth, Value* out) {
    if (!cf || depth > 64)
        return false;
    CFTypeID type = CFGetTypeID(cf);
    if (type == CFStringGetTypeID()) {
        std::string text;
        StringFromCf(cf, &text);
        *out = Value::String(std::move(text));
        return true;
    }
    if (type == CFBooleanGetTypeID()) {
        *out = Value::Bool(CFBooleanGetValue(static_cast<CFBooleanRef>(cf)) != 0);
        return true;
    }
    if (type == CFNumberGetTypeID()) {
        CFNumberRef number = static_cast<CFNumberRef>(cf);
        if (CFNumberIsFloatType(number)) {
            double d = 0;
            CFNumberGetValue(number, kCFNumberFloat64Type, &d);
            *out = Value::Real(d);
        } else {
            int64_t n = 0;
            CFNumberGetValue(number, kCFNumberSInt64Type, &n);
            *out = Value::Integer(n);
        }
        return true;
    }
    if (type == CFDataGetTypeID()) {
        CFDataRef data = static_cast<CFDataRef>(cf);
        const uint8_t* bytes = CFDataGetBytePtr(data);
        CFIndex length = CFDataGetLength(data);
        *out = Value::Data(bytes && length > 0
                               ? std::string(reinterpret_cast<const char*>(bytes), static_cast<size_t>(length))
                               : std::string());
        return true;
    }
    if (type == CFDateGetTypeID()) {
        *out = Value::Date(CFDateGetAbsoluteTime(static_cast<CFDateRef>(cf)));
        return true;
    }
    if (type == CFArrayGetTypeID()) {
        CFArrayRef array = static_cast<CFArrayRef>(cf);
        Value result = Value::Array();
        CFIndex count = CFArrayGetCount(array);
        for (CFIndex i = 0; i < count; ++i) {
            if (!Convert(CFArrayGetValueAtIndex(array, i), depth + 1, &result.Append(Value())))
                return false;
        }
        *out = std::move(result);
        return true;
    }
    if (type == CFDictionaryGetTypeID()) {
        CFDictionaryRef dict = static_cast<CFDictionaryRef>(cf);
        CFIndex count = CFDictionaryGetCount(dict);
        std::vector<const void*> keys(static_cast<size_t>(count)), values(static_cast<size_t>(count));
        if (count > 0)
            CFDictionaryGetKeysAndValues(dict, keys.data(), values.data());
        Value result = Value::Dict();
        for (CFIndex i = 0; i < count; ++i) {
            std::string key;
            Value element;
            if (!StringFromCf(keys[static_cast<size_t>(i)], &key) ||
                !Convert(values[static_cast<size_t>(i)], depth + 1, &element))
                return false;
            result.Set(key, std::move(element));
        }
        *out = std::move(result);
        return true;
    }
    return false;
}

} // namespace

bool ValueFromCf(CFTypeRef cf, Value* out) { return Convert(cf, 0, out); }

} // namespace mdsim
