#include "device/export_guard.h"

#include "platform/log.h"
#include "platform/text.h"

#include <string>

void LogUnexpectedError(const wchar_t* exportName, const char* what) noexcept {
    try {
        std::wstring line = std::wstring(exportName ? exportName : L"?") + L" 发生意外错误";
        if (what && *what)
            line += L"：" + Utf8ToWide(what);
        WriteDailyLog(line);
    } catch (...) {
        // Out of memory while logging: the line is lost.
    }
}
