// Reading a device entry's attributes into an __IOS_FILE, and the path and
// name rules the file exports share. Internal to the library.
#pragma once

#include "device/OrvexDevice.h"
#include "platform/vendor_abi.h"

#include <windows.h>

#include <cstdint>
#include <string>

// ---- attributes ------------------------------------------------------------------

// The local time zone as it stands when a call begins: every date of the
// call is broken down with the same rules, without asking the system for
// them once per date (which costs more than the rest of an entry).
class LocalTimeZone {
  public:
    LocalTimeZone();
    // As UnixSecondsToLocalTime (platform/localtime.h), in this zone.
    bool ToLocalTime(int64_t seconds, SYSTEMTIME* local) const;

  private:
    TIME_ZONE_INFORMATION m_zone;
    bool m_known;
};

// Opens the attributes of `path` (UTF-8) and applies them to `*file`: Type 1
// first, then every known key in the order the device gives them. The
// caller has zeroed the record and filled Name, Path and Extension. False,
// with the record untouched, when the device refuses the attribute read.
bool ReadFileAttributes(afc_connection* connection, const std::string& path, const LocalTimeZone& zone,
                        __IOS_FILE* file);

// Whether the entry at `path` (UTF-8) is a folder: its "st_ifmt" is
// "S_IFDIR" (a link is not). False when its attributes can't be read.
bool ReadIsDeviceFolder(afc_connection* connection, const std::string& path, bool* folder);

// The date of a device time value: seconds since 1970 (UTC), or nanoseconds
// when the value is 10^15 or more. Local time, as an OLE automation date;
// day count 0.0 with status 1 when the text is not a 64-bit decimal number
// or the instant can't be broken down into local time.
DateValue DateFromDeviceTime(const char* text, const LocalTimeZone& zone);

// "st_size": a signed decimal number (the whole text) within the 64-bit
// range; anything else gives 0.
int64_t ParseDeviceSize(const char* text);
// "st_blocks", "st_nlink": the leading decimal digits, saturating at
// 4294967295.
uint32_t ParseDeviceCount(const char* text);

// ---- names and paths ---------------------------------------------------------------

// The UTF-8 form of a path, as the file service takes it.
std::string ToUtf8(const std::wstring& text);

// An entry name as a folder listing may give it, safe to follow: not empty,
// not "." or "..", no "/" (each of those would name the folder itself or
// another place).
bool IsPlainEntryName(const std::string& name);
// A device name that can be made in a local folder as it stands without
// leading out of that folder: no separator, drive or stream mark or other
// character Windows refuses in a name, and not a name Windows reads as the
// folder itself or its parent (only dots and blanks).
bool IsStorableLocalName(const std::wstring& name);
// Every "//" replaced by "/" in one left-to-right pass.
std::wstring CollapseDoubleSlashes(const std::wstring& path);
// "%s/%s" of a device folder and an entry name, doubled separators collapsed.
std::wstring JoinDevicePath(const std::wstring& folder, const std::wstring& name);
// The text after the last "." of a name, empty when the "." ends the name or
// there is none.
std::wstring ExtensionOf(const std::wstring& name);
// The last component of a device path, trailing "/" ignored; "/" gives "".
std::wstring NameOfDevicePath(const std::wstring& path);
