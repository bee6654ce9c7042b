// The property-list writers: XML (tab indentation, the standard prolog,
// data in lines of 76 base64 characters) and binary ("bplist00": a
// container named from many places written once, and equal leaves once).
#include "plist/codec_internal.h"

#include <cstring>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace plist {
namespace {

using Node = Source::Node;

bool IsAscii(std::string_view bytes) {
    for (char c : bytes) {
        if (static_cast<uint8_t>(c) >= 0x80)
            return false;
    }
    return true;
}

bool IsAscii(std::u16string_view units) {
    for (char16_t u : units) {
        if (u >= 0x80)
            return false;
    }
    return true;
}

// ---- XML -----------------------------------------------------------------------------------------

class XmlWriter {
  public:
    explicit XmlWriter(const Source& source) : m_s(source) {}

    bool Write(Source::Handle root, std::string* out) {
        m_out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
                "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
                "<plist version=\"1.0\">\n";
        if (!Value(root, 1))
            return false;
        m_out += "</plist>\n";
        *out = std::move(m_out);
        return true;
    }

  private:
    // The text escaped; false when it is not well-formed Unicode.
    bool Escaped(const Text& text) {
        std::string_view utf8 = text.utf8;
        if (text.wide) {
            if (!IsWellFormedUtf16(text.utf16))
                return false;
            m_utf8.clear();
            AppendUtf8(text.utf16, &m_utf8);
            utf8 = m_utf8;
        } else if (!IsValidUtf8(utf8)) {
            return false;
        }
        size_t run = 0;
        for (size_t i = 0; i < utf8.size(); ++i) {
            const char c = utf8[i];
            const char* entity = c == '&' ? "&amp;" : c == '<' ? "&lt;" : c == '>' ? "&gt;" : nullptr;
            if (!entity)
                continue;
            m_out.append(utf8.data() + run, i - run);
            m_out += entity;
            run = i + 1;
        }
        m_out.append(utf8.data() + run, utf8.size() - run);
        return true;
    }

    void Data(std::string_view bytes, const std::string& indent) {
        const std::string encoded = EncodeBase64(bytes);
        for (size_t i = 0; i < encoded.size(); i += 76) {
            m_out += indent;
            m_out.append(encoded, i, 76);
            m_out += '\n';
        }
    }

    bool Value(Source::Handle value, int depth) {
        Node node;
        if (depth > kMaxDepth || !m_s.Describe(value, &node))
            return false;
        const std::string indent(static_cast<size_t>(depth - 1), '\t');
        m_out += indent;
        switch (node.kind) {
        case Kind::Bool:
            m_out += node.boolean ? "<true/>\n" : "<false/>\n";
            return true;
        case Kind::Integer:
            m_out += "<integer>" + detail::IntegerText(node.integer, node.isUnsigned) + "</integer>\n";
            return true;
        case Kind::Real:
            m_out += "<real>" + detail::RealText(node.real) + "</real>\n";
            return true;
        case Kind::Date:
            // The text form holds years 0000 to 9999 to the second.
            if (!DateFitsXml(node.real))
                return false;
            m_out += "<date>" + FormatDate(node.real) + "</date>\n";
            return true;
        case Kind::String:
            m_out += "<string>";
            if (!Escaped(node.text))
                return false;
            m_out += "</string>\n";
            return true;
        case Kind::Data:
            m_out += "<data>\n";
            Data(node.bytes, indent);
            m_out += indent + "</data>\n";
            return true;
        case Kind::Array:
            return Array(value, node.count, depth, indent);
        case Kind::Dict:
            return Dict(value, node.count, depth, indent);
        }
        return false;
    }

    bool Array(Source::Handle array, size_t count, int depth, const std::string& indent) {
        if (count == 0) {
            m_out += "<array/>\n";
            return true;
        }
        m_out += "<array>\n";
        for (size_t i = 0; i < count; ++i) {
            if (!Value(m_s.Item(array, i), depth + 1))
                return false;
        }
        m_out += indent + "</array>\n";
        return true;
    }

    bool Dict(Source::Handle dict, size_t count, int depth, const std::string& indent) {
        if (count == 0) {
            m_out += "<dict/>\n";
            return true;
        }
        m_out += "<dict>\n";
        for (size_t i = 0; i < count; ++i) {
            Text key;
            if (!m_s.Key(dict, i, &key))
                return false;
            m_out += indent + "\t<key>";
            if (!Escaped(key))
                return false;
            m_out += "</key>\n";
            if (!Value(m_s.EntryValue(dict, i), depth + 1))
                return false;
        }
        m_out += indent + "</dict>\n";
        return true;
    }

