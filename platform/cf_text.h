// Conversions between the UTF-16 text of the exported interface and the
// string values of the vendor's value library. Both call only through the
// bound functions (platform/vendor_calls.h).
#pragma once

#include "platform/cf_ref.h"

#include <string>

// All of the string's UTF-16 units (surrogate pairs included), through its
// UTF-8 form. The string is not released. Null gives empty text.
std::wstring CFStringToWide(CFStringRef string);

// An owned string made from the UTF-8 form of `text`. Null gives an empty
// string.
CFRef<CFStringRef> WideToCFString(const wchar_t* text);
CFRef<CFStringRef> WideToCFString(const std::wstring& text);
