// Nothing crosses a call of the built-in backend but its result: an
// exception inside becomes the call's failure and a line in the daily log.
#pragma once

#include "backend/lockdown.h"
#include "backend/stubs.h"

#include <exception>
#include <string>

namespace backend {

template <class Result, class Body> Result Guarded(const char* call, Body&& body) {
    try {
        return body();
    } catch (const std::exception& e) {
        LogLine(std::string(call) + ": unexpected error: " + e.what());
    } catch (...) {
        LogLine(std::string(call) + ": unexpected error");
    }
    return Failed<Result>();
}

} // namespace backend