    const Source& m_s;
    std::string m_out;
    std::string m_utf8; // reused conversion buffer
};

// ---- binary --------------------------------------------------------------------------------------

unsigned SizeFor(uint64_t v) { return v <= 0xFF ? 1 : v <= 0xFFFF ? 2 : v <= 0xFFFFFFFFu ? 4 : 8; }

void PutBigEndian(uint64_t v, unsigned size, std::string* out) {
    for (unsigned i = size; i-- > 0;)
        out->push_back(static_cast<char>(v >> (8 * i)));
}

// A marker with its count: in the low nibble, or as an integer after it.
void PutMarker(uint8_t kind, size_t count, std::string* out) {
    if (count < 15) {
        out->push_back(static_cast<char>(kind << 4 | count));
        return;
    }
    out->push_back(static_cast<char>(kind << 4 | 0x0F));
    const unsigned size = SizeFor(count);
    const uint8_t exponent = size == 1 ? 0 : size == 2 ? 1 : size == 4 ? 2 : 3;
    out->push_back(static_cast<char>(0x10 | exponent));
    PutBigEndian(count, size, out);
}

void PutDouble(uint8_t marker, double value, std::string* out) {
    uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    out->push_back(static_cast<char>(marker));
    PutBigEndian(bits, 8, out);
}

void PutInteger(int64_t value, bool isUnsigned, std::string* out) {
    if (isUnsigned) {
        out->push_back('\x14');
        PutBigEndian(0, 8, out);
        PutBigEndian(static_cast<uint64_t>(value), 8, out);
    } else if (value >= 0 && value <= 0xFFFFFFFFLL) {
        const unsigned size = SizeFor(static_cast<uint64_t>(value));
        out->push_back(static_cast<char>(0x10 | (size == 1 ? 0 : size == 2 ? 1 : 2)));
        PutBigEndian(static_cast<uint64_t>(value), size, out);
    } else {
        out->push_back('\x13');
        PutBigEndian(static_cast<uint64_t>(value), 8, out);
    }
}

class BinaryWriter {
  public:
    explicit BinaryWriter(const Source& source) : m_s(source) {}

    bool Write(Source::Handle root, std::string* out) {
        size_t rootIndex = 0;
        if (!Flatten(root, 1, &rootIndex))
            return false;
        const size_t count = m_objects.size();
        const unsigned refSize = SizeFor(count);
        std::string b = "bplist00";
        std::vector<uint64_t> offsets;
        offsets.reserve(count);
        for (const Object& object : m_objects) {
            offsets.push_back(b.size());
            if (object.leaf) {
                b += *object.leaf;
                continue;
            }
            PutMarker(object.isArray ? 0xA : 0xD, object.isArray ? object.children.size() : object.children.size() / 2,
                      &b);
            for (size_t child : object.children)
                PutBigEndian(child, refSize, &b);
        }
        const uint64_t table = b.size();
        const unsigned offsetSize = SizeFor(table);
        for (uint64_t o : offsets)
            PutBigEndian(o, offsetSize, &b);
        b.append(6, '\0');
        b.push_back(static_cast<char>(offsetSize));
        b.push_back(static_cast<char>(refSize));
        PutBigEndian(count, 8, &b);
        PutBigEndian(rootIndex, 8, &b);
        PutBigEndian(table, 8, &b);
        *out = std::move(b);
        return true;
    }

  private:
    struct Object {
        const std::string* leaf = nullptr; // a leaf's encoding (a key of m_leaves)
        bool isArray = false;
        std::vector<size_t> children; // arrays: items; dictionaries: keys, then values
    };

    // The encoding of a string: ASCII as bytes, anything else as UTF-16
    // (big-endian). False when the text is not well-formed Unicode.
    bool EncodeText(const Text& text, std::string* out) {
        if (text.wide) {
            if (!IsWellFormedUtf16(text.utf16))
                return false;
            m_units.assign(text.utf16);
        } else if (IsAscii(text.utf8)) {
            PutMarker(0x5, text.utf8.size(), out);
            out->append(text.utf8);
            return true;
        } else {
            m_units.clear();
            if (!AppendUtf16(text.utf8, &m_units))
                return false;
        }
        if (IsAscii(m_units)) {
            PutMarker(0x5, m_units.size(), out);
            for (char16_t u : m_units)
                out->push_back(static_cast<char>(u));
            return true;
        }
        PutMarker(0x6, m_units.size(), out);
        for (char16_t u : m_units)
            PutBigEndian(u, 2, out);
        return true;
    }

