// The library's four records described field by field, in record order,
// so that text and JSON output are driven by one table per record.
#pragma once

#include "device/OrvexDevice.h"
#include "tools/orvexctl/json.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace orvexctl {

enum class FieldKind {
    Text,      // wchar_t[count], zero-terminated within the field
    Flag,      // int32 holding 0 or 1: a JSON boolean
    Int32,     // int32_t
    UInt32,    // uint32_t
    Int64,     // int64_t, written exactly
    Bytes,     // uint8_t[count], written as hexadecimal text
    Date,      // DateValue: ISO 8601 local time, null when invalid
    Int32List, // int32_t[count]
    FileType,  // int32: 0 folder, 1 file, 2 symbolic link
};

struct Field {
    const wchar_t* name;
    FieldKind kind;
    size_t offset;
    size_t count; // text capacity in units, byte or element count
};

extern const std::span<const Field> kDeviceFields;
extern const std::span<const Field> kAppFields;
extern const std::span<const Field> kFileFields;
extern const std::span<const Field> kBatteryFields;

// The field named `name` in `fields`, or null.
const Field* FindField(std::span<const Field> fields, const wchar_t* name);

// One member per field, in record order, into the open JSON object.
void WriteFields(JsonWriter& json, const void* record, std::span<const Field> fields);
// One field's value as the text output shows it.
std::wstring FieldText(const void* record, const Field& field);
// A text field's value (never reads past the field).
std::wstring TextField(const void* record, const Field& field);

// A calendar time broken out of an OLE automation date.
struct CivilTime {
    int year, month, day, hour, minute, second;
};
// False for a day count outside the years 100 to 9999.
bool OleDateToCivil(double date, CivilTime* time);
// "YYYY-MM-DDTHH:MM:SS" (local time, as the record holds it); empty when
// the date is marked invalid or out of range.
std::wstring IsoDate(const DateValue& date);
// "YYYY-MM-DD HH:MM" for listings; "-" when invalid.
std::wstring ShortDate(const DateValue& date);

// Lower-case hexadecimal of `count` bytes.
std::wstring Hex(const uint8_t* bytes, size_t count);
// A byte count for people: "512 B", "1.50 KB", "3.20 MB", "1.07 GB" (1024 based).
std::wstring FormatBytes(uint64_t bytes);
// The name of a file type as listings show it.
const wchar_t* FileTypeName(int32_t type);

} // namespace orvexctl
