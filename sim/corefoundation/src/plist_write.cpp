// The property-list writers: XML (the vendor's layout: tab indentation,
// the standard prolog) and binary ("bplist00", objects referenced more than
// once written once). Only property-list values are written: strings,
// numbers, booleans, dates, data, arrays and dictionaries with string keys;
// anything else, a cycle or nesting beyond the limit fails the write.
#include "plist_common.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <unordered_map>
#include <unordered_set>

namespace cf {
namespace {

void AppendEscapedText(const std::u16string& units, std::string* out) {
    std::string utf8;
    AppendUtf8(units.data(), units.size(), &utf8);
    for (char c : utf8) {
        switch (c) {
        case '&':
            *out += "&amp;";
            break;
        case '<':
            *out += "&lt;";
            break;
        case '>':
            *out += "&gt;";
            break;
        default:
            out->push_back(c);
        }
    }
}

void AppendBase64(const uint8_t* bytes, size_t size, const std::string& indent, std::string* out) {
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string line;
    auto flush = [&] {
        *out += indent + line + "\n";
        line.clear();
    };
    for (size_t i = 0; i < size; i += 3) {
        const size_t left = size - i; // 1, 2 or 3 bytes of this group
        uint32_t v = static_cast<uint32_t>(bytes[i]) << 16;
        if (left > 1)
            v |= static_cast<uint32_t>(bytes[i + 1]) << 8;
        if (left > 2)
            v |= bytes[i + 2];
        line.push_back(alphabet[v >> 18]);
        line.push_back(alphabet[(v >> 12) & 63]);
        line.push_back(left > 1 ? alphabet[(v >> 6) & 63] : '=');
        line.push_back(left > 2 ? alphabet[v & 63] : '=');
        if (line.size() >= 76)
            flush();
    }
    if (!line.empty())
        flush();
}

std::string RealText(double v) {
    if (std::isnan(v))
        return "nan";
    if (std::isinf(v))
        return v > 0 ? "+infinity" : "-infinity";
    char buffer[64];
    const auto r = std::to_chars(buffer, buffer + sizeof buffer, v);
    std::string text(buffer, r.ptr);
    if (text.find_first_of(".en") == std::string::npos)
        text += ".0";
    return text;
}

std::string IntegerText(const __CFNumber& n) {
    char buffer[32];
    const auto r = n.kind == __CFNumber::Kind::BigUnsigned ? std::to_chars(buffer, buffer + sizeof buffer, n.big)
                                                           : std::to_chars(buffer, buffer + sizeof buffer, n.integer);
    return std::string(buffer, r.ptr);
}

// 0000-01-01 and 10000-01-01 as absolute times.
constexpr double kFirstXmlDate = -63145526400.0;
constexpr double kLastXmlDate = 252423993600.0;

bool WriteXmlValue(CFTypeRef value, int depth, std::string* out) {
    if (depth > kMaxPlistDepth)
        return false;
    const std::string indent(static_cast<size_t>(depth - 1), '\t');
    if (const auto* s = As<__CFString>(value)) {
        *out += indent + "<string>";
        AppendEscapedText(s->units, out);
        *out += "</string>\n";
    } else if (const auto* b = As<__CFBoolean>(value)) {
        *out += indent + (b->value ? "<true/>\n" : "<false/>\n");
    } else if (const auto* n = As<__CFNumber>(value)) {
        if (n->IsFloat())
            *out += indent + "<real>" + RealText(n->real) + "</real>\n";
        else
            *out += indent + "<integer>" + IntegerText(*n) + "</integer>\n";
    } else if (const auto* d = As<__CFDate>(value)) {
        // The text form holds years 0000 to 9999 to the second.
        if (!(d->at >= kFirstXmlDate && d->at < kLastXmlDate))
            return false;
        *out += indent + "<date>" + FormatIsoDate(d->at) + "</date>\n";
    } else if (const auto* data = As<__CFData>(value)) {
        *out += indent + "<data>\n";
        AppendBase64(data->Bytes(), data->Size(), indent, out);
        *out += indent + "</data>\n";
    } else if (const auto* a = As<__CFArray>(value)) {
        if (a->items.empty()) {
            *out += indent + "<array/>\n";
            return true;
        }
        *out += indent + "<array>\n";
        for (const void* item : a->items) {
            if (!WriteXmlValue(item, depth + 1, out))
                return false;
        }
        *out += indent + "</array>\n";
    } else if (const auto* dict = As<__CFDictionary>(value)) {
        if (dict->entries.empty()) {
            *out += indent + "<dict/>\n";
            return true;
        }
        *out += indent + "<dict>\n";
        for (const auto& e : dict->entries) {
            const auto* key = As<__CFString>(e.key);
            if (!key)
                return false;
            *out += indent + "\t<key>";
            AppendEscapedText(key->units, out);
            *out += "</key>\n";
            if (!WriteXmlValue(e.value, depth + 1, out))
                return false;
        }
        *out += indent + "</dict>\n";
    } else {
        return false;
    }
    return true;
}

// ---- binary ----------------------------------------------------------------------------------

class BinaryWriter {
  public:
    bool Write(CFPropertyListRef root, std::string* out) {
        if (Flatten(root, 1) < 0)
            return false;
        const size_t count = m_objects.size();
        m_refSize = SizeFor(count);
        std::string& b = *out;
        b.assign("bplist00");
        std::vector<uint64_t> offsets;
        offsets.reserve(count);
        for (size_t i = 0; i < count; ++i) {
            offsets.push_back(b.size());
            WriteObject(i, &b);
        }
        const uint64_t table = b.size();
        const unsigned offsetSize = SizeFor(table);
        for (uint64_t o : offsets)
            PutBigEndian(o, offsetSize, &b);
        b.append(6, '\0');
        b.push_back(static_cast<char>(offsetSize));
        b.push_back(static_cast<char>(m_refSize));
        PutBigEndian(count, 8, &b);
        PutBigEndian(0, 8, &b); // the root is object 0
        PutBigEndian(table, 8, &b);
        return true;
    }

