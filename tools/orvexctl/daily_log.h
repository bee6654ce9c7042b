// The library writes the reason for every failed call as a line of its
// daily log (Documents\Tevrin\Logs\YYYYMMDD.log, local date). LogWatch
// notes where the log ends before a call and gives the lines added after
// it, so that a failure can be explained on the spot.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace orvexctl {

class LogWatch {
  public:
    // `folder`: the log folder; empty means Documents\Tevrin\Logs.
    explicit LogWatch(std::wstring folder = std::wstring());

    // Remembers today's log file and its length.
    void Mark();
    // The lines added since Mark(), without their line ends. A call that
    // ran past midnight also gives the lines of the new day's file. Lines
    // that other programs added meanwhile are among them: the log is
    // shared.
    std::vector<std::wstring> NewLines() const;

    // The log file of a local date.
    std::wstring FileFor(const SYSTEMTIME& localDate) const;

  private:
    std::wstring m_folder;
    std::wstring m_markedFile;
    uint64_t m_markedLength = 0;
};

// The backend the library's loader names in its line among `lines`:
// "vendor" (the vendor's libraries), "built-in" (its own backend over the
// device multiplexer), or "unknown" when no such line is there.
std::wstring BackendNamedIn(const std::vector<std::wstring>& lines);

// Documents\Tevrin\Logs, empty when the system has no documents folder.
std::wstring DefaultLogFolder();

// The complete lines of UTF-8 `bytes` (CR LF or LF ends; a last line
// without an end counts too), empty lines left out.
std::vector<std::wstring> SplitLogLines(const std::string& bytes);

} // namespace orvexctl
