// Nothing crosses the exported interface but the result: every export runs
// its body through one of these, which catch everything and log an
// unexpected error under the export's name.
#pragma once

#include <exception>

void LogUnexpectedError(const wchar_t* exportName, const char* what) noexcept;

// Runs `body` (returning int); any exception gives 0.
template <typename Body> int GuardedExport(const wchar_t* exportName, Body&& body) noexcept {
    try {
        return body();
    } catch (const std::exception& e) {
        LogUnexpectedError(exportName, e.what());
    } catch (...) {
        LogUnexpectedError(exportName, nullptr);
    }
    return 0;
}

// For the exports without a result.
template <typename Body> void GuardedVoidExport(const wchar_t* exportName, Body&& body) noexcept {
    try {
        body();
    } catch (const std::exception& e) {
        LogUnexpectedError(exportName, e.what());
    } catch (...) {
        LogUnexpectedError(exportName, nullptr);
    }
}
