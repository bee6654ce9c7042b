#include "platform/text.h"

#include <windows.h>

#include <cstring>
#include <cwchar>

std::wstring Utf8ToWide(const char* bytes, size_t length) {
    if (!bytes || length == 0)
        return std::wstring();
    int n = ::MultiByteToWideChar(CP_UTF8, 0, bytes, static_cast<int>(length), nullptr, 0);
    if (n <= 0)
        return std::wstring();
    std::wstring out(static_cast<size_t>(n), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, bytes, static_cast<int>(length), out.data(), n);
    return out;
}

std::wstring Utf8ToWide(const char* text) { return text ? Utf8ToWide(text, std::strlen(text)) : std::wstring(); }

std::string WideToUtf8(const wchar_t* units, size_t length) {
    if (!units || length == 0)
        return std::string();
    int n = ::WideCharToMultiByte(CP_UTF8, 0, units, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
    if (n <= 0)
        return std::string();
    std::string out(static_cast<size_t>(n), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, units, static_cast<int>(length), out.data(), n, nullptr, nullptr);
    return out;
}

std::string WideToUtf8(const wchar_t* text) { return text ? WideToUtf8(text, std::wcslen(text)) : std::string(); }

bool CopyToField(wchar_t* field, size_t capacity, const wchar_t* text) {
    if (!field || capacity == 0)
        return false;
    size_t length = text ? std::wcslen(text) : 0;
    bool fits = length < capacity;
    if (!fits) {
        length = capacity - 1;
        // Do not keep the first half of a surrogate pair without its second.
        if (length > 0 && text[length - 1] >= 0xD800 && text[length - 1] <= 0xDBFF)
            --length;
    }
    if (length > 0)
        std::wmemcpy(field, text, length);
    field[length] = L'\0';
    return fits;
}

bool CopyToField(wchar_t* field, size_t capacity, const std::wstring& text) {
    // Embedded zeros end the text, as they would for a C string.
    return CopyToField(field, capacity, text.c_str());
}
