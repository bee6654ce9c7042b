// Reading the values the device library answers with. Every value from the
// device is checked for its type before it is read: a key that holds
// something unexpected reads as absent, never as a value of another kind.
// All values here are borrowed; nothing is released.
#pragma once

#include "platform/cf_ref.h"

#include <cstdint>
#include <string>

// The value itself when it is of the named kind, else null.
CFStringRef AsString(CFTypeRef value);
CFDictionaryRef AsDictionary(CFTypeRef value);
CFArrayRef AsArray(CFTypeRef value);
CFDataRef AsData(CFTypeRef value);
CFNumberRef AsNumber(CFTypeRef value);
CFBooleanRef AsBoolean(CFTypeRef value);

// The value of `key` (UTF-8) in `dictionary`, or null when the dictionary
// is null or has no such key. Borrowed.
CFTypeRef DictionaryValue(CFTypeRef dictionary, const char* key);

// A string's text; empty when the value is not a string.
std::wstring StringText(CFTypeRef value);
// 1 for a true boolean, 0 for false or anything that is not a boolean.
int32_t BooleanFlag(CFTypeRef value);
// A number read as a 64-bit (number type 11) or 32-bit (type 3, type 9)
// integer; false when the value is not a number.
bool NumberAsInt64(CFTypeRef value, int64_t* out);
bool NumberAsInt32(CFTypeRef value, CFNumberType type, int32_t* out);
