// The value objects of the stand-in value library and the helpers shared by
// its modules. Every object starts with one reference owned by its creator;
// the constant objects (booleans, null, interned strings, allocators) are
// immortal: retain and release leave them alone.
#pragma once

#include "plist/civil_date.h"
#include "values/CoreFoundation.h"

#include <atomic>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace cf {

enum TypeId : CFTypeID {
    kTypeIdNone = 0,
    kTypeIdType = 1,
    kTypeIdAllocator,
    kTypeIdNull,
    kTypeIdBoolean,
    kTypeIdNumber,
    kTypeIdString,
    kTypeIdData,
    kTypeIdDate,
    kTypeIdArray,
    kTypeIdDictionary,
    kTypeIdURL,
    kTypeIdUUID,
    kTypeIdError,
    kTypeIdCount
};

// The retain count reported for immortal objects.
constexpr CFIndex kImmortalRetainCount = 0x7FFFFFFF;

struct Object {
    Object(CFTypeID id, bool isImmortal) : typeId(id), immortal(isImmortal) {}
    virtual ~Object() = default;
    Object(const Object&) = delete;
    Object& operator=(const Object&) = delete;

    // `other` has the same type id.
    virtual bool Equals(const Object& other) const { return this == &other; }
    virtual CFHashCode Hash() const { return static_cast<CFHashCode>(reinterpret_cast<uintptr_t>(this) >> 3); }
    virtual std::u16string Describe() const;

    const CFTypeID typeId;
    const bool immortal;
    mutable std::atomic<long> refs{1};
};

inline const Object* AsObject(CFTypeRef cf) { return static_cast<const Object*>(cf); }

// The object when `cf` is a value of type T, null otherwise.
template <typename T> const T* As(CFTypeRef cf) {
    const Object* object = AsObject(cf);
    return object && object->typeId == T::kTypeId ? static_cast<const T*>(object) : nullptr;
}
template <typename T> T* AsMutable(CFTypeRef cf) { return const_cast<T*>(As<T>(cf)); }

// A value chosen when the library loads and mixed into text hashes, so a
// crafted list cannot pick dictionary keys that all land in one slot.
uint32_t HashSeed();

void Retain(CFTypeRef cf);
void Release(CFTypeRef cf);
bool Equal(CFTypeRef a, CFTypeRef b);
CFHashCode Hash(CFTypeRef cf);
std::u16string Describe(CFTypeRef cf);

// Owns one reference to a value.
class Ref {
  public:
    Ref() = default;
    explicit Ref(CFTypeRef value) : m_value(value) {}
    ~Ref() { reset(); }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : m_value(other.release()) {}
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    CFTypeRef get() const { return m_value; }
    explicit operator bool() const { return m_value != nullptr; }
    CFTypeRef release() { return std::exchange(m_value, nullptr); }
    void reset(CFTypeRef value = nullptr) {
        CFTypeRef old = std::exchange(m_value, value);
        if (old)
            Release(old);
    }

  private:
    CFTypeRef m_value = nullptr;
};

// Runs `body` and turns any exception into `fallback`: nothing crosses an
// exported function but its result.
template <typename R, typename F> R Guard(R fallback, F&& body) noexcept {
    try {
        return body();
    } catch (...) {
        return fallback;
    }
}
template <typename F> void GuardVoid(F&& body) noexcept {
    try {
        body();
    } catch (...) {
    }
}

// A range lies within [0, length].
inline bool RangeFits(CFRange range, CFIndex length) {
    return range.location >= 0 && range.length >= 0 && range.location <= length &&
           range.length <= length - range.location;
}

// ---- text ------------------------------------------------------------------

// Strict UTF-8 (no overlong forms, surrogates or values past U+10FFFF).
bool DecodeUtf8(const uint8_t* bytes, size_t length, std::u16string* out);
// Appends the UTF-8 form; an unpaired surrogate becomes U+FFFD.
void AppendUtf8(const char16_t* units, size_t length, std::string* out);
std::string ToUtf8(const std::u16string& text);
std::u16string FromAscii(const char* text);
// True when every surrogate is part of a pair.
bool IsWellFormedUtf16(const char16_t* units, size_t length);

} // namespace cf

// ---- the value types -----------------------------------------------------------

