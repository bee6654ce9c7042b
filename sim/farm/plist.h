// A small property-list value and its forms (XML and binary, through the
// property-list codec), used for the simulated devices' descriptions, the
// property-list files of their file systems and the messages of the wire.
// The device library converts these values to and from the value library's
// types at its exported interface; the farm and the command-line tool work on
// them without it.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace simfarm {

class Value {
  public:
    enum class Kind { Null, Bool, Integer, Real, String, Data, Date, Array, Dict };
    using Entry = std::pair<std::string, Value>;

    Value() = default;
    static Value Bool(bool value);
    static Value Integer(int64_t value);
    // An integer above INT64_MAX, as property lists may hold (up to 2^64 - 1).
    static Value Unsigned(uint64_t value);
    static Value Real(double value);
    static Value String(std::string utf8);
    static Value Data(std::string bytes);
    // Seconds since 2001-01-01 00:00:00 UTC.
    static Value Date(double seconds);
    static Value Array();
    static Value Dict();

    Kind kind() const { return m_kind; }
    bool is(Kind kind) const { return m_kind == kind; }

    bool boolean() const { return m_bool; }
    int64_t integer() const { return m_int; }
    bool isUnsigned() const { return m_unsigned; }
    uint64_t unsignedInteger() const { return static_cast<uint64_t>(m_int); }
    double real() const { return m_real; }
    double date() const { return m_real; }
    const std::string& text() const { return m_text; } // String (UTF-8) and Data (bytes)

    // Array.
    const std::vector<Value>& items() const { return m_items; }
    std::vector<Value>& items() { return m_items; }
    Value& Append(Value value);

    // Dict: entries keep their insertion order; keys are unique.
    const std::vector<Entry>& entries() const { return m_entries; }
    const Value* Find(const std::string& key) const;
    Value* Find(const std::string& key);
    // The entry under `key`, made (as Null) when missing.
    Value& operator[](const std::string& key);
    Value& Set(const std::string& key, Value value);
    bool Remove(const std::string& key);

    // Typed reads of a dict entry, with a fallback when absent or of another kind.
    std::string GetString(const std::string& key, const std::string& fallback = std::string()) const;
    int64_t GetInteger(const std::string& key, int64_t fallback = 0) const;
    bool GetBool(const std::string& key, bool fallback = false) const;
    // The dict under `key`, made when missing or of another kind.
    Value& SubDict(const std::string& key);

    bool operator==(const Value& other) const;
    bool operator!=(const Value& other) const { return !(*this == other); }

  private:
    friend struct ValueAccess; // the codec's builder fills dictionaries directly
    Kind m_kind = Kind::Null;
    bool m_bool = false;
    bool m_unsigned = false;
    int64_t m_int = 0;
    double m_real = 0;
    std::string m_text;
    std::vector<Value> m_items;
    std::vector<Entry> m_entries;
};

// The XML property-list form (version 1.0), tab-indented as the vendor's
// tools write it. A Null value, text that is not UTF-8 or a date outside the
// years 0000 to 9999 cannot be written and fails the whole call.
bool WriteXmlPlist(const Value& value, std::string* out);
// The binary form ("bplist00"); fails as WriteXmlPlist does, but takes any
// date.
bool WriteBinaryPlist(const Value& value, std::string* out);
// Parses an XML property list. Untrusted input: nesting deeper than 512
// levels, unknown elements, bad numbers, bad base64, text that is not UTF-8,
// a key given twice in a dictionary and trailing content are errors; `error`
// (optional) names the problem. `out` is written only on success.
bool ReadXmlPlist(const std::string& xml, Value* out, std::string* error = nullptr);
// Parses a property list in either form (binary when it starts with
// "bplist"), as ReadXmlPlist does; a binary list's shared objects become
// copies, within the codec's limits.
bool ReadPlist(const std::string& bytes, Value* out, std::string* error = nullptr);

// Base64 as used by <data>; decoding skips white space and fails on anything
// else outside the alphabet.
std::string EncodeBase64(const std::string& bytes);
bool DecodeBase64(const std::string& text, std::string* bytes);

// ISO 8601 "YYYY-MM-DDTHH:MM:SSZ" <-> seconds since 2001-01-01 UTC.
std::string FormatPlistDate(double seconds);
bool ParsePlistDate(const std::string& text, double* seconds);

} // namespace simfarm
