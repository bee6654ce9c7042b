#include "tools/orvexctl/output.h"

namespace orvexctl {

Stream::Stream(DWORD which) : m_handle(::GetStdHandle(which)) {
    DWORD mode = 0;
    m_console = m_handle && m_handle != INVALID_HANDLE_VALUE && ::GetConsoleMode(m_handle, &mode);
}

int Stream::columns() const {
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!m_console || !::GetConsoleScreenBufferInfo(m_handle, &info))
        return 80;
    int columns = info.srWindow.Right - info.srWindow.Left + 1;
    return columns > 10 ? columns : 80;
}

void Stream::Write(const std::wstring& text) const {
    if (!m_handle || m_handle == INVALID_HANDLE_VALUE || text.empty())
        return;
    DWORD written = 0;
    if (m_console) {
        // WriteConsoleW takes at most a few thousand units at a time on some systems.
        const size_t kPiece = 4096;
        for (size_t at = 0; at < text.size(); at += kPiece) {
            size_t n = std::min(kPiece, text.size() - at);
            if (!::WriteConsoleW(m_handle, text.data() + at, static_cast<DWORD>(n), &written, nullptr))
                return;
        }
        return;
    }
    std::string bytes = ToUtf8(text);
    size_t at = 0;
    while (at < bytes.size()) {
        if (!::WriteFile(m_handle, bytes.data() + at, static_cast<DWORD>(bytes.size() - at), &written, nullptr) ||
            written == 0)
            return; // a closed pipe: nothing more can be said
        at += written;
    }
}

Stream& Out() {
    static Stream stream(STD_OUTPUT_HANDLE);
    return stream;
}

Stream& Err() {
    static Stream stream(STD_ERROR_HANDLE);
    return stream;
}

std::string ToUtf8(const std::wstring& text) {
    if (text.empty())
        return std::string();
    int n = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string bytes(n > 0 ? n : 0, '\0');
    if (n > 0)
        ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), bytes.data(), n, nullptr,
                              nullptr);
    return bytes;
}

std::wstring FromUtf8(const std::string& bytes) {
    if (bytes.empty())
        return std::wstring();
    int n = ::MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
    std::wstring text(n > 0 ? n : 0, L'\0');
    if (n > 0)
        ::MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), text.data(), n);
    return text;
}

namespace {

bool IsWide(unsigned long c) {
    return (c >= 0x1100 && c <= 0x115F) || (c >= 0x2E80 && c <= 0x303E) || (c >= 0x3041 && c <= 0x33FF) ||
           (c >= 0x3400 && c <= 0x4DBF) || (c >= 0x4E00 && c <= 0x9FFF) || (c >= 0xA000 && c <= 0xA4CF) ||
           (c >= 0xAC00 && c <= 0xD7A3) || (c >= 0xF900 && c <= 0xFAFF) || (c >= 0xFE30 && c <= 0xFE4F) ||
           (c >= 0xFF00 && c <= 0xFF60) || (c >= 0xFFE0 && c <= 0xFFE6) || (c >= 0x1F300 && c <= 0x1F64F) ||
           (c >= 0x1F900 && c <= 0x1F9FF) || (c >= 0x20000 && c <= 0x3FFFD);
}

bool IsZeroWidth(unsigned long c) {
    return (c >= 0x0300 && c <= 0x036F) || (c >= 0x200B && c <= 0x200F) || (c >= 0xFE00 && c <= 0xFE0F) ||
           (c >= 0x20D0 && c <= 0x20FF);
}

} // namespace

int DisplayWidth(const std::wstring& text) {
    int width = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        unsigned long c = static_cast<unsigned short>(text[i]);
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size()) {
            unsigned long low = static_cast<unsigned short>(text[i + 1]);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
                ++i;
            }
        }
        if (c < 0x20 || IsZeroWidth(c))
            continue;
        width += IsWide(c) ? 2 : 1;
    }
    return width;
}

std::wstring PadRight(const std::wstring& text, int width) {
    int have = DisplayWidth(text);
    return have >= width ? text : text + std::wstring(width - have, L' ');
}

} // namespace orvexctl
