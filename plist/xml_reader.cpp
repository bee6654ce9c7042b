// The XML property-list reader. Every read is bounds checked, nesting is
// limited, only the five predefined entities and numeric character
// references are accepted (a document type with an internal subset is
// refused, so no entity can be declared), and text must be UTF-8.
#include "plist/codec_internal.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

namespace plist {
namespace {

using detail::IsXmlSpace;
using detail::Owned;

bool IsNameChar(uint8_t c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
           c == ':' || c == '.';
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

class XmlReader : detail::Reader {
  public:
    XmlReader(const uint8_t* bytes, size_t length, Builder& builder) : Reader(builder), m_p(bytes), m_n(length) {}

    bool Read(Builder::Handle* root, std::string* error) { return Deliver(Document(), "XML", true, root, error); }

  private:
    // ---- low level -----------------------------------------------------------------------

    bool AtEnd() const { return m_pos >= m_n; }
    bool LookingAt(std::string_view s) const {
        return m_n - m_pos >= s.size() && std::memcmp(m_p + m_pos, s.data(), s.size()) == 0;
    }
    void SkipSpace() {
        while (m_pos < m_n && IsXmlSpace(m_p[m_pos]))
            ++m_pos;
    }
    // Moves past the next `end`; false when it never comes.
    bool SkipPast(std::string_view end) {
        while (m_pos < m_n) {
            const void* next = std::memchr(m_p + m_pos, end[0], m_n - m_pos);
            if (!next) {
                m_pos = m_n;
                return false;
            }
            m_pos = static_cast<size_t>(static_cast<const uint8_t*>(next) - m_p);
            if (LookingAt(end)) {
                m_pos += end.size();
                return true;
            }
            ++m_pos;
        }
        return false;
    }

    bool AtCommentOrInstruction() const { return LookingAt("<!--") || LookingAt("<?"); }
    // Moves past the comment or processing instruction here; false when it
    // is cut off.
    bool SkipCommentOrInstruction() {
        const bool comment = LookingAt("<!--");
        m_pos += comment ? 4 : 2;
        if (SkipPast(comment ? "-->" : "?>"))
            return true;
        return Fail(comment ? "unterminated comment" : "unterminated processing instruction");
    }

    // Whitespace, comments and processing instructions between elements.
    bool SkipMisc() {
        for (;;) {
            SkipSpace();
            if (!AtCommentOrInstruction())
                return true;
            if (!SkipCommentOrInstruction())
                return false;
        }
    }

    // Moves past the first of `stops` outside quoted text and returns it;
    // 0 when the input ends first.
    uint8_t SkipOutsideQuotes(std::string_view stops) {
        uint8_t quote = 0;
        while (m_pos < m_n) {
            const uint8_t c = m_p[m_pos++];
            if (quote) {
                if (c == quote)
                    quote = 0;
            } else if (c == '"' || c == '\'') {
                quote = c;
            } else if (stops.find(static_cast<char>(c)) != std::string_view::npos) {
                return c;
            }
        }
        return 0;
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
        const uint8_t stop = SkipOutsideQuotes("[>");
        if (stop == '[')
            return Fail("document type declarations with an internal subset are not accepted");
        return stop == '>' || Fail("unterminated document type declaration");
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
        const uint8_t stop = SkipOutsideQuotes("<>");
        if (stop == '<')
            return Fail("'<' inside a tag");
        if (stop != '>')
            return Fail("unterminated tag");
        *empty = m_p[m_pos - 2] == '/';
        return true;
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
            } else if (AtCommentOrInstruction()) {
                if (!SkipCommentOrInstruction())
                    return false;
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
        detail::AppendCodePoint(cp, out);
        return true;
    }

    // ---- document and values ------------------------------------------------------------

    Owned Document() {
        if (LookingAt("\xEF\xBB\xBF"))
            m_pos += 3;
        for (;;) {
            SkipSpace();
            if (LookingAt("<?xml")) {
                m_pos += 5;
                if (!Declaration())
                    return Nothing();
            } else if (LookingAt("<!DOCTYPE")) {
                if (!DocType())
                    return Nothing();
            } else if (AtCommentOrInstruction()) {
                if (!SkipMisc())
                    return Nothing();
            } else {
                break;
            }
        }
        Owned root = Nothing();
        if (LookingAt("<plist") && m_n - m_pos > 6 && !IsNameChar(m_p[m_pos + 6])) {
            std::string_view name;
            bool empty = false;
            if (!StartTag(&name, &empty))
                return Nothing();
            if (empty)
                return FailValue("empty plist element");
            if (!SkipMisc())
                return Nothing();
            root = Value(1);
            if (!root || !SkipMisc() || !EndTag("plist"))
                return Nothing();
        } else {
            root = Value(1);
            if (!root)
                return Nothing();
        }
        if (!SkipMisc())
            return Nothing();
        if (!AtEnd())
            return FailValue("content after the property list");
        return root;
    }

    Owned Value(int depth) {
        if (depth > kMaxDepth)
            return FailValue("nesting too deep");
        std::string_view name;
        bool empty = false;
        if (!StartTag(&name, &empty))
            return Nothing();
        if (name == "dict")
            return Dictionary(depth, empty);
        if (name == "array")
            return Array(depth, empty);
        if (name == "true" || name == "false") {
            if (!empty && !EndTag(name))
                return Nothing();
            return Made(m_b.MakeBool(name == "true"));
        }
        if (name == "key")
            return FailValue("key outside a dictionary");
        if (name == "string")
            return String(name, empty);
        if (empty)
            return FailValue("empty value element");
        if (!Text(name, &m_text))
            return Nothing();
        if (name == "integer")
            return Integer();
        if (name == "real")
            return Real();
        if (name == "date")
            return Date();
        if (name == "data")
            return Data();
        return FailValue("unknown element");
    }

    Owned String(std::string_view name, bool empty) {
        if (empty)
            m_text.clear();
        else if (!Text(name, &m_text))
            return Nothing();
        if (!IsValidUtf8(m_text))
            return FailValue("text is not UTF-8");
        return Made(m_b.MakeString(std::string_view(m_text)));
    }

    Owned Dictionary(int depth, bool empty) {
        Owned dict = Made(m_b.MakeDict(0));
        if (empty)
            return m_b.EndDict(dict.get()) ? std::move(dict) : FailValue("duplicate dictionary key");
        for (;;) {
            if (!SkipMisc())
                return Nothing();
            if (LookingAt("</")) {
                if (!EndTag("dict"))
                    return Nothing();
                return m_b.EndDict(dict.get()) ? std::move(dict) : FailValue("duplicate dictionary key");
            }
            std::string_view name;
            bool keyEmpty = false;
            if (!StartTag(&name, &keyEmpty))
                return Nothing();
            if (name != "key")
                return FailValue("dictionary key is not a string");
            Owned key = String(name, keyEmpty);
            if (!key || !SkipMisc())
                return Nothing();
            if (LookingAt("</"))
                return FailValue("dictionary key without a value");
            Owned value = Value(depth + 1);
            if (!value)
                return Nothing();
            m_b.SetEntry(dict.get(), key.get(), value.get());
            key.release();
            value.release();
        }
    }

    Owned Array(int depth, bool empty) {
        Owned array = Made(m_b.MakeArray(0));
        if (empty)
            return array;
        for (;;) {
            if (!SkipMisc())
                return Nothing();
            if (LookingAt("</"))
                return EndTag("array") ? std::move(array) : Nothing();
            Owned value = Value(depth + 1);
            if (!value)
                return Nothing();
            m_b.Append(array.get(), value.get());
            value.release();
        }
    }

    std::string_view Trimmed() const {
        size_t b = 0, e = m_text.size();
        while (b < e && IsXmlSpace(static_cast<uint8_t>(m_text[b])))
            ++b;
        while (e > b && IsXmlSpace(static_cast<uint8_t>(m_text[e - 1])))
            --e;
        return std::string_view(m_text).substr(b, e - b);
    }

    Owned Integer() {
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
            return FailValue("bad integer");
        if (!negative) {
            return Made(magnitude > static_cast<uint64_t>(INT64_MAX)
                            ? m_b.MakeUnsigned(magnitude)
                            : m_b.MakeInteger(static_cast<int64_t>(magnitude)));
        }
        if (magnitude > 0x8000000000000000ULL)
            return FailValue("integer out of range");
        return Made(m_b.MakeInteger(static_cast<int64_t>(0 - magnitude)));
    }

    Owned Real() {
        std::string_view t = Trimmed();
        std::string lower(t.substr(0, 16));
        for (char& c : lower)
            c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
        constexpr double inf = std::numeric_limits<double>::infinity();
        if (lower == "nan")
            return Made(m_b.MakeReal(std::numeric_limits<double>::quiet_NaN(), false));
        if (lower == "inf" || lower == "+inf" || lower == "infinity" || lower == "+infinity")
            return Made(m_b.MakeReal(inf, false));
        if (lower == "-inf" || lower == "-infinity")
            return Made(m_b.MakeReal(-inf, false));
        if (!t.empty() && t[0] == '+')
            t.remove_prefix(1);
        const bool negative = !t.empty() && t[0] == '-';
        double v = 0;
        const auto r = std::from_chars(t.data(), t.data() + t.size(), v);
        if (t.empty() || r.ptr != t.data() + t.size() ||
            (r.ec != std::errc() && r.ec != std::errc::result_out_of_range))
            return FailValue("bad real");
        if (r.ec == std::errc::result_out_of_range)
            v = Overflows(t.substr(negative ? 1 : 0)) ? inf : 0.0;
        return Made(m_b.MakeReal(negative ? -std::fabs(v) : v, false));
    }

    Owned Date() {
        double seconds = 0;
        if (!ParseDate(Trimmed(), &seconds))
            return FailValue("bad date");
        return Made(m_b.MakeDate(seconds));
    }

    Owned Data() {
        if (!DecodeBase64(m_text, &m_bytes))
            return FailValue("bad base64 data");
        return Made(m_b.MakeData(reinterpret_cast<const uint8_t*>(m_bytes.data()), m_bytes.size()));
    }

    const uint8_t* m_p;
    size_t m_n;
    std::string m_text;  // reused text buffer
    std::string m_bytes; // reused data buffer
};

} // namespace

bool ReadXml(const void* bytes, size_t size, Builder& builder, Builder::Handle* root, std::string* error) {
    return detail::ReadingWithin("XML", error, [&] {
        XmlReader reader(static_cast<const uint8_t*>(bytes), size, builder);
        return reader.Read(root, error);
    });
}

} // namespace plist
