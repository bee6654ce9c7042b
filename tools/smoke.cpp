// Writes one line to the daily log and prints where it went: proves that a
// built program runs in the project's Wine prefix.
#include "platform/log.h"
#include "platform/seams.h"

#include <cstdio>

int wmain() {
    WriteDailyLog(L"InstallOrvex smoke run");
    std::wstring logs = seams::DocumentsFolder() + L"\\Tevrin\\Logs";
    std::fwprintf(stdout, L"daily log folder: %ls\n", logs.c_str());
    return 0;
}
