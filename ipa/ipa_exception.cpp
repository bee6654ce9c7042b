#include "ipa/ipa_exception.h"

namespace {

std::wstring SystemText(DWORD error) {
    wchar_t* text = nullptr;
    DWORD n =
        ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                         nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::wstring result = n && text ? std::wstring(text, n) : L"错误 " + std::to_wstring(error);
    if (text)
        ::LocalFree(text);
    while (!result.empty() && (result.back() == L'\n' || result.back() == L'\r' || result.back() == L' '))
        result.pop_back();
    return result;
}

} // namespace

CIpaException FileError(const wchar_t* what, const std::wstring& path, DWORD error) {
    return CIpaException(std::wstring(what) + L": " + path + L" (" + SystemText(error) + L")");
}