  private:
    static unsigned SizeFor(uint64_t v) { return v <= 0xFF ? 1 : v <= 0xFFFF ? 2 : v <= 0xFFFFFFFFu ? 4 : 8; }

    static void PutBigEndian(uint64_t v, unsigned size, std::string* out) {
        for (unsigned i = size; i-- > 0;)
            out->push_back(static_cast<char>(v >> (8 * i)));
    }

    // Gives every distinct value an index (the root gets 0); -1 for a value
    // that cannot be written or a cycle.
    long Flatten(CFTypeRef value, int depth) {
        if (depth > kMaxPlistDepth)
            return -1;
        auto known = m_index.find(value);
        if (known != m_index.end())
            return m_inProgress.count(value) ? -1 : known->second;
        if (const auto* s = As<__CFString>(value)) {
            // Equal strings are written once, whichever object holds them.
            auto same = m_strings.find(s->units);
            if (same != m_strings.end())
                return same->second;
        }
        const long index = static_cast<long>(m_objects.size());
        m_index.emplace(value, index);
        m_objects.push_back(Entry{value, {}});
        if (const auto* s = As<__CFString>(value)) {
            m_strings.emplace(s->units, index);
            return index;
        }
        if (As<__CFBoolean>(value) || As<__CFNumber>(value) || As<__CFDate>(value) || As<__CFData>(value))
            return index;
        std::vector<long> children;
        m_inProgress.insert(value);
        if (const auto* a = As<__CFArray>(value)) {
            for (const void* item : a->items) {
                const long child = Flatten(item, depth + 1);
                if (child < 0)
                    return -1;
                children.push_back(child);
            }
        } else if (const auto* d = As<__CFDictionary>(value)) {
            for (const auto& e : d->entries) {
                if (!As<__CFString>(e.key))
                    return -1;
                const long child = Flatten(e.key, depth + 1);
                if (child < 0)
                    return -1;
                children.push_back(child);
            }
            for (const auto& e : d->entries) {
                const long child = Flatten(e.value, depth + 1);
                if (child < 0)
                    return -1;
                children.push_back(child);
            }
        } else {
            return -1;
        }
        m_inProgress.erase(value);
        m_objects[static_cast<size_t>(index)].children = std::move(children);
        return index;
    }

