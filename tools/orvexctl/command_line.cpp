#include "tools/orvexctl/command_line.h"

#include <cwctype>

namespace orvexctl {

bool ParseSeconds(const std::wstring& text, unsigned* milliseconds) {
    if (text.empty() || text.size() > 12)
        return false;
    unsigned long long whole = 0, fraction = 0, scale = 1000;
    size_t i = 0;
    bool digits = false;
    for (; i < text.size() && std::iswdigit(text[i]); ++i, digits = true)
        whole = whole * 10 + (text[i] - L'0');
    if (i < text.size() && text[i] == L'.') {
        for (++i; i < text.size() && std::iswdigit(text[i]); ++i, digits = true) {
            scale /= 10;
            fraction += (text[i] - L'0') * scale;
        }
    }
    if (!digits || i != text.size() || whole > 86400)
        return false;
    *milliseconds = static_cast<unsigned>(whole * 1000 + fraction);
    return true;
}

bool ParseCommandLine(const std::vector<std::wstring>& words, Options* options, std::wstring* error) {
    Options parsed;
    bool optionsEnded = false;
    for (size_t i = 0; i < words.size(); ++i) {
        std::wstring word = words[i];
        bool isOption = !optionsEnded && word.size() > 1 && word[0] == L'-';
        if (!isOption) {
            if (parsed.command.empty())
                parsed.command = word;
            else
                parsed.arguments.push_back(word);
            continue;
        }
        if (word == L"--") {
            optionsEnded = true;
            continue;
        }
        // "--name=value" is the same as "--name value".
        std::wstring inlineValue;
        bool hasInlineValue = false;
        size_t equals = word.find(L'=');
        if (word.compare(0, 2, L"--") == 0 && equals != std::wstring::npos) {
            inlineValue = word.substr(equals + 1);
            word = word.substr(0, equals);
            hasInlineValue = true;
        }
        auto takeValue = [&](std::wstring* value) {
            if (hasInlineValue) {
                *value = inlineValue;
                return true;
            }
            if (i + 1 >= words.size()) {
                *error = word + L" needs a value";
                return false;
            }
            *value = words[++i];
            return true;
        };
        if (word == L"-u" || word == L"--udid") {
            if (!takeValue(&parsed.udid))
                return false;
            if (parsed.udid.empty()) {
                *error = word + L" needs a device identifier";
                return false;
            }
        } else if (word == L"--wait") {
            std::wstring seconds;
            if (!takeValue(&seconds))
                return false;
            if (!ParseSeconds(seconds, &parsed.waitMilliseconds)) {
                *error = L"--wait takes a number of seconds, not '" + seconds + L"'";
                return false;
            }
            parsed.waitGiven = true;
        } else if (!hasInlineValue && word == L"--json") {
            parsed.json = true;
        } else if (!hasInlineValue && (word == L"-q" || word == L"--quiet")) {
            parsed.quiet = true;
        } else if (!hasInlineValue && (word == L"-h" || word == L"--help")) {
            parsed.help = true;
        } else {
            *error = L"unknown option " + words[i];
            return false;
        }
    }
    *options = std::move(parsed);
    return true;
}

} // namespace orvexctl
