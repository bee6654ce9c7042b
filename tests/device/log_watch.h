// Reading back what the device library logs. The library writes the daily
// log of the real documents folder, which other test programs share, so a
// watch reads only the lines appended since it began and tests look for
// their own lines among them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace testutil {

class LogWatch {
  public:
    // Starts at the present end of today's log.
    LogWatch();

    // The messages appended since (time prefixes cut off), in order.
    std::vector<std::wstring> Messages() const;
    // The same without the built-in backend's own lines: what the library
    // writes for its exports, whichever backend it bound.
    std::vector<std::wstring> LibraryMessages() const;
    bool Saw(const std::wstring& message) const;
    // Starts again at the present end.
    void Restart();

  private:
    std::wstring m_file;
    uint64_t m_offset = 0;
};

// The path of today's daily log of the documents folder.
std::wstring TodaysLogPath();

} // namespace testutil
