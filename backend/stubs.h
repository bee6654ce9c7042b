// What a call of the built-in backend returns when it fails or is not
// offered: an error code for the calls that return one, null for those that
// return a pointer, nothing for the others.
#pragma once

#include "backend/status.h"

#include <type_traits>

namespace backend {

template <class Result> Result Failed() {
    if constexpr (std::is_void_v<Result>)
        return;
    else if constexpr (std::is_pointer_v<Result>)
        return nullptr;
    else
        return static_cast<Result>(kUnsupportedError);
}

} // namespace backend
