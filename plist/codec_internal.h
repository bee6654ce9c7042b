// What the codec's readers and writers share; not part of its interface.
#pragma once

#include "plist/plist.h"

#include <new>
#include <string>

namespace plist {
namespace detail {

inline bool IsXmlSpace(uint8_t c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// The digit of a base64 character, or -1.
int Base64Digit(uint8_t c);

// The texts the XML writer gives numbers: the shortest form that reads
// back exactly ("1.0" for a whole number, "nan", "+infinity",
// "-infinity"), and decimal integers.
std::string RealText(double value);
std::string IntegerText(int64_t value, bool isUnsigned);

// Appends a code point (at most U+10FFFF, no surrogate) as UTF-8.
void AppendCodePoint(uint32_t cp, std::string* out);

// A handle the reader owns: given back to the builder unless released.
class Owned {
  public:
    Owned(Builder& builder, Builder::Handle handle) : m_builder(&builder), m_handle(handle) {}
    ~Owned() { reset(); }
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    Owned(Owned&& other) noexcept : m_builder(other.m_builder), m_handle(other.release()) {}
    Owned& operator=(Owned&& other) noexcept {
        if (this != &other) {
            reset();
            m_builder = other.m_builder;
            m_handle = other.release();
        }
        return *this;
    }
    void reset() {
        if (m_handle)
            m_builder->Discard(release());
    }
    Builder::Handle get() const { return m_handle; }
    explicit operator bool() const { return m_handle != nullptr; }
    Builder::Handle release() {
        Builder::Handle h = m_handle;
        m_handle = nullptr;
        return h;
    }

  private:
    Builder* m_builder;
    Builder::Handle m_handle;
};

// The error text of a reader: "Malformed <format> property list: <why>",
// with the byte where it was found when known.
std::string ReadError(const char* format, const char* why, size_t at, bool withOffset);

// What both readers share: the builder, the first error met and where.
class Reader {
  public:
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;

  protected:
    explicit Reader(Builder& builder) : m_b(builder) {}
    ~Reader() = default;

    bool Fail(const char* why) {
        if (!m_error) {
            m_error = why;
            m_errorAt = m_pos;
        }
        return false;
    }
    Owned Nothing() { return Owned(m_b, nullptr); }
    Owned FailValue(const char* why) {
        Fail(why);
        return Nothing();
    }
    Owned Made(Builder::Handle h) { return Owned(m_b, h); }
    // Hands the root over, or says what went wrong (with the byte where it
    // was found when `withOffset`).
    bool Deliver(Owned value, const char* format, bool withOffset, Builder::Handle* root, std::string* error) {
        if (!value) {
            if (error)
                *error = ReadError(format, m_error ? m_error : "unexpected input", m_errorAt, withOffset);
            return false;
        }
        *root = value.release();
        return true;
    }

    Builder& m_b;
    size_t m_pos = 0; // where the reader is, for readers that go through the input in order
    const char* m_error = nullptr;
    size_t m_errorAt = 0;
};

// Runs a reader; running out of memory fails the read (the reader's owned
// handles are given back as the exception passes).
template <typename F> bool ReadingWithin(const char* format, std::string* error, F&& read) {
    try {
        return read();
    } catch (const std::bad_alloc&) {
        if (error)
            *error = ReadError(format, "not enough memory", 0, false);
        return false;
    }
}

} // namespace detail
} // namespace plist
