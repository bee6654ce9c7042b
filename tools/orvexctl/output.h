// Standard output and standard error as orvexctl writes them: UTF-16
// through WriteConsoleW when the stream is a console, UTF-8 bytes when it is
// redirected to a file or a pipe.
#pragma once

#include <windows.h>

#include <string>

namespace orvexctl {

class Stream {
  public:
    explicit Stream(DWORD which);
    bool console() const { return m_console; }
    // Columns of the console window (80 when unknown or not a console).
    int columns() const;
    void Write(const std::wstring& text) const;
    void Line(const std::wstring& text) const { Write(text + L"\n"); }

  private:
    HANDLE m_handle;
    bool m_console = false;
};

Stream& Out();
Stream& Err();

// UTF-8 of UTF-16 text; a lone surrogate becomes U+FFFD.
std::string ToUtf8(const std::wstring& text);
// UTF-16 of UTF-8 bytes; invalid sequences become U+FFFD.
std::wstring FromUtf8(const std::string& bytes);

// Columns a text takes in a terminal: East Asian wide and full-width
// characters take two, combining marks none.
int DisplayWidth(const std::wstring& text);
// `text` padded with blanks to `width` columns.
std::wstring PadRight(const std::wstring& text, int width);

} // namespace orvexctl
