// The binary property-list reader ("bplist00"). Input is untrusted:
//  - the trailer, the offset table and every object are checked against
//    the input before they are read; objects must lie before the table;
//  - an object is parsed once, whatever the number of references to it,
//    and shared; a reference back to an object still being parsed (a
//    cycle) is refused, and so is nesting beyond the depth limit;
//  - counts are checked against the bytes left before anything is
//    allocated, and the bytes all objects claim together may not exceed
//    the input (in a well-formed list objects never overlap), so overlapping
//    objects cannot make the reader do or keep more than the input holds.
#include "plist_common.h"

#include <cstring>
#include <limits>

namespace cf {
namespace {

constexpr size_t kHeaderSize = 8;
constexpr size_t kTrailerSize = 32;

uint64_t ReadBigEndian(const uint8_t* p, size_t n) {
    uint64_t v = 0;
    for (size_t i = 0; i < n; ++i)
        v = (v << 8) | p[i];
    return v;
}

class BinaryReader {
  public:
    BinaryReader(const uint8_t* bytes, size_t length, CFOptionFlags options)
        : m_p(bytes), m_n(length), m_mutableContainers(options != kCFPropertyListImmutable),
          m_mutableLeaves(options == kCFPropertyListMutableContainersAndLeaves) {}

    ~BinaryReader() {
        for (CFTypeRef object : m_objects)
            Release(object);
    }
    BinaryReader(const BinaryReader&) = delete;
    BinaryReader& operator=(const BinaryReader&) = delete;

    CFPropertyListRef Read(std::u16string* error) {
        CFTypeRef top = Trailer() ? ObjectAt(m_top, 1) : nullptr;
        if (!top) {
            *error = u"Malformed binary property list: " + FromAscii(m_error ? m_error : "unexpected input");
            return nullptr;
        }
        Retain(top);
        return top;
    }

  private:
    bool Fail(const char* why) {
        if (!m_error)
            m_error = why;
        return false;
    }
    CFTypeRef FailNull(const char* why) {
        Fail(why);
        return nullptr;
    }

    bool Trailer() {
        if (m_n < kHeaderSize + 1 + kTrailerSize || std::memcmp(m_p, "bplist00", kHeaderSize) != 0)
            return Fail("missing header or trailer");
        const uint8_t* t = m_p + m_n - kTrailerSize;
        m_offsetSize = t[6];
        m_refSize = t[7];
        const uint64_t count = ReadBigEndian(t + 8, 8);
        const uint64_t top = ReadBigEndian(t + 16, 8);
        const uint64_t table = ReadBigEndian(t + 24, 8);
        // Any width from 1 to 8 bytes: writers pick the smallest that holds
        // their largest offset or object number (libplist writes 3-byte
        // offsets for lists past 64 KiB).
        auto validSize = [](unsigned s) { return s >= 1 && s <= 8; };
        if (!validSize(m_offsetSize) || !validSize(m_refSize))
            return Fail("bad offset or reference size");
        const uint64_t tableRoom = m_n - kTrailerSize;
        if (count == 0 || top >= count || table < kHeaderSize + 1 || table >= tableRoom ||
            count > (tableRoom - table) / m_offsetSize)
            return Fail("offset table does not fit the input");
        if (m_refSize < 8 && count > (uint64_t{1} << (8 * m_refSize)))
            return Fail("references too small for the object count");
        m_count = static_cast<size_t>(count);
        m_top = static_cast<size_t>(top);
        m_table = static_cast<size_t>(table);
        m_budget = m_table - kHeaderSize;
        m_objects.assign(m_count, nullptr);
        m_state.assign(m_count, 0);
        return true;
    }

    bool Charge(uint64_t bytes) {
        if (bytes > m_budget)
            return Fail("objects overlap");
        m_budget -= static_cast<size_t>(bytes);
        return true;
    }

    // Reads a count that follows a marker: the low nibble, or an integer
    // object after it when the nibble is 0xF. `pos` moves past it.
    bool Count(uint8_t marker, size_t* pos, uint64_t* count) {
        const unsigned nibble = marker & 0x0F;
        if (nibble != 0x0F) {
            *count = nibble;
            return true;
        }
        if (*pos >= m_table)
            return Fail("truncated count");
        const uint8_t intMarker = m_p[(*pos)++];
        if ((intMarker & 0xF0) != 0x10 || (intMarker & 0x0F) > 3)
            return Fail("bad count");
        const size_t size = size_t{1} << (intMarker & 0x0F);
        if (size > m_table - *pos)
            return Fail("truncated count");
        *count = ReadBigEndian(m_p + *pos, size);
        *pos += size;
        return true;
    }

