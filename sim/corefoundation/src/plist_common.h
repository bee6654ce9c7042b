// Shared by the property-list readers and writers.
#pragma once

#include "cf_internal.h"

namespace cf {

// Containers nest at most this deep, in what is read and what is written.
constexpr int kMaxPlistDepth = 512;

} // namespace cf
