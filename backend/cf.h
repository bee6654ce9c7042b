// Small helpers over the value library (values/CoreFoundation.h), which the
// backend calls directly: an owner that releases, a dictionary builder, and
// typed reads of a received dictionary.
#pragma once

#include "platform/cf_ref.h"
#include "values/CoreFoundation.h"

#include <cstdint>
#include <string>

namespace backend {

// The value library linked in, called directly.
struct LinkedValueLibrary {
    static void Retain(CFTypeRef value) { CFRetain(value); }
    static void Release(CFTypeRef value) { CFRelease(value); }
};

// Owns one reference of a value (null allowed).
template <typename T> using Owned = CFRef<T, LinkedValueLibrary>;

Owned<CFStringRef> MakeString(const std::string& utf8);
Owned<CFDataRef> MakeData(const std::string& bytes);

// A mutable dictionary with string keys, filled in one go.
class Dictionary {
  public:
    Dictionary();
    Dictionary& Set(const char* key, const char* text);
    Dictionary& Set(const char* key, const std::string& text) { return Set(key, text.c_str()); }
    Dictionary& SetInteger(const char* key, int64_t value);
    Dictionary& SetData(const char* key, const std::string& bytes);
    Dictionary& SetValue(const char* key, CFTypeRef value); // retained; null leaves the key out
    CFDictionaryRef get() const { return m_dict.get(); }

  private:
    Owned<CFMutableDictionaryRef> m_dict;
};

bool IsDictionary(CFTypeRef value);
// The value of `key` in a dictionary (borrowed), or null.
CFTypeRef Find(CFDictionaryRef dict, const char* key);
// A string value as UTF-8 ("" when missing or not a string).
std::string Text(CFTypeRef value);
std::string TextOf(CFDictionaryRef dict, const char* key);
// A data value's bytes, or a string's ("" otherwise).
std::string BytesOf(CFDictionaryRef dict, const char* key);
bool IntegerOf(CFDictionaryRef dict, const char* key, int64_t* value);
bool BoolOf(CFDictionaryRef dict, const char* key);

// A property list as XML, and one read back (XML or binary); null when the
// bytes are not a property list.
std::string XmlOf(CFTypeRef value);
Owned<CFTypeRef> ParsePlist(const void* bytes, size_t size);

} // namespace backend
