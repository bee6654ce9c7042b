// Conversions between the farm's property-list values and the value
// library's types, for what the device library hands to and takes from its
// callers.
#pragma once

#include "sim/farm/plist.h"
#include "values/CoreFoundation.h"

#include <string>

namespace mdsim {

// An owned value of the value library; released when the holder goes.
class CfHolder {
  public:
    CfHolder() = default;
    explicit CfHolder(CFTypeRef value) : m_value(value) {}
    ~CfHolder() {
        if (m_value)
            CFRelease(m_value);
    }
    CfHolder(const CfHolder&) = delete;
    CfHolder& operator=(const CfHolder&) = delete;
    CFTypeRef get() const { return m_value; }
    CFTypeRef release() {
        CFTypeRef v = m_value;
        m_value = nullptr;
        return v;
    }
    explicit operator bool() const { return m_value != nullptr; }

  private:
    CFTypeRef m_value = nullptr;
};

// A new value of the value library (owned by the caller); null for a Null
// value or when the library refuses it.
CFTypeRef CreateCfValue(const simfarm::Value& value);
CFStringRef CreateCfString(const std::string& utf8);

// The farm value of a value-library value. Types the farm does not hold
// (URLs, UUIDs...) and nesting deeper than 64 levels fail.
bool ValueFromCf(CFTypeRef cf, simfarm::Value* out);
// The UTF-8 text of a string value.
bool StringFromCf(CFTypeRef cf, std::string* out);

} // namespace mdsim
