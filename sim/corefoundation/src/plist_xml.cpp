// The XML property-list reader. Input is untrusted: every read is bounds
// checked, nesting is limited, only the five predefined entities and
// numeric character references are accepted (a document type with an
// internal subset is refused, so no entity can be declared), and text must
// be UTF-8.
#include "plist_common.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <string_view>

namespace cf {
namespace {

bool IsSpace(uint8_t c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
bool IsNameChar(uint8_t c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
           c == ':' || c == '.';
}

void AppendCodePoint(uint32_t cp, std::string* out) {
    if (cp < 0x80) {
        out->push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out->push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out->push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out->push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out->push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

int Base64Value(uint8_t c) {
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    return -1;
}

// For a decimal number beyond the range of a double (digits, an optional
// point and fraction, an optional exponent): true when it is too large,
// false when too small.
bool Overflows(std::string_view t) {
    size_t i = 0;
    long magnitude = 0; // position of the first significant digit
    while (i < t.size() && t[i] == '0')
        ++i;
    while (i < t.size() && t[i] >= '0' && t[i] <= '9') {
        ++magnitude;
        ++i;
    }
    if (i < t.size() && t[i] == '.') {
        ++i;
        if (magnitude == 0) {
            while (i < t.size() && t[i] == '0') {
                --magnitude;
                ++i;
            }
        }
        while (i < t.size() && t[i] >= '0' && t[i] <= '9')
            ++i;
    }
    long exponent = 0;
    if (i < t.size() && (t[i] == 'e' || t[i] == 'E')) {
        ++i;
        const bool negative = i < t.size() && t[i] == '-';
        if (i < t.size() && (t[i] == '-' || t[i] == '+'))
            ++i;
        for (; i < t.size() && t[i] >= '0' && t[i] <= '9'; ++i)
            exponent = std::min(exponent * 10 + (t[i] - '0'), 1000000L);
        exponent = negative ? -exponent : exponent;
    }
    return magnitude + exponent > 0;
}

class XmlReader {
  public:
    XmlReader(const uint8_t* bytes, size_t length, CFOptionFlags options)
        : m_p(bytes), m_n(length), m_mutableContainers(options != kCFPropertyListImmutable),
          m_mutableLeaves(options == kCFPropertyListMutableContainersAndLeaves) {}

    CFPropertyListRef Read(std::u16string* error) {
        Ref root = Document();
        if (!root) {
            *error = u"Malformed XML property list: " + FromAscii(m_error ? m_error : "unexpected input") +
                     u" (near byte " + FromAscii(std::to_string(m_errorAt).c_str()) + u")";
            return nullptr;
        }
        return root.release();
    }

  private:
    // ---- low level -----------------------------------------------------------------------

    bool Fail(const char* why) {
        if (!m_error) {
            m_error = why;
            m_errorAt = m_pos;
        }
        return false;
    }
    Ref FailRef(const char* why) {
        Fail(why);
        return Ref();
    }
    bool AtEnd() const { return m_pos >= m_n; }
    bool LookingAt(std::string_view s) const {
        return m_n - m_pos >= s.size() && std::memcmp(m_p + m_pos, s.data(), s.size()) == 0;
    }
    void SkipSpace() {
        while (m_pos < m_n && IsSpace(m_p[m_pos]))
            ++m_pos;
    }
    // Moves past the next `end`; false when it never comes.
    bool SkipPast(std::string_view end) {
        while (m_pos < m_n) {
            if (LookingAt(end)) {
                m_pos += end.size();
                return true;
            }
            ++m_pos;
        }
        return false;
    }

    // Whitespace, comments and processing instructions between elements.
    bool SkipMisc() {
        for (;;) {
            SkipSpace();
            if (LookingAt("<!--")) {
                m_pos += 4;
                if (!SkipPast("-->"))
                    return Fail("unterminated comment");
            } else if (LookingAt("<?")) {
                m_pos += 2;
                if (!SkipPast("?>"))
                    return Fail("unterminated processing instruction");
            } else {
                return true;
            }
        }
    }

    // The XML declaration: only UTF-8 (or its ASCII subset) is read.
    bool Declaration() {
        const size_t start = m_pos;
        if (!SkipPast("?>"))
            return Fail("unterminated XML declaration");
        std::string_view decl(reinterpret_cast<const char*>(m_p + start), m_pos - start);
        const size_t enc = decl.find("encoding");
        if (enc == std::string_view::npos)
            return true;
        size_t q = decl.find_first_of("\"'", enc);
        if (q == std::string_view::npos)
            return Fail("bad encoding declaration");
        const size_t q2 = decl.find(decl[q], q + 1);
        if (q2 == std::string_view::npos)
            return Fail("bad encoding declaration");
        std::string name(decl.substr(q + 1, q2 - q - 1));
        for (char& c : name)
            c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
        if (name != "UTF-8" && name != "UTF8" && name != "US-ASCII" && name != "ASCII")
            return Fail("unsupported text encoding");
        return true;
    }

    // <!DOCTYPE ...>: skipped, unless it carries an internal subset, which
    // could declare entities; that is refused.
    bool DocType() {
        m_pos += 9;
        char quote = 0;
        while (m_pos < m_n) {
            const uint8_t c = m_p[m_pos++];
            if (quote) {
                if (c == quote)
                    quote = 0;
            } else if (c == '"' || c == '\'') {
                quote = static_cast<char>(c);
            } else if (c == '[') {
                return Fail("document type declarations with an internal subset are not accepted");
            } else if (c == '>') {
                return true;
            }
        }
        return Fail("unterminated document type declaration");
    }

    // Reads "<name attributes>" or "<name .../>" at the current '<'.
    bool StartTag(std::string_view* name, bool* empty) {
        if (!LookingAt("<"))
            return Fail("expected an element");
        ++m_pos;
        const size_t start = m_pos;
        while (m_pos < m_n && IsNameChar(m_p[m_pos]))
            ++m_pos;
        if (m_pos == start)
            return Fail("expected an element name");
        *name = std::string_view(reinterpret_cast<const char*>(m_p + start), m_pos - start);
        char quote = 0;
        while (m_pos < m_n) {
            const uint8_t c = m_p[m_pos++];
            if (quote) {
                if (c == quote)
                    quote = 0;
            } else if (c == '"' || c == '\'') {
                quote = static_cast<char>(c);
            } else if (c == '>') {
                *empty = m_pos >= 2 && m_p[m_pos - 2] == '/';
                return true;
            } else if (c == '<') {
                return Fail("'<' inside a tag");
            }
        }
        return Fail("unterminated tag");
    }

    // Reads "</name>" at the current position.
    bool EndTag(std::string_view name) {
        if (!LookingAt("</"))
            return Fail("expected a closing tag");
        m_pos += 2;
        if (!LookingAt(name))
            return Fail("mismatched closing tag");
        m_pos += name.size();
        SkipSpace();
        if (!LookingAt(">"))
            return Fail("mismatched closing tag");
        ++m_pos;
        return true;
    }

    // The character data of an element up to its closing tag, with
    // references, CDATA sections and comments resolved, as UTF-8 bytes.
    bool Text(std::string_view name, std::string* out) {
        out->clear();
        for (;;) {
            size_t run = m_pos;
            while (run < m_n && m_p[run] != '<' && m_p[run] != '&')
                ++run;
            out->append(reinterpret_cast<const char*>(m_p + m_pos), run - m_pos);
            m_pos = run;
            if (AtEnd())
                return Fail("unterminated element");
            if (m_p[m_pos] == '&') {
                if (!Reference(out))
                    return false;
            } else if (LookingAt("</")) {
                return EndTag(name);
            } else if (LookingAt("<![CDATA[")) {
                m_pos += 9;
                const size_t start = m_pos;
                if (!SkipPast("]]>"))
                    return Fail("unterminated CDATA section");
                out->append(reinterpret_cast<const char*>(m_p + start), m_pos - 3 - start);
            } else if (LookingAt("<!--")) {
                m_pos += 4;
                if (!SkipPast("-->"))
                    return Fail("unterminated comment");
            } else if (LookingAt("<?")) {
                m_pos += 2;
                if (!SkipPast("?>"))
                    return Fail("unterminated processing instruction");
            } else {
                return Fail("unexpected element inside text");
            }
        }
    }

    bool Reference(std::string* out) {
        ++m_pos; // '&'
        size_t end = m_pos;
        while (end < m_n && end - m_pos < 12 && m_p[end] != ';')
            ++end;
        if (end >= m_n || m_p[end] != ';')
            return Fail("unterminated entity reference");
        std::string_view ref(reinterpret_cast<const char*>(m_p + m_pos), end - m_pos);
        m_pos = end + 1;
        static const struct {
            const char* name;
            char c;
        } kPredefined[] = {{"lt", '<'}, {"gt", '>'}, {"amp", '&'}, {"quot", '"'}, {"apos", '\''}};
        for (const auto& e : kPredefined) {
            if (ref == e.name) {
                out->push_back(e.c);
                return true;
            }
        }
        if (ref.size() < 2 || ref[0] != '#')
            return Fail("unknown entity");
        const bool hex = ref[1] == 'x' || ref[1] == 'X';
        const char* first = ref.data() + (hex ? 2 : 1);
        const char* last = ref.data() + ref.size();
        uint32_t cp = 0;
        const auto r = std::from_chars(first, last, cp, hex ? 16 : 10);
        if (first == last || r.ec != std::errc() || r.ptr != last || cp == 0 || cp > 0x10FFFF ||
            (cp >= 0xD800 && cp <= 0xDFFF))
            return Fail("bad character reference");
        AppendCodePoint(cp, out);
        return true;
    }

    // ---- document and values ------------------------------------------------------------

    Ref Document() {
        if (LookingAt("\xEF\xBB\xBF"))
            m_pos += 3;
        for (;;) {
            SkipSpace();
            if (LookingAt("<?xml")) {
                m_pos += 5;
                if (!Declaration())
                    return Ref();
            } else if (LookingAt("<!DOCTYPE")) {
                if (!DocType())
                    return Ref();
            } else if (LookingAt("<!--") || LookingAt("<?")) {
                if (!SkipMisc())
                    return Ref();
            } else {
                break;
            }
        }
        Ref root;
        if (LookingAt("<plist") && m_n - m_pos > 6 && !IsNameChar(m_p[m_pos + 6])) {
            std::string_view name;
            bool empty = false;
            if (!StartTag(&name, &empty))
                return Ref();
            if (empty)
                return FailRef("empty plist element");
            if (!SkipMisc())
                return Ref();
            root = Value(1);
            if (!root || !SkipMisc() || !EndTag("plist"))
                return Ref();
        } else {
            root = Value(1);
            if (!root)
                return Ref();
        }
        if (!SkipMisc())
            return Ref();
        if (!AtEnd())
            return FailRef("content after the property list");
        return root;
    }

    Ref Value(int depth) {
        if (depth > kMaxPlistDepth)
            return FailRef("nesting too deep");
        std::string_view name;
        bool empty = false;
        if (!StartTag(&name, &empty))
            return Ref();
        if (name == "dict")
            return Dictionary(depth, empty);
        if (name == "array")
            return Array(depth, empty);
        if (name == "true" || name == "false") {
            if (!empty && !EndTag(name))
                return Ref();
            return Ref(name == "true" ? &g_true : &g_false);
        }
        if (name == "string" || name == "key") {
            if (name == "key")
                return FailRef("key outside a dictionary");
            return String(name, empty);
        }
        if (empty)
            return FailRef("empty value element");
        if (!Text(name, &m_text))
            return Ref();
        if (name == "integer")
            return Integer();
        if (name == "real")
            return Real();
        if (name == "date")
            return Date();
        if (name == "data")
            return Data();
        return FailRef("unknown element");
    }

    Ref String(std::string_view name, bool empty) {
        if (empty)
            m_text.clear();
        else if (!Text(name, &m_text))
            return Ref();
        std::u16string units;
        if (!DecodeUtf8(reinterpret_cast<const uint8_t*>(m_text.data()), m_text.size(), &units))
            return FailRef("text is not UTF-8");
        return Ref(NewString(std::move(units), m_mutableLeaves));
    }

    Ref Dictionary(int depth, bool empty) {
        Ref holder(NewDictionary(m_mutableContainers));
        if (empty)
            return holder;
        auto* dict = AsMutable<__CFDictionary>(holder.get());
        for (;;) {
            if (!SkipMisc())
                return Ref();
            if (LookingAt("</"))
                return EndTag("dict") ? std::move(holder) : Ref();
            std::string_view name;
            bool keyEmpty = false;
            if (!StartTag(&name, &keyEmpty))
                return Ref();
            if (name != "key")
                return FailRef("dictionary key is not a string");
            Ref key = String(name, keyEmpty);
            if (!key || !SkipMisc())
                return Ref();
            if (LookingAt("</"))
                return FailRef("dictionary key without a value");
            Ref value = Value(depth + 1);
            if (!value)
                return Ref();
            dict->AdoptPair(key.get(), value.get());
            key.release();
            value.release();
        }
    }

    Ref Array(int depth, bool empty) {
        Ref holder(NewArray(m_mutableContainers));
        if (empty)
            return holder;
        auto* array = AsMutable<__CFArray>(holder.get());
        for (;;) {
            if (!SkipMisc())
                return Ref();
            if (LookingAt("</"))
                return EndTag("array") ? std::move(holder) : Ref();
            Ref value = Value(depth + 1);
            if (!value)
                return Ref();
            array->items.push_back(value.get());
            value.release();
        }
    }

    std::string_view Trimmed() const {
        size_t b = 0, e = m_text.size();
        while (b < e && IsSpace(static_cast<uint8_t>(m_text[b])))
            ++b;
        while (e > b && IsSpace(static_cast<uint8_t>(m_text[e - 1])))
            --e;
        return std::string_view(m_text).substr(b, e - b);
    }

    Ref Integer() {
        std::string_view t = Trimmed();
        bool negative = false;
        if (!t.empty() && (t[0] == '-' || t[0] == '+')) {
            negative = t[0] == '-';
            t.remove_prefix(1);
        }
        int base = 10;
        if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) {
            base = 16;
            t.remove_prefix(2);
        }
        uint64_t magnitude = 0;
        const auto r = std::from_chars(t.data(), t.data() + t.size(), magnitude, base);
        if (t.empty() || r.ec != std::errc() || r.ptr != t.data() + t.size())
            return FailRef("bad integer");
        if (!negative)
            return Ref(NewUnsigned(magnitude));
        if (magnitude > 0x8000000000000000ULL)
            return FailRef("integer out of range");
        return Ref(NewInteger(static_cast<int64_t>(0 - magnitude)));
    }

    Ref Real() {
        std::string_view t = Trimmed();
        std::string lower(t.substr(0, 16));
        for (char& c : lower)
            c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
        constexpr double inf = std::numeric_limits<double>::infinity();
        if (lower == "nan")
            return Ref(NewReal(std::numeric_limits<double>::quiet_NaN()));
        if (lower == "inf" || lower == "+inf" || lower == "infinity" || lower == "+infinity")
            return Ref(NewReal(inf));
        if (lower == "-inf" || lower == "-infinity")
            return Ref(NewReal(-inf));
        if (!t.empty() && t[0] == '+')
            t.remove_prefix(1);
        const bool negative = !t.empty() && t[0] == '-';
        double v = 0;
        const auto r = std::from_chars(t.data(), t.data() + t.size(), v);
        if (t.empty() || r.ptr != t.data() + t.size() ||
            (r.ec != std::errc() && r.ec != std::errc::result_out_of_range))
            return FailRef("bad real");
        if (r.ec == std::errc::result_out_of_range)
            v = Overflows(t.substr(negative ? 1 : 0)) ? inf : 0.0;
        return Ref(NewReal(negative ? -std::fabs(v) : v));
    }

    Ref Date() {
        // YYYY-MM-DDTHH:MM:SSZ
        const std::string_view t = Trimmed();
        auto digits = [&](size_t at, size_t count, int* out) {
            int v = 0;
            for (size_t k = 0; k < count; ++k) {
                const char c = t[at + k];
                if (c < '0' || c > '9')
                    return false;
                v = v * 10 + (c - '0');
            }
            *out = v;
            return true;
        };
        int y, mo, d, h, mi, s;
        if (t.size() != 20 || t[4] != '-' || t[7] != '-' || t[10] != 'T' || t[13] != ':' || t[16] != ':' ||
            t[19] != 'Z' || !digits(0, 4, &y) || !digits(5, 2, &mo) || !digits(8, 2, &d) || !digits(11, 2, &h) ||
            !digits(14, 2, &mi) || !digits(17, 2, &s))
            return FailRef("bad date");
        static const int kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
        const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
        if (mo < 1 || mo > 12 || d < 1 || d > kDays[mo - 1] || (mo == 2 && d == 29 && !leap) || h > 23 || mi > 59 ||
            s > 59)
            return FailRef("bad date");
        const int64_t days = DaysFromCivil(y, static_cast<unsigned>(mo), static_cast<unsigned>(d));
        const double at = static_cast<double>(days * 86400 + h * 3600 + mi * 60 + s) - kCFAbsoluteTimeIntervalSince1970;
        return Ref(new __CFDate(at));
    }

    Ref Data() {
        std::vector<uint8_t> bytes;
        bytes.reserve(m_text.size() * 3 / 4);
        uint32_t acc = 0;
        int bits = 0;
        size_t padding = 0;
        for (char ch : m_text) {
            const uint8_t c = static_cast<uint8_t>(ch);
            if (IsSpace(c))
                continue;
            if (c == '=') {
                ++padding;
                continue;
            }
            const int v = Base64Value(c);
            if (v < 0 || padding)
                return FailRef("bad base64 data");
            acc = (acc << 6) | static_cast<uint32_t>(v);
            bits += 6;
            if (bits >= 8) {
                bits -= 8;
                bytes.push_back(static_cast<uint8_t>(acc >> bits));
            }
        }
        if (bits >= 6 || padding > 2)
            return FailRef("bad base64 data");
        auto* data = new __CFData(std::move(bytes), m_mutableLeaves);
        return Ref(data);
    }

    const uint8_t* m_p;
    size_t m_n;
    size_t m_pos = 0;
    const bool m_mutableContainers;
    const bool m_mutableLeaves;
    const char* m_error = nullptr;
    size_t m_errorAt = 0;
    std::string m_text; // reused text buffer
};

} // namespace

CFPropertyListRef ParseXmlPlist(const uint8_t* bytes, size_t length, CFOptionFlags options, std::u16string* error) {
    XmlReader reader(bytes, length, options);
    return reader.Read(error);
}

} // namespace cf
