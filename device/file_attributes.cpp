// The attribute keys of a device entry and what each one fills:
//
//   st_size       Size           signed decimal
//   st_blocks     Blocks         unsigned decimal, saturating
//   st_nlink      LinkCount      unsigned decimal, saturating
//   st_ifmt       Type           S_IFDIR 0, S_IFLNK 2, anything else 1
//   st_mtime      ModificationTime
//   st_birthtime  CreationTime
//   LinkTarget    LinkTarget
//
// Keys match exactly; others are ignored.
#include "device/file_attributes.h"

#include "device/afc_objects.h"
#include "platform/localtime.h"
#include "platform/text.h"

#include <cstring>
#include <cwchar>
#include <limits>

namespace {

constexpr int64_t kNanosecondsFrom = 1000000000000000LL; // 10^15
constexpr int64_t kNanosecondsPerSecond = 1000000000LL;

// Parses [+-]digits, the whole text, within the signed 64-bit range.
bool ParseSigned64(const char* text, int64_t* out) {
    if (!text)
        return false;
    bool negative = false;
    if (*text == '-' || *text == '+')
        negative = *text++ == '-';
    if (*text < '0' || *text > '9')
        return false;
    const uint64_t limit = uint64_t(std::numeric_limits<int64_t>::max()) + (negative ? 1 : 0);
    uint64_t magnitude = 0;
    for (; *text; ++text) {
        if (*text < '0' || *text > '9')
            return false;
        const unsigned digit = unsigned(*text - '0');
        if (magnitude > (limit - digit) / 10)
            return false;
        magnitude = magnitude * 10 + digit;
    }
    *out = negative ? int64_t(0 - magnitude) : int64_t(magnitude);
    return true;
}

// Days from 1970-01-01 to a date of the proleptic Gregorian calendar.
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = unsigned(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + int64_t(doe) - 719468;
}

// An OLE automation date: days since 1899-12-30 00:00, the fraction the time
// of day. Only dates after 1899 come here, where the fraction is plain.
double OleDateOf(const SYSTEMTIME& t) {
    static const int64_t epoch = DaysFromCivil(1899, 12, 30);
    const int64_t days = DaysFromCivil(t.wYear, t.wMonth, t.wDay) - epoch;
    const double seconds = t.wHour * 3600.0 + t.wMinute * 60.0 + t.wSecond;
    return double(days) + seconds / 86400.0;
}

void ApplyKey(const char* key, const char* value, const LocalTimeZone& zone, __IOS_FILE* file) {
    if (std::strcmp(key, "st_size") == 0) {
        file->Size = ParseDeviceSize(value);
    } else if (std::strcmp(key, "st_blocks") == 0) {
        file->Blocks = ParseDeviceCount(value);
    } else if (std::strcmp(key, "st_nlink") == 0) {
        file->LinkCount = ParseDeviceCount(value);
    } else if (std::strcmp(key, "st_ifmt") == 0) {
        if (std::strcmp(value, "S_IFDIR") == 0)
            file->Type = 0;
        else if (std::strcmp(value, "S_IFLNK") == 0)
            file->Type = 2;
    } else if (std::strcmp(key, "st_mtime") == 0) {
        file->ModificationTime = DateFromDeviceTime(value, zone);
    } else if (std::strcmp(key, "st_birthtime") == 0) {
        file->CreationTime = DateFromDeviceTime(value, zone);
    } else if (std::strcmp(key, "LinkTarget") == 0) {
        CopyToField(file->LinkTarget, Utf8ToWide(value));
    }
}

} // namespace

int64_t ParseDeviceSize(const char* text) {
    int64_t value = 0;
    return ParseSigned64(text, &value) ? value : 0;
}

uint32_t ParseDeviceCount(const char* text) {
    uint64_t value = 0;
    for (; text && *text >= '0' && *text <= '9'; ++text) {
        value = value * 10 + unsigned(*text - '0');
        if (value > std::numeric_limits<uint32_t>::max())
            return std::numeric_limits<uint32_t>::max();
    }
    return uint32_t(value);
}

