// Conversion of a count of seconds since 1970-01-01 UTC to local calendar time.
#pragma once

#include <windows.h>

#include <cstdint>

// Latest instant the conversion accepts: 3000-12-31 23:59:59 UTC.
constexpr int64_t kLatestLocalTimeSeconds = 32535215999LL;

// Fills `local` (milliseconds 0) and returns true; returns false for a
// negative value or one after kLatestLocalTimeSeconds, or when the system
// cannot convert it.
bool UnixSecondsToLocalTime(int64_t seconds, SYSTEMTIME* local);
