// The binary property-list reader ("bplist00"):
//  - the trailer, the offset table and every object are checked against
//    the input before they are read; objects must lie before the table;
//  - counts are checked against the bytes left before anything is made;
//  - a reference back to an object still being read (a cycle) is refused,
//    and so is nesting beyond the depth limit;
//  - for a builder that shares values, each object is made once, whatever
//    the number of references to it, and the bytes all objects claim
//    together may not exceed the input (in a well-formed list objects never
//    overlap), so overlapping objects cannot make the reader do or keep more
//    than the input holds;
//  - for any other builder, each reference makes its object anew, within
//    the budgets Builder::SharesValues names.
#include "plist/codec_internal.h"

#include <cstring>
#include <limits>
#include <vector>

namespace plist {
namespace {

using detail::Owned;

constexpr size_t kHeaderSize = 8;
constexpr size_t kTrailerSize = 32;
// What copies of shared objects may make: values beyond four per input
// byte, text and data beyond eight times the input.
constexpr uint64_t kNodeAllowance = uint64_t{1} << 16;
constexpr uint64_t kPayloadAllowance = uint64_t{16} << 20;

uint64_t ReadBigEndian(const uint8_t* p, size_t n) {
    uint64_t v = 0;
    for (size_t i = 0; i < n; ++i)
        v = (v << 8) | p[i];
    return v;
}

class BinaryReader : detail::Reader {
  public:
    BinaryReader(const uint8_t* bytes, size_t length, Builder& builder)
        : Reader(builder), m_p(bytes), m_n(length), m_share(builder.SharesValues()),
          m_nodesLeft(uint64_t{4} * length + kNodeAllowance), m_payloadLeft(uint64_t{8} * length + kPayloadAllowance) {}

    ~BinaryReader() {
        for (Builder::Handle object : m_objects) {
            if (object)
                m_b.Discard(object);
        }
    }

    bool Read(Builder::Handle* root, std::string* error) {
        return Deliver(Trailer() ? Use(m_top, 1) : Nothing(), "binary", false, root, error);
    }

  private:
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
        if (m_share)
            m_objects.assign(m_count, nullptr);
        m_state.assign(m_count, 0);
        return true;
    }

