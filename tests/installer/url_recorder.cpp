// Stands in for the web browser in the end-to-end tests: the shell's "open"
// of a web address runs it as  url-recorder.exe LOGFILE ADDRESS , and it
// appends the address to the log file, one line each.
#include "platform/handles.h"
#include "platform/text.h"

#include <windows.h>

int wmain(int argc, wchar_t** argv) {
    if (argc < 3)
        return 2;
    UniqueHandle log(::CreateFileW(argv[1], FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                   FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!log)
        return 1;
    std::string line = WideToUtf8(argv[2]) + "\n";
    DWORD written = 0;
    return ::WriteFile(log.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr) ? 0 : 1;
}
