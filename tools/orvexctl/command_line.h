// orvexctl's command line: global options anywhere before "--", then a
// command and its arguments.
#pragma once

#include <string>
#include <vector>

namespace orvexctl {

struct Options {
    std::wstring udid;  // -u, --udid
    bool json = false;  // --json
    bool quiet = false; // -q, --quiet
    bool help = false;  // -h, --help
    bool waitGiven = false;
    unsigned waitMilliseconds = 0; // --wait SECONDS
    std::wstring command;
    std::vector<std::wstring> arguments;
};

// False on a malformed command line, with the reason in `error`.
bool ParseCommandLine(const std::vector<std::wstring>& words, Options* options, std::wstring* error);

// Seconds as text ("5", "0.5") to milliseconds; false for anything else or
// more than a day.
bool ParseSeconds(const std::wstring& text, unsigned* milliseconds);

} // namespace orvexctl