LocalTimeZone::LocalTimeZone() : m_zone{}, m_known(::GetTimeZoneInformation(&m_zone) != TIME_ZONE_ID_INVALID) {}

bool LocalTimeZone::ToLocalTime(int64_t seconds, SYSTEMTIME* local) const {
    if (!m_known)
        return UnixSecondsToLocalTime(seconds, local);
    if (!local || seconds < 0 || seconds > kLatestLocalTimeSeconds)
        return false;
    ULARGE_INTEGER t;
    t.QuadPart = (static_cast<uint64_t>(seconds) + 11644473600ULL) * 10000000ULL;
    FILETIME ft;
    ft.dwLowDateTime = t.LowPart;
    ft.dwHighDateTime = t.HighPart;
    SYSTEMTIME utc;
    SYSTEMTIME out;
    TIME_ZONE_INFORMATION zone = m_zone; // the call takes it as writable
    if (!::FileTimeToSystemTime(&ft, &utc) || !::SystemTimeToTzSpecificLocalTime(&zone, &utc, &out))
        return false;
    out.wMilliseconds = 0;
    *local = out;
    return true;
}

DateValue DateFromDeviceTime(const char* text, const LocalTimeZone& zone) {
    DateValue date{0.0, DateValueInvalid};
    int64_t value = 0;
    if (!ParseSigned64(text, &value))
        return date;
    if (value >= kNanosecondsFrom)
        value /= kNanosecondsPerSecond;
    SYSTEMTIME local;
    if (!zone.ToLocalTime(value, &local))
        return date;
    date.Date = OleDateOf(local);
    date.Status = DateValueValid;
    return date;
}

bool ReadFileAttributes(afc_connection* connection, const std::string& path, const LocalTimeZone& zone,
                        __IOS_FILE* file) {
    AfcAttributes attributes;
    if (!attributes.Open(connection, path))
        return false;
    file->Type = 1;
    const char* key;
    const char* value;
    while (attributes.Next(&key, &value))
        ApplyKey(key, value, zone, file);
    return true;
}

bool ReadIsDeviceFolder(afc_connection* connection, const std::string& path, bool* folder) {
    AfcAttributes attributes;
    if (!attributes.Open(connection, path))
        return false;
    std::string kind;
    *folder = attributes.Find("st_ifmt", &kind) && kind == "S_IFDIR";
    return true;
}

bool IsPlainEntryName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

bool IsStorableLocalName(const std::wstring& name) {
    if (name.find_first_not_of(L". ") == std::wstring::npos)
        return false;
    for (wchar_t c : name) {
        if (c < 32 || std::wcschr(L"<>:\"/\\|?*", c))
            return false;
    }
    return true;
}

std::string ToUtf8(const std::wstring& text) { return WideToUtf8(text.data(), text.size()); }

std::wstring CollapseDoubleSlashes(const std::wstring& path) {
    std::wstring out;
    out.reserve(path.size());
    for (size_t i = 0; i < path.size(); ++i) {
        out += path[i];
        if (path[i] == L'/' && i + 1 < path.size() && path[i + 1] == L'/')
            ++i;
    }
    return out;
}

std::wstring JoinDevicePath(const std::wstring& folder, const std::wstring& name) {
    return CollapseDoubleSlashes(folder + L"/" + name);
}

std::wstring ExtensionOf(const std::wstring& name) {
    size_t dot = name.rfind(L'.');
    if (dot == std::wstring::npos || dot + 1 == name.size())
        return std::wstring();
    return name.substr(dot + 1);
}

std::wstring NameOfDevicePath(const std::wstring& path) {
    std::wstring rest = path;
    while (!rest.empty() && rest.back() == L'/')
        rest.pop_back();
    size_t slash = rest.rfind(L'/');
    return slash == std::wstring::npos ? rest : rest.substr(slash + 1);
}
