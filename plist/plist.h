// The property-list codec: XML ("<plist version="1.0">") and binary
// ("bplist00"), read and written.
//
// The codec keeps no values of its own. A reader hands what it reads to a
// Builder, which makes the caller's values; a writer walks the caller's
// values through a Source. So one codec serves any value type: the value
// library's objects, a plain value tree, a device's messages.
//
// Input is untrusted. Every read is bounds checked; nesting is limited to
// kMaxDepth; XML accepts only the five predefined entities and numeric
// character references (a document type with an internal subset is refused,
// so no entity can be declared); text must be well-formed Unicode; a binary
// list's offsets and references may be 1 to 8 bytes wide, cycles are
// refused, and an object named from many places costs no more than the input
// allows (see Builder::SharesValues). No input makes a reader loop for longer
// than a pass or two over it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace plist {

// Containers nest at most this deep, in what is read and what is written.
constexpr int kMaxDepth = 512;

enum class Format { Xml, Binary };

enum class Kind { Bool, Integer, Real, Date, String, Data, Array, Dict };

// Text as the caller holds it: UTF-8 bytes, or UTF-16 code units when
// `wide` is set.
struct Text {
    std::string_view utf8;
    std::u16string_view utf16;
    bool wide = false;
};

// Makes the caller's values while a list is read. Every handle a Make call
// returns belongs to the reader until it gives it to a container (Append,
// SetEntry), returns it as the root or hands it back with Discard. A method
// may throw std::bad_alloc; the reader then discards what it holds and fails.
class Builder {
  public:
    using Handle = void*;
    virtual ~Builder() = default;

    virtual Handle MakeBool(bool value) = 0;
    virtual Handle MakeInteger(int64_t value) = 0;
    // An integer above INT64_MAX (up to 2^64 - 1).
    virtual Handle MakeUnsigned(uint64_t value) = 0;
    // `single`: the list held a 32-bit real.
    virtual Handle MakeReal(double value, bool single) = 0;
    // Seconds since 2001-01-01 00:00:00 UTC.
    virtual Handle MakeDate(double seconds) = 0;
    virtual Handle MakeData(const uint8_t* bytes, size_t size) = 0;
    // Well-formed UTF-8 (checked by the reader).
    virtual Handle MakeString(std::string_view utf8) = 0;
    // Well-formed UTF-16 (checked by the reader); by default made through
    // MakeString.
    virtual Handle MakeString(std::u16string_view utf16);
    virtual Handle MakeArray(size_t expected) = 0;
    virtual Handle MakeDict(size_t expected) = 0;
    // Takes `item` (unless it throws).
    virtual void Append(Handle array, Handle item) = 0;
    // Takes `key` (made by MakeString) and `value` (unless it throws). A key
    // given twice is the builder's to refuse in EndDict or to let replace
    // the first.
    virtual void SetEntry(Handle dict, Handle key, Handle value) = 0;
    // After the last entry; false refuses the dictionary (a key twice).
    virtual bool EndDict(Handle dict) { return true; }
    virtual void Discard(Handle value) = 0;

    // A binary list may name one object from many places. A builder whose
    // values can be shared (immutable, counted references) says so, and
    // each object is made once and handed out through Share. Otherwise each
    // place gets an object of its own, made again from the input; then the
    // values made may not exceed four per input byte (plus 65,536) nor the
    // text and data made eight times the input's size (plus 16 MiB), so that
    // a list whose objects name each other many times over cannot make far
    // more than it holds. (Lists whose writers share only equal leaves, as
    // libplist's do, never come near: they hold a reference per value.)
    virtual bool SharesValues() const { return false; }
    // Another owned handle to `value` (only called when SharesValues()).
    virtual Handle Share(Handle value) { return value; }
};

// How a writer sees the caller's values.
class Source {
  public:
    using Handle = const void*;
    struct Node {
        Kind kind = Kind::Bool;
        bool boolean = false;
        // Integer: the value, or its bits when `isUnsigned` (above INT64_MAX).
        int64_t integer = 0;
        bool isUnsigned = false;
        // Real, and Date (seconds since 2001-01-01 00:00:00 UTC).
        double real = 0;
        bool single = false;    // a 32-bit real
        Text text;              // String
        std::string_view bytes; // Data
        size_t count = 0;       // Array items, Dict entries
    };
    virtual ~Source() = default;

    // False when `value` is not a property-list value.
    virtual bool Describe(Handle value, Node* node) const = 0;
    virtual Handle Item(Handle array, size_t index) const = 0;
    // False when the key is not a string.
    virtual bool Key(Handle dict, size_t index, Text* key) const = 0;
    virtual Handle EntryValue(Handle dict, size_t index) const = 0;
};

// ---- reading -------------------------------------------------------------------------------------

// Binary lists start with "bplist"; anything else is read as XML.
bool IsBinary(const void* bytes, size_t size);

// Reads a list in either format into a root value made by `builder`.
// On failure nothing is left made, `*root` is untouched and `error`
// (optional) says what is wrong and where.
bool Read(const void* bytes, size_t size, Builder& builder, Builder::Handle* root, Format* format = nullptr,
          std::string* error = nullptr);
bool ReadXml(const void* bytes, size_t size, Builder& builder, Builder::Handle* root, std::string* error = nullptr);
bool ReadBinary(const void* bytes, size_t size, Builder& builder, Builder::Handle* root, std::string* error = nullptr);

// ---- writing -------------------------------------------------------------------------------------

// The XML form, tab-indented with the standard prolog. The binary form
// writes an object named from many places (the same container, equal
// leaves) once. Either fails, leaving `out` untouched, on a value that is
// not a property list, a dictionary key that is not a string, text that is
// not well-formed Unicode, a cycle or nesting beyond kMaxDepth; XML also on
// a date outside the years 0000 to 9999.
bool WriteXml(const Source& source, Source::Handle root, std::string* out);
bool WriteBinary(const Source& source, Source::Handle root, std::string* out);
bool Write(Format format, const Source& source, Source::Handle root, std::string* out);

// ---- the texts of XML values, for callers that show or take them ---------------------------------

// Base64 as in <data>: encoding without line breaks; decoding skips white
// space and fails on anything else outside the alphabet and on a cut group.
std::string EncodeBase64(std::string_view bytes);
bool DecodeBase64(std::string_view text, std::string* bytes);

// "YYYY-MM-DDTHH:MM:SSZ" for seconds since 2001-01-01 UTC (the second
// rounded down; a value too far out to name a year shows as 1970).
std::string FormatDate(double seconds);
// Parses exactly that form, the date checked against its month.
bool ParseDate(std::string_view text, double* seconds);
// Whether the XML form can hold the date (the years 0000 to 9999).
bool DateFitsXml(double seconds);

// Unicode helpers. Strict UTF-8: no overlong forms, surrogates or values
// past U+10FFFF.
bool IsValidUtf8(std::string_view bytes);
// Appends the UTF-16 form of strict UTF-8; false (and `out` partly
// appended) when it is not.
bool AppendUtf16(std::string_view utf8, std::u16string* out);
// Appends a code point (at most U+10FFFF, no surrogate) as UTF-16.
void AppendUtf16(char32_t codePoint, std::u16string* out);
// Appends the UTF-8 form; an unpaired surrogate becomes U+FFFD.
void AppendUtf8(std::u16string_view utf16, std::string* out);
// Every surrogate is part of a pair.
bool IsWellFormedUtf16(std::u16string_view units);

} // namespace plist