struct __CFAllocator : cf::Object {
    static constexpr CFTypeID kTypeId = cf::kTypeIdAllocator;
    enum class Kind { System, Null, Custom };
    __CFAllocator(Kind k, bool isImmortal) : Object(kTypeId, isImmortal), kind(k) {}
    ~__CFAllocator() override;
    std::u16string Describe() const override;
    Kind kind;
    CFAllocatorContext context{};
};

struct __CFNull : cf::Object {
    static constexpr CFTypeID kTypeId = cf::kTypeIdNull;
    __CFNull() : Object(kTypeId, true) {}
    std::u16string Describe() const override { return u"<CFNull>"; }
};

struct __CFBoolean : cf::Object {
    static constexpr CFTypeID kTypeId = cf::kTypeIdBoolean;
    explicit __CFBoolean(bool v) : Object(kTypeId, true), value(v) {}
    std::u16string Describe() const override { return value ? u"true" : u"false"; }
    const bool value;
};

struct __CFNumber : cf::Object {
    static constexpr CFTypeID kTypeId = cf::kTypeIdNumber;
    // What is stored: a signed integer of the canonical type's width (kept
    // as 64 bits), an unsigned integer beyond INT64_MAX, or a real.
    enum class Kind { Integer, BigUnsigned, Float32, Float64 };
    __CFNumber(Kind k, CFNumberType canonical, bool isImmortal = false)
        : Object(kTypeId, isImmortal), kind(k), type(canonical) {}
    bool Equals(const Object& other) const override;
    CFHashCode Hash() const override;
    std::u16string Describe() const override;
    bool IsFloat() const { return kind == Kind::Float32 || kind == Kind::Float64; }
    Kind kind;
    CFNumberType type; // canonical: 1-4 integers, 5-6 reals
    int64_t integer = 0;
    uint64_t big = 0;
    double real = 0;
};

struct __CFString : cf::Object {
    static constexpr CFTypeID kTypeId = cf::kTypeIdString;
    __CFString(std::u16string text, bool isMutable, bool isImmortal = false);
    ~__CFString() override;
    bool Equals(const Object& other) const override;
    CFHashCode Hash() const override;
    std::u16string Describe() const override { return units; }
    // Call after every change of `units`.
    void Changed();
    // The terminated 8-bit form of an ASCII text, made on first use (null
    // when the text is not ASCII or memory runs out).
    const char* AsciiText() const;
    std::u16string units;
    bool isAscii = false;
    const bool isMutable;

  private:
    mutable std::atomic<char*> m_ascii{nullptr};
};

struct __CFData : cf::Object {
    static constexpr CFTypeID kTypeId = cf::kTypeIdData;
    __CFData(std::vector<uint8_t> content, bool isMutable)
        : Object(kTypeId, false), bytes(std::move(content)), isMutable(isMutable) {}
    // Data over the caller's bytes (CFDataCreateWithBytesNoCopy), freed with
    // `deallocator` when the value goes.
    __CFData(const uint8_t* caller, size_t length, CFAllocatorRef deallocator);
    ~__CFData() override;
    bool Equals(const Object& other) const override;
    CFHashCode Hash() const override;
    std::u16string Describe() const override;
    const uint8_t* Bytes() const { return external ? external : bytes.data(); }
    size_t Size() const { return external ? externalLength : bytes.size(); }
    std::vector<uint8_t> bytes; // own bytes, when not the caller's
    const bool isMutable;
    CFIndex capacity = 0; // 0: unlimited
    const uint8_t* external = nullptr;
    size_t externalLength = 0;
    CFAllocatorRef externalDeallocator = nullptr;
};

struct __CFDate : cf::Object {
    static constexpr CFTypeID kTypeId = cf::kTypeIdDate;
    explicit __CFDate(CFAbsoluteTime t) : Object(kTypeId, false), at(t) {}
    bool Equals(const Object& other) const override;
    CFHashCode Hash() const override;
    std::u16string Describe() const override;
    const CFAbsoluteTime at;
};

struct __CFArray : cf::Object {
    static constexpr CFTypeID kTypeId = cf::kTypeIdArray;
    __CFArray(const CFArrayCallBacks* cb, bool isMutable);
    ~__CFArray() override;
    bool Equals(const Object& other) const override;
    CFHashCode Hash() const override { return static_cast<CFHashCode>(items.size()); }
    std::u16string Describe() const override;
    const void* RetainItem(const void* value) const;
    void ReleaseItem(const void* value) const;
    bool ItemsEqual(const void* a, const void* b) const;
    CFArrayCallBacks callbacks{};
    bool cfTypes = false; // callbacks are those of kCFTypeArrayCallBacks
    std::vector<const void*> items;
    const bool isMutable;
    CFIndex capacity = 0;
};