    // The bytes of an object (`bytes`, counted once per object when values
    // are shared) and the text or data it makes (`payload`, counted for
    // every copy otherwise).
    bool Charge(uint64_t bytes, uint64_t payload) {
        if (m_share) {
            if (bytes > m_budget)
                return Fail("objects overlap");
            m_budget -= static_cast<size_t>(bytes);
            return true;
        }
        if (payload > m_payloadLeft)
            return Fail("shared objects copied beyond what the input allows");
        m_payloadLeft -= payload;
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

    // Where object `index` starts; 0 when the table says nothing usable.
    size_t OffsetOf(size_t index) {
        if (index >= m_count) {
            Fail("reference out of range");
            return 0;
        }
        const uint64_t offset = ReadBigEndian(m_p + m_table + index * m_offsetSize, m_offsetSize);
        if (offset < kHeaderSize || offset >= m_table) {
            Fail("object offset out of range");
            return 0;
        }
        return static_cast<size_t>(offset);
    }

    // An owned value of object `index` for one place in the tree.
    Owned Use(size_t index, int depth) {
        if (index < m_count && m_state[index] == 2)
            return Made(m_b.Share(m_objects[index]));
        if (index < m_count && m_state[index] == 1)
            return FailValue("objects refer to each other in a cycle");
        if (depth > kMaxDepth)
            return FailValue("nesting too deep");
        const size_t offset = OffsetOf(index);
        if (!offset)
            return Nothing();
        if (!m_share) {
            if (m_nodesLeft == 0)
                return FailValue("shared objects copied beyond what the input allows");
            --m_nodesLeft;
        }
        m_state[index] = 1;
        Owned object = Parse(offset, depth);
        m_state[index] = 0;
        if (!object || !m_share)
            return object;
        m_objects[index] = object.release();
        m_state[index] = 2;
        return Made(m_b.Share(m_objects[index]));
    }

    Owned Parse(size_t pos, int depth) {
        const size_t start = pos;
        const uint8_t marker = m_p[pos++];
        const unsigned nibble = marker & 0x0F;
        switch (marker >> 4) {
        case 0x0:
            if (marker != 0x08 && marker != 0x09)
                return FailValue("unsupported object");
            return Charge(1, 0) ? Made(m_b.MakeBool(marker == 0x09)) : Nothing();
        case 0x1:
            return Integer(pos, nibble);
        case 0x2:
            return Real(pos, nibble);
        case 0x3:
            if (marker != 0x33 || !Fits(pos, 8, 1) || !Charge(9, 0))
                return FailValue("bad date");
            return Made(m_b.MakeDate(Double(pos)));
        case 0x4:
        case 0x5:
        case 0x6: {
            uint64_t count = 0;
            if (!Count(marker, &pos, &count))
                return Nothing();
            const size_t unit = (marker >> 4) == 0x6 ? 2 : 1;
            if (!Fits(pos, count, unit))
                return FailValue("length beyond the input");
            if (!Charge(pos - start + count * unit, count * unit))
                return Nothing();
            return Bytes(marker >> 4, pos, static_cast<size_t>(count));
        }
        case 0x8:
            return Uid(pos, nibble + 1);
        case 0xA:
        case 0xD: {
            uint64_t count = 0;
            if (!Count(marker, &pos, &count))
                return Nothing();
            const uint64_t refs = (marker >> 4) == 0xD ? 2 : 1;
            if (count > std::numeric_limits<uint64_t>::max() / 2 || !Fits(pos, count * refs, m_refSize))
                return FailValue("count beyond the input");
            if (!Charge(pos - start + count * refs * m_refSize, 0))
                return Nothing();
            return (marker >> 4) == 0xA ? Array(pos, static_cast<size_t>(count), depth)
                                        : Dictionary(pos, static_cast<size_t>(count), depth);
        }
        default:
            return FailValue("unsupported object");
        }
    }

    Owned MakeNumber(uint64_t v) {
        return Made(v > static_cast<uint64_t>(INT64_MAX) ? m_b.MakeUnsigned(v)
                                                         : m_b.MakeInteger(static_cast<int64_t>(v)));
    }

    Owned Integer(size_t pos, unsigned nibble) {
        if (nibble > 4)
            return FailValue("bad integer size");
        const size_t size = size_t{1} << nibble;
        if (!Fits(pos, size, 1) || !Charge(1 + size, 0))
            return FailValue("truncated integer");
        if (size <= 8) // 8 bytes are signed; fewer are unsigned
            return Made(m_b.MakeInteger(static_cast<int64_t>(ReadBigEndian(m_p + pos, size))));
        const uint64_t high = ReadBigEndian(m_p + pos, 8);
        const uint64_t low = ReadBigEndian(m_p + pos + 8, 8);
        if (high == 0)
            return MakeNumber(low);
        if (high == ~uint64_t{0} && (low >> 63))
            return Made(m_b.MakeInteger(static_cast<int64_t>(low)));
        return FailValue("integer out of range");
    }

    // A keyed archiver's object number, read as the vendor's XML form of it:
    // a dictionary holding the number under "CF$UID".
    Owned Uid(size_t pos, size_t size) {
        if (size > 8 || !Fits(pos, size, 1) || !Charge(1 + size, 0))
            return FailValue("bad uid");
        Owned dict = Made(m_b.MakeDict(1));
        Owned key = Made(m_b.MakeString(std::string_view("CF$UID")));
        Owned number = MakeNumber(ReadBigEndian(m_p + pos, size));
        m_b.SetEntry(dict.get(), key.get(), number.get());
        key.release();
        number.release();
        return m_b.EndDict(dict.get()) ? std::move(dict) : FailValue("bad uid");
    }

    double Double(size_t pos) const {
        const uint64_t bits = ReadBigEndian(m_p + pos, 8);
        double d;
        std::memcpy(&d, &bits, sizeof d);
        return d;
    }

    Owned Real(size_t pos, unsigned nibble) {
        if (nibble != 2 && nibble != 3)
            return FailValue("bad real size");
        const size_t size = size_t{1} << nibble;
        if (!Fits(pos, size, 1) || !Charge(1 + size, 0))
            return FailValue("truncated real");
        if (size == 8)
            return Made(m_b.MakeReal(Double(pos), false));
        const uint32_t bits = static_cast<uint32_t>(ReadBigEndian(m_p + pos, 4));
        float f;
        std::memcpy(&f, &bits, sizeof f);
        return Made(m_b.MakeReal(f, true));
    }

    Owned Bytes(unsigned kind, size_t pos, size_t count) {
        const uint8_t* b = m_p + pos;
        if (kind == 0x4)
            return Made(m_b.MakeData(b, count));
        if (kind == 0x5) {
            // ASCII, as written; UTF-8 accepted from lenient writers.
            const std::string_view text(reinterpret_cast<const char*>(b), count);
            if (!IsValidUtf8(text))
                return FailValue("string is not ASCII or UTF-8");
            return Made(m_b.MakeString(text));
        }
        m_units.resize(count);
        for (size_t i = 0; i < count; ++i)
            m_units[i] = static_cast<char16_t>(b[2 * i] << 8 | b[2 * i + 1]);
        if (!IsWellFormedUtf16(m_units))
            return FailValue("unpaired surrogate in a string");
        return Made(m_b.MakeString(std::u16string_view(m_units)));
    }

    Owned Array(size_t pos, size_t count, int depth) {
        Owned array = Made(m_b.MakeArray(count));
        for (size_t i = 0; i < count; ++i) {
            Owned item = Use(RefAt(pos, i), depth + 1);
            if (!item)
                return Nothing();
            m_b.Append(array.get(), item.get());
            item.release();
        }
        return array;
    }

    // The object `index` is a string (checked before it is read).
    bool IsString(size_t index) {
        const size_t offset = OffsetOf(index);
        if (!offset)
            return false;
        const unsigned kind = m_p[offset] >> 4;
        return kind == 0x5 || kind == 0x6 || Fail("dictionary key is not a string");
    }

    Owned Dictionary(size_t pos, size_t count, int depth) {
        Owned dict = Made(m_b.MakeDict(count));
        for (size_t i = 0; i < count; ++i) {
            const size_t keyIndex = RefAt(pos, i);
            if (!IsString(keyIndex))
                return Nothing();
            Owned key = Use(keyIndex, depth + 1);
            if (!key)
                return Nothing();
            Owned value = Use(RefAt(pos, count + i), depth + 1);
            if (!value)
                return Nothing();
            m_b.SetEntry(dict.get(), key.get(), value.get());
            key.release();
            value.release();
        }
        return m_b.EndDict(dict.get()) ? std::move(dict) : FailValue("duplicate dictionary key");
    }

    const uint8_t* m_p;
    size_t m_n;
    const bool m_share;
    unsigned m_offsetSize = 0;
    unsigned m_refSize = 0;
    size_t m_count = 0;
    size_t m_top = 0;
    size_t m_table = 0;
    size_t m_budget = 0;                    // sharing: object bytes not yet claimed
    uint64_t m_nodesLeft;                   // copying: values that may still be made
    uint64_t m_payloadLeft;                 // copying: text and data bytes that may still be made
    std::vector<Builder::Handle> m_objects; // sharing: owned, by object index
    std::vector<uint8_t> m_state;           // 0 not being read, 1 being read, 2 read and kept
    std::u16string m_units;                 // reused text buffer
};

} // namespace

bool ReadBinary(const void* bytes, size_t size, Builder& builder, Builder::Handle* root, std::string* error) {
    return detail::ReadingWithin("binary", error, [&] {
        BinaryReader reader(static_cast<const uint8_t*>(bytes), size, builder);
        return reader.Read(root, error);
    });
}

} // namespace plist
