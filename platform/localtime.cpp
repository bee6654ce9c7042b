#include "platform/localtime.h"

bool UnixSecondsToLocalTime(int64_t seconds, SYSTEMTIME* local) {
    if (!local || seconds < 0 || seconds > kLatestLocalTimeSeconds)
        return false;
    ULARGE_INTEGER t;
    t.QuadPart = (static_cast<uint64_t>(seconds) + 11644473600ULL) * 10000000ULL;
    FILETIME ft;
    ft.dwLowDateTime = t.LowPart;
    ft.dwHighDateTime = t.HighPart;
    SYSTEMTIME utc;
    if (!::FileTimeToSystemTime(&ft, &utc))
        return false;
    SYSTEMTIME out;
    if (!::SystemTimeToTzSpecificLocalTime(nullptr, &utc, &out))
        return false;
    out.wMilliseconds = 0;
    *local = out;
    return true;
}