struct __CFDictionary : cf::Object {
    static constexpr CFTypeID kTypeId = cf::kTypeIdDictionary;
    struct Entry {
        const void* key;
        const void* value;
        CFHashCode hash;
    };
    __CFDictionary(const CFDictionaryKeyCallBacks* keyCb, const CFDictionaryValueCallBacks* valueCb, bool isMutable);
    ~__CFDictionary() override;
    bool Equals(const Object& other) const override;
    CFHashCode Hash() const override { return static_cast<CFHashCode>(entries.size()); }
    std::u16string Describe() const override;

    CFHashCode HashKey(const void* key) const;
    bool KeysEqual(const void* a, const void* b) const;
    bool ValuesEqual(const void* a, const void* b) const;
    // Index of the entry of `key`, or -1.
    long Find(const void* key) const;
    // Adds or replaces; the dictionary retains what it keeps (per callbacks).
    void Set(const void* key, const void* value, bool add, bool replace);
    // Takes over the caller's references to key and value (only for
    // dictionaries with the kCFType callbacks); replaces an earlier key.
    // On failure (an exception) the references stay with the caller.
    void AdoptPair(const void* key, const void* value);
    void Remove(const void* key);
    void Clear();
    void Reserve(size_t count);

    CFDictionaryKeyCallBacks keyCallbacks{};
    CFDictionaryValueCallBacks valueCallbacks{};
    bool cfTypeKeys = false;
    bool cfTypeValues = false;
    std::vector<Entry> entries; // in insertion order
    std::vector<int32_t> slots; // open addressing over `entries`, empty while small
    const bool isMutable;
    CFIndex capacity = 0;

  private:
    void RebuildSlots();
    void InsertSlot(size_t entryIndex);
    void Append(const void* key, const void* value, CFHashCode hash);
};

struct __CFURL : cf::Object {
    static constexpr CFTypeID kTypeId = cf::kTypeIdURL;
    __CFURL(CFStringRef text, CFURLRef baseUrl);
    ~__CFURL() override;
    bool Equals(const Object& other) const override;
    CFHashCode Hash() const override;
    std::u16string Describe() const override;
    CFStringRef string; // owned
    CFURLRef base;      // owned, may be null
};

struct __CFUUID : cf::Object {
    static constexpr CFTypeID kTypeId = cf::kTypeIdUUID;
    __CFUUID(const uint8_t (&value)[16], bool isImmortal);
    bool Equals(const Object& other) const override;
    CFHashCode Hash() const override;
    std::u16string Describe() const override;
    uint8_t bytes[16];
};

struct __CFError : cf::Object {
    static constexpr CFTypeID kTypeId = cf::kTypeIdError;
    __CFError(CFStringRef errorDomain, CFIndex errorCode, CFDictionaryRef info);
    ~__CFError() override;
    bool Equals(const Object& other) const override;
    std::u16string Describe() const override;
    CFStringRef domain; // owned
    CFIndex code;
    CFDictionaryRef userInfo; // owned, may be null
};

namespace cf {

// Constructors for the parsers and writers: each returns a new owned value.
__CFString* NewString(std::u16string text, bool isMutable = false);
__CFNumber* NewInteger(int64_t value);
__CFNumber* NewUnsigned(uint64_t value); // beyond INT64_MAX when needed
__CFNumber* NewReal(double value);
__CFArray* NewArray(bool isMutable);
__CFDictionary* NewDictionary(bool isMutable);
__CFError* NewError(CFIndex code, const std::u16string& description);

extern __CFBoolean g_true;
extern __CFBoolean g_false;
extern __CFNull g_null;
extern __CFAllocator g_systemAllocator;
extern __CFAllocator g_nullAllocator;

// Frees memory given to a NoCopy call, as its deallocator says.
void DeallocateWith(CFAllocatorRef deallocator, void* ptr);

// Days since 1970-01-01 of a proleptic Gregorian date, and back.
using civil::CivilFromDays;
using civil::DaysFromCivil;

} // namespace cf
