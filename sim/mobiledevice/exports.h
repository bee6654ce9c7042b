// The exported calls of the stand-in device library, declared from the
// signature list the program binds (platform/vendor_abi.h), so that the
// definitions cannot drift from it.
#pragma once

#include "platform/vendor_abi.h"
#include "sim/farm/status.h"

#include <exception>

#define MDSIM_DECLARE_EXPORT(result, name, params) extern "C" result __cdecl name params;
ORVEX_AMD_CALLS(MDSIM_DECLARE_EXPORT)
#undef MDSIM_DECLARE_EXPORT

namespace mdsim {

// Runs the body of an export; nothing is thrown across the interface.
template <typename R, typename Body> R Guarded(R failure, Body&& body) {
    try {
        return body();
    } catch (...) {
        return failure;
    }
}

} // namespace mdsim