    bool EncodeLeaf(const Node& node, std::string* out) {
        switch (node.kind) {
        case Kind::Bool:
            out->push_back(node.boolean ? '\x09' : '\x08');
            return true;
        case Kind::Integer:
            PutInteger(node.integer, node.isUnsigned, out);
            return true;
        case Kind::Real:
            if (node.single) {
                const float f = static_cast<float>(node.real);
                uint32_t bits;
                std::memcpy(&bits, &f, sizeof bits);
                out->push_back('\x22');
                PutBigEndian(bits, 4, out);
            } else {
                PutDouble(0x23, node.real, out);
            }
            return true;
        case Kind::Date:
            PutDouble(0x33, node.real, out);
            return true;
        case Kind::String:
            return EncodeText(node.text, out);
        case Kind::Data:
            PutMarker(0x4, node.bytes.size(), out);
            out->append(node.bytes);
            return true;
        case Kind::Array:
        case Kind::Dict:
            break;
        }
        return false;
    }

    // The object of an encoded leaf, made once per distinct encoding.
    size_t Leaf(std::string&& encoded) {
        auto found = m_leaves.find(encoded);
        if (found != m_leaves.end())
            return found->second;
        const size_t index = m_objects.size();
        auto added = m_leaves.emplace(std::move(encoded), index).first;
        m_objects.push_back(Object{&added->first, false, {}});
        return index;
    }

    // Gives every distinct value an index (the root gets 0); false for a
    // value that cannot be written or a cycle.
    bool Flatten(Source::Handle value, int depth, size_t* index) {
        Node node;
        if (depth > kMaxDepth || !m_s.Describe(value, &node))
            return false;
        if (node.kind != Kind::Array && node.kind != Kind::Dict) {
            std::string encoded;
            if (!EncodeLeaf(node, &encoded))
                return false;
            *index = Leaf(std::move(encoded));
            return true;
        }
        auto known = m_containers.find(value);
        if (known != m_containers.end()) {
            *index = known->second;
            return !m_inProgress.count(value);
        }
        const size_t self = m_objects.size();
        m_containers.emplace(value, self);
        m_objects.push_back(Object{nullptr, node.kind == Kind::Array, {}});
        m_inProgress.insert(value);
        std::vector<size_t> children;
        children.reserve(node.kind == Kind::Array ? node.count : 2 * node.count);
        if (node.kind == Kind::Array ? !Items(value, node.count, depth, &children)
                                     : !Entries(value, node.count, depth, &children))
            return false;
        m_inProgress.erase(value);
        m_objects[self].children = std::move(children);
        *index = self;
        return true;
    }

    bool Items(Source::Handle array, size_t count, int depth, std::vector<size_t>* children) {
        for (size_t i = 0; i < count; ++i) {
            size_t child = 0;
            if (!Flatten(m_s.Item(array, i), depth + 1, &child))
                return false;
            children->push_back(child);
        }
        return true;
    }

    bool Entries(Source::Handle dict, size_t count, int depth, std::vector<size_t>* children) {
        for (size_t i = 0; i < count; ++i) {
            Text key;
            std::string encoded;
            if (!m_s.Key(dict, i, &key) || !EncodeText(key, &encoded))
                return false;
            children->push_back(Leaf(std::move(encoded)));
        }
        for (size_t i = 0; i < count; ++i) {
            size_t child = 0;
            if (!Flatten(m_s.EntryValue(dict, i), depth + 1, &child))
                return false;
            children->push_back(child);
        }
        return true;
    }

    const Source& m_s;
    std::vector<Object> m_objects;
    std::unordered_map<std::string, size_t> m_leaves;
    std::unordered_map<Source::Handle, size_t> m_containers;
    std::unordered_set<Source::Handle> m_inProgress;
    std::u16string m_units; // reused conversion buffer
};

} // namespace

bool WriteXml(const Source& source, Source::Handle root, std::string* out) {
    try {
        XmlWriter writer(source);
        return writer.Write(root, out);
    } catch (const std::bad_alloc&) {
        return false;
    }
}

bool WriteBinary(const Source& source, Source::Handle root, std::string* out) {
    try {
        BinaryWriter writer(source);
        return writer.Write(root, out);
    } catch (const std::bad_alloc&) {
        return false;
    }
}

} // namespace plist