    static void PutMarker(uint8_t kind, size_t count, std::string* out) {
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

    void WriteObject(size_t i, std::string* out) const {
        const Entry& e = m_objects[i];
        if (const auto* b = As<__CFBoolean>(e.value)) {
            out->push_back(b->value ? '\x09' : '\x08');
        } else if (const auto* n = As<__CFNumber>(e.value)) {
            WriteNumber(*n, out);
        } else if (const auto* d = As<__CFDate>(e.value)) {
            out->push_back('\x33');
            uint64_t bits;
            std::memcpy(&bits, &d->at, sizeof bits);
            PutBigEndian(bits, 8, out);
        } else if (const auto* data = As<__CFData>(e.value)) {
            PutMarker(0x4, data->Size(), out);
            out->append(reinterpret_cast<const char*>(data->Bytes()), data->Size());
        } else if (const auto* s = As<__CFString>(e.value)) {
            if (s->isAscii) {
                PutMarker(0x5, s->units.size(), out);
                for (char16_t u : s->units)
                    out->push_back(static_cast<char>(u));
            } else {
                PutMarker(0x6, s->units.size(), out);
                for (char16_t u : s->units)
                    PutBigEndian(u, 2, out);
            }
        } else {
            const bool isArray = As<__CFArray>(e.value) != nullptr;
            PutMarker(isArray ? 0xA : 0xD, isArray ? e.children.size() : e.children.size() / 2, out);
            for (long child : e.children)
                PutBigEndian(static_cast<uint64_t>(child), m_refSize, out);
        }
    }

    static void WriteNumber(const __CFNumber& n, std::string* out) {
        if (n.kind == __CFNumber::Kind::Float32) {
            const float f = static_cast<float>(n.real);
            uint32_t bits;
            std::memcpy(&bits, &f, sizeof bits);
            out->push_back('\x22');
            PutBigEndian(bits, 4, out);
        } else if (n.kind == __CFNumber::Kind::Float64) {
            uint64_t bits;
            std::memcpy(&bits, &n.real, sizeof bits);
            out->push_back('\x23');
            PutBigEndian(bits, 8, out);
        } else if (n.kind == __CFNumber::Kind::BigUnsigned) {
            out->push_back('\x14');
            PutBigEndian(0, 8, out);
            PutBigEndian(n.big, 8, out);
        } else if (n.integer >= 0 && n.integer <= 0xFFFFFFFFLL) {
            const unsigned size = SizeFor(static_cast<uint64_t>(n.integer));
            out->push_back(static_cast<char>(0x10 | (size == 1 ? 0 : size == 2 ? 1 : 2)));
            PutBigEndian(static_cast<uint64_t>(n.integer), size, out);
        } else {
            out->push_back('\x13');
            PutBigEndian(static_cast<uint64_t>(n.integer), 8, out);
        }
    }

    struct Entry {
        CFTypeRef value;
        std::vector<long> children; // arrays: items; dictionaries: keys, then values
    };
    std::vector<Entry> m_objects;
    std::unordered_map<CFTypeRef, long> m_index;
    std::unordered_map<std::u16string, long> m_strings;
    std::unordered_set<CFTypeRef> m_inProgress;
    unsigned m_refSize = 1;
};

} // namespace

bool WriteXmlPlist(CFPropertyListRef plist, std::string* out) {
    out->assign("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
                "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
                "<plist version=\"1.0\">\n");
    if (!WriteXmlValue(plist, 1, out))
        return false;
    *out += "</plist>\n";
    return true;
}

bool WriteBinaryPlist(CFPropertyListRef plist, std::string* out) {
    BinaryWriter writer;
    return writer.Write(plist, out);
}

} // namespace cf
