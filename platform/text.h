// Text conversions between the UTF-16 of the exported interface and the
// UTF-8 of the device, the vendor libraries and the log file.
#pragma once

#include <cstddef>
#include <string>

// Null input gives empty text.
std::wstring Utf8ToWide(const char* text);
std::wstring Utf8ToWide(const char* bytes, size_t length);
std::string WideToUtf8(const wchar_t* text);
std::string WideToUtf8(const wchar_t* units, size_t length);

// Copies `text` into a fixed text field of `capacity` units (terminator
// included). A longer text is cut at capacity - 1 units, never between the
// two halves of a surrogate pair. Returns false when the text was cut.
bool CopyToField(wchar_t* field, size_t capacity, const wchar_t* text);
bool CopyToField(wchar_t* field, size_t capacity, const std::wstring& text);

template <size_t N> bool CopyToField(wchar_t (&field)[N], const std::wstring& text) {
    return CopyToField(field, N, text);
}
template <size_t N> bool CopyToField(wchar_t (&field)[N], const wchar_t* text) { return CopyToField(field, N, text); }
