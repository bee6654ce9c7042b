// The daily log: one UTF-8 file per local day under the user's documents
// folder ("Tevrin\Logs\%Y%m%d.log"), one line per message, each prefixed
// with the local time "%Y-%m-%d %H:%M:%S: ". Nothing is cached between
// calls; every failure is swallowed (the line is lost).
#pragma once

#include <string>

void WriteDailyLog(const wchar_t* message);
void WriteDailyLog(const std::wstring& message);