    // The bytes [pos, pos + count * unit) lie before the offset table.
    bool Fits(size_t pos, uint64_t count, size_t unit) const {
        return pos <= m_table && count <= (m_table - pos) / unit;
    }

    size_t RefAt(size_t pos, size_t i) const {
        return static_cast<size_t>(ReadBigEndian(m_p + pos + i * m_refSize, m_refSize));
    }

    CFTypeRef ObjectAt(size_t index, int depth) {
        if (index >= m_count)
            return FailNull("reference out of range");
        if (m_state[index] == 2)
            return m_objects[index];
        if (m_state[index] == 1)
            return FailNull("objects refer to each other in a cycle");
        if (depth > kMaxPlistDepth)
            return FailNull("nesting too deep");
        const uint64_t offset = ReadBigEndian(m_p + m_table + index * m_offsetSize, m_offsetSize);
        if (offset < kHeaderSize || offset >= m_table)
            return FailNull("object offset out of range");
        m_state[index] = 1;
        CFTypeRef object = Parse(static_cast<size_t>(offset), depth);
        if (!object)
            return nullptr;
        m_objects[index] = object;
        m_state[index] = 2;
        return object;
    }

    CFTypeRef Parse(size_t pos, int depth) {
        const size_t start = pos;
        const uint8_t marker = m_p[pos++];
        const unsigned nibble = marker & 0x0F;
        switch (marker >> 4) {
        case 0x0:
            if (marker != 0x08 && marker != 0x09)
                return FailNull("unsupported object");
            return Charge(1) ? static_cast<CFTypeRef>(marker == 0x09 ? &g_true : &g_false) : nullptr;
        case 0x1:
            return Integer(pos, nibble);
        case 0x2:
            return Real(pos, nibble);
        case 0x3:
            if (marker != 0x33 || !Fits(pos, 8, 1) || !Charge(9))
                return FailNull("bad date");
            return Date(pos);
        case 0x4:
        case 0x5:
        case 0x6: {
            uint64_t count = 0;
            if (!Count(marker, &pos, &count))
                return nullptr;
            const size_t unit = (marker >> 4) == 0x6 ? 2 : 1;
            if (!Fits(pos, count, unit) || !Charge(pos - start + count * unit))
                return FailNull("length beyond the input");
            return Bytes(marker >> 4, pos, static_cast<size_t>(count));
        }
        case 0x8:
            return Uid(pos, nibble + 1);
        case 0xA:
        case 0xD: {
            uint64_t count = 0;
            if (!Count(marker, &pos, &count))
                return nullptr;
            const uint64_t refs = (marker >> 4) == 0xD ? 2 : 1;
            if (count > std::numeric_limits<uint64_t>::max() / 2 || !Fits(pos, count * refs, m_refSize) ||
                !Charge(pos - start + count * refs * m_refSize))
                return FailNull("count beyond the input");
            return (marker >> 4) == 0xA ? Array(pos, static_cast<size_t>(count), depth)
                                        : Dictionary(pos, static_cast<size_t>(count), depth);
        }
        default:
            return FailNull("unsupported object");
        }
    }

    CFTypeRef Integer(size_t pos, unsigned nibble) {
        if (nibble > 4)
            return FailNull("bad integer size");
        const size_t size = size_t{1} << nibble;
        if (!Fits(pos, size, 1) || !Charge(1 + size))
            return FailNull("truncated integer");
        if (size <= 4)
            return NewInteger(static_cast<int64_t>(ReadBigEndian(m_p + pos, size)));
        if (size == 8)
            return NewInteger(static_cast<int64_t>(ReadBigEndian(m_p + pos, 8)));
        const uint64_t high = ReadBigEndian(m_p + pos, 8);
        const uint64_t low = ReadBigEndian(m_p + pos + 8, 8);
        if (high == 0)
            return NewUnsigned(low);
        if (high == ~uint64_t{0} && (low >> 63))
            return NewInteger(static_cast<int64_t>(low));
        return FailNull("integer out of range");
    }

