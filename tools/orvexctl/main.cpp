// orvexctl: a command-line front end to the device library. It loads
// OrvexDevice.dll at run time and binds its exports by name, as any program
// that uses the library does. See "orvexctl --help".
#include "tools/orvexctl/command_line.h"
#include "tools/orvexctl/commands.h"
#include "tools/orvexctl/output.h"

#include <windows.h>

int wmain(int argc, wchar_t** argv) {
    try {
        // No system error box may wait for a click in a script.
        ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
        std::vector<std::wstring> words(argv + 1, argv + argc);
        orvexctl::Options options;
        std::wstring error;
        if (!orvexctl::ParseCommandLine(words, &options, &error)) {
            orvexctl::Err().Line(L"orvexctl: " + error + L"\nTry \"orvexctl --help\".");
            return orvexctl::kExitUsage;
        }
        return orvexctl::RunCommandLine(options);
    } catch (const std::exception& e) {
        orvexctl::Err().Line(L"orvexctl: " + orvexctl::FromUtf8(e.what()));
    } catch (...) {
        orvexctl::Err().Line(L"orvexctl: unexpected failure");
    }
    return orvexctl::kExitFailed;
}
