// Progress of transfers, deletions and installations on standard error: a
// bar redrawn in place when standard error is a console, plain lines when it
// is redirected, nothing with --quiet.
#pragma once

#include "device/OrvexDevice.h"
#include "tools/orvexctl/output.h"

#include <chrono>
#include <cstdint>
#include <map>
#include <string>

namespace orvexctl {

enum class ProgressStyle { Off, Bar, Lines };
ProgressStyle ChooseProgressStyle(bool quiet, bool console);

// Turns the library's per-file progress calls ("<verb> <path>", percent of
// that file) into a running total over all files, given their sizes.
class TransferTally {
  public:
    void AddFile(const std::wstring& path, uint64_t size);
    // A progress call: `path` is `percent` done. A call for a new path
    // means the one before it is complete.
    void Update(const std::wstring& path, unsigned percent);
    uint64_t done() const { return m_completed + m_current; }
    uint64_t total() const { return m_total; }
    // Files reported so far; files planned (empty ones report nothing).
    unsigned files() const { return m_files; }
    size_t planned() const { return m_sizes.size(); }

  private:
    std::map<std::wstring, uint64_t> m_sizes;
    uint64_t m_total = 0, m_completed = 0, m_current = 0;
    std::wstring m_path;
    unsigned m_files = 0;
};

// What a progress call names: the text after the verb ("上传文件 C:\a.txt"
// gives "C:\a.txt"); the whole text when it has no blank.
std::wstring ProgressSubject(const std::wstring& text);
// The last component of a local or device path.
std::wstring LastComponent(const std::wstring& path);

// A fraction as a whole percentage, rounded down (0.6 gives 60).
int WholePercent(double fraction);

// One line of the bar: "[#####-----]  42%  1.20 MB/s  label", at most
// `columns` - 1 columns wide. `fraction` < 0 leaves the bar and percentage
// out; an empty `rate` leaves the rate out.
std::wstring BarLine(double fraction, const std::wstring& rate, const std::wstring& label, int columns);

class ProgressReporter {
  public:
    enum class Kind {
        Transfer, // per-chunk calls with a file's percentage
        Delete,   // one call per removed entry
        Install,  // the vendor's status words with a percentage
        Uninstall // the vendor's status words only
    };
    ProgressReporter(Kind kind, ProgressStyle style, const Stream& err);
    ~ProgressReporter();
    ProgressReporter(const ProgressReporter&) = delete;
    ProgressReporter& operator=(const ProgressReporter&) = delete;

    TransferTally& tally() { return m_tally; }
    const TransferTally& tally() const { return m_tally; }
    void SetTotalEntries(uint64_t entries) { m_totalEntries = entries; }

    // The library's callback while this reporter is the current one.
    ProgressCallback Callback();
    void OnProgress(const std::wstring& text, unsigned percent);
    // Clears the bar; `summary`, when given, closes the report.
    void Finish(const std::wstring& summary);

    uint64_t entries() const { return m_entries; }
    double seconds() const;
    // "1.20 MB/s" of the bytes so far, empty before there is a measure.
    std::wstring Rate() const;

  private:
    double Fraction(unsigned percent) const;
    void Draw(const std::wstring& text, double fraction, bool force);

    Kind m_kind;
    ProgressStyle m_style;
    const Stream& m_err;
    TransferTally m_tally;
    uint64_t m_totalEntries = 0, m_entries = 0;
    std::chrono::steady_clock::time_point m_start, m_lastDraw;
    std::wstring m_lastText;
    int m_lastPrintedPercent = -100;
    size_t m_drawnWidth = 0;
};

} // namespace orvexctl