    // A keyed archiver's object number, read as the vendor's XML form of it:
    // a dictionary holding the number under "CF$UID".
    CFTypeRef Uid(size_t pos, size_t size) {
        if (size > 8 || !Fits(pos, size, 1) || !Charge(1 + size))
            return FailNull("bad uid");
        cf::Ref number(NewUnsigned(ReadBigEndian(m_p + pos, size)));
        cf::Ref holder(NewDictionary(m_mutableContainers));
        AsMutable<__CFDictionary>(holder.get())->Set(__CFStringMakeConstantString("CF$UID"), number.get(), true, true);
        return holder.release();
    }

    CFTypeRef Real(size_t pos, unsigned nibble) {
        if (nibble != 2 && nibble != 3)
            return FailNull("bad real size");
        const size_t size = size_t{1} << nibble;
        if (!Fits(pos, size, 1) || !Charge(1 + size))
            return FailNull("truncated real");
        const uint64_t bits = ReadBigEndian(m_p + pos, size);
        if (size == 4) {
            const uint32_t b32 = static_cast<uint32_t>(bits);
            float f;
            std::memcpy(&f, &b32, sizeof f);
            auto* n = new __CFNumber(__CFNumber::Kind::Float32, kCFNumberFloat32Type);
            n->real = f;
            return n;
        }
        double d;
        std::memcpy(&d, &bits, sizeof d);
        return NewReal(d);
    }

    CFTypeRef Date(size_t pos) {
        const uint64_t bits = ReadBigEndian(m_p + pos, 8);
        double d;
        std::memcpy(&d, &bits, sizeof d);
        return new __CFDate(d);
    }

    CFTypeRef Bytes(unsigned kind, size_t pos, size_t count) {
        const uint8_t* b = m_p + pos;
        if (kind == 0x4)
            return new __CFData(std::vector<uint8_t>(b, b + count), m_mutableLeaves);
        std::u16string text;
        if (kind == 0x5) {
            // ASCII, as written; UTF-8 accepted from lenient writers.
            if (!DecodeUtf8(b, count, &text))
                return FailNull("string is not ASCII or UTF-8");
        } else {
            text.resize(count);
            for (size_t i = 0; i < count; ++i)
                text[i] = static_cast<char16_t>(b[2 * i] << 8 | b[2 * i + 1]);
            if (!IsWellFormedUtf16(text.data(), text.size()))
                return FailNull("unpaired surrogate in a string");
        }
        return NewString(std::move(text), m_mutableLeaves);
    }

    CFTypeRef Array(size_t pos, size_t count, int depth) {
        cf::Ref holder(NewArray(m_mutableContainers));
        auto* array = AsMutable<__CFArray>(holder.get());
        array->items.reserve(count);
        for (size_t i = 0; i < count; ++i) {
            CFTypeRef item = ObjectAt(RefAt(pos, i), depth + 1);
            if (!item)
                return nullptr;
            Retain(item);
            array->items.push_back(item);
        }
        return holder.release();
    }

    CFTypeRef Dictionary(size_t pos, size_t count, int depth) {
        cf::Ref holder(NewDictionary(m_mutableContainers));
        auto* dict = AsMutable<__CFDictionary>(holder.get());
        dict->Reserve(count);
        for (size_t i = 0; i < count; ++i) {
            CFTypeRef key = ObjectAt(RefAt(pos, i), depth + 1);
            if (!key)
                return nullptr;
            if (!As<__CFString>(key))
                return FailNull("dictionary key is not a string");
            CFTypeRef value = ObjectAt(RefAt(pos, count + i), depth + 1);
            if (!value)
                return nullptr;
            Retain(key);
            Retain(value);
            cf::Ref heldKey(key), heldValue(value); // given back should the dictionary not take them
            dict->AdoptPair(key, value);
            heldKey.release();
            heldValue.release();
        }
        return holder.release();
    }

    const uint8_t* m_p;
    size_t m_n;
    const bool m_mutableContainers;
    const bool m_mutableLeaves;
    unsigned m_offsetSize = 0;
    unsigned m_refSize = 0;
    size_t m_count = 0;
    size_t m_top = 0;
    size_t m_table = 0;
    size_t m_budget = 0;
    std::vector<CFTypeRef> m_objects; // owned, by object index
    std::vector<uint8_t> m_state;     // 0 not read, 1 being read, 2 read
    const char* m_error = nullptr;
};

} // namespace

CFPropertyListRef ParseBinaryPlist(const uint8_t* bytes, size_t length, CFOptionFlags options, std::u16string* error) {
    BinaryReader reader(bytes, length, options);
    return reader.Read(error);
}

} // namespace cf
