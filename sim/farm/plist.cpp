#include "sim/farm/plist.h"

#include "plist/civil_date.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace simfarm {

// ---- Value -------------------------------------------------------------------

Value Value::Bool(bool value) {
    Value v;
    v.m_kind = Kind::Bool;
    v.m_bool = value;
    return v;
}

Value Value::Integer(int64_t value) {
    Value v;
    v.m_kind = Kind::Integer;
    v.m_int = value;
    return v;
}

Value Value::Unsigned(uint64_t value) {
    Value v;
    v.m_kind = Kind::Integer;
    v.m_int = static_cast<int64_t>(value);
    v.m_unsigned = value > static_cast<uint64_t>(INT64_MAX);
    return v;
}

Value Value::Real(double value) {
    Value v;
    v.m_kind = Kind::Real;
    v.m_real = value;
    return v;
}

Value Value::String(std::string utf8) {
    Value v;
    v.m_kind = Kind::String;
    v.m_text = std::move(utf8);
    return v;
}

Value Value::Data(std::string bytes) {
    Value v;
    v.m_kind = Kind::Data;
    v.m_text = std::move(bytes);
    return v;
}

Value Value::Date(double seconds) {
    Value v;
    v.m_kind = Kind::Date;
    v.m_real = seconds;
    return v;
}

Value Value::Array() {
    Value v;
    v.m_kind = Kind::Array;
    return v;
}

Value Value::Dict() {
    Value v;
    v.m_kind = Kind::Dict;
    return v;
}

Value& Value::Append(Value value) {
    m_items.push_back(std::move(value));
    return m_items.back();
}

const Value* Value::Find(const std::string& key) const {
    for (const Entry& entry : m_entries) {
        if (entry.first == key)
            return &entry.second;
    }
    return nullptr;
}

Value* Value::Find(const std::string& key) {
    for (Entry& entry : m_entries) {
        if (entry.first == key)
            return &entry.second;
    }
    return nullptr;
}

Value& Value::operator[](const std::string& key) {
    if (Value* found = Find(key))
        return *found;
    m_entries.emplace_back(key, Value());
    return m_entries.back().second;
}

Value& Value::Set(const std::string& key, Value value) {
    Value& slot = (*this)[key];
    slot = std::move(value);
    return slot;
}

bool Value::Remove(const std::string& key) {
    for (auto it = m_entries.begin(); it != m_entries.end(); ++it) {
        if (it->first == key) {
            m_entries.erase(it);
            return true;
        }
    }
    return false;
}

std::string Value::GetString(const std::string& key, const std::string& fallback) const {
    const Value* v = Find(key);
    return v && v->is(Kind::String) ? v->text() : fallback;
}

int64_t Value::GetInteger(const std::string& key, int64_t fallback) const {
    const Value* v = Find(key);
    return v && v->is(Kind::Integer) ? v->integer() : fallback;
}

bool Value::GetBool(const std::string& key, bool fallback) const {
    const Value* v = Find(key);
    return v && v->is(Kind::Bool) ? v->boolean() : fallback;
}

Value& Value::SubDict(const std::string& key) {
    Value& slot = (*this)[key];
    if (!slot.is(Kind::Dict))
        slot = Dict();
    return slot;
}

bool Value::operator==(const Value& other) const {
    if (m_kind != other.m_kind)
        return false;
    switch (m_kind) {
    case Kind::Null:
        return true;
    case Kind::Bool:
        return m_bool == other.m_bool;
    case Kind::Integer:
        return m_int == other.m_int && m_unsigned == other.m_unsigned;
    case Kind::Real:
    case Kind::Date:
        return m_real == other.m_real;
    case Kind::String:
    case Kind::Data:
        return m_text == other.m_text;
    case Kind::Array:
        return m_items == other.m_items;
    case Kind::Dict:
        return m_entries == other.m_entries;
    }
    return false;
}

// ---- base64 and dates -----------------------------------------------------------

namespace {

const char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int Base64Digit(char c) {
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

bool IsXmlSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

using civil::CivilFromDays;
using civil::DaysFromCivil;

const int64_t kSeconds1970To2001 = 978307200;

} // namespace

std::string EncodeBase64(const std::string& bytes) {
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
        uint32_t n = (uint8_t(bytes[i]) << 16) | (uint8_t(bytes[i + 1]) << 8) | uint8_t(bytes[i + 2]);
        out += kBase64[(n >> 18) & 63];
        out += kBase64[(n >> 12) & 63];
        out += kBase64[(n >> 6) & 63];
        out += kBase64[n & 63];
    }
    size_t rest = bytes.size() - i;
    if (rest > 0) {
        uint32_t n = uint8_t(bytes[i]) << 16;
        if (rest == 2)
            n |= uint8_t(bytes[i + 1]) << 8;
        out += kBase64[(n >> 18) & 63];
        out += kBase64[(n >> 12) & 63];
        out += rest == 2 ? kBase64[(n >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

bool DecodeBase64(const std::string& text, std::string* bytes) {
    std::string out;
    uint32_t acc = 0;
    int bits = 0;
    size_t padding = 0;
    for (char c : text) {
        if (IsXmlSpace(c))
            continue;
        if (c == '=') {
            ++padding;
            continue;
        }
        int digit = Base64Digit(c);
        if (digit < 0 || padding > 0)
            return false;
        acc = (acc << 6) | static_cast<uint32_t>(digit);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out += static_cast<char>((acc >> bits) & 0xFF);
        }
    }
    if (padding > 2)
        return false;
    *bytes = std::move(out);
    return true;
}

std::string FormatPlistDate(double seconds) {
    int64_t total = static_cast<int64_t>(std::floor(seconds)) + kSeconds1970To2001;
    int64_t days = total >= 0 ? total / 86400 : (total - 86399) / 86400;
    int64_t rest = total - days * 86400;
    int64_t y;
    unsigned m, d;
    CivilFromDays(days, &y, &m, &d);
    char text[64];
    std::snprintf(text, sizeof text, "%04lld-%02u-%02uT%02d:%02d:%02dZ", static_cast<long long>(y), m, d,
                  static_cast<int>(rest / 3600), static_cast<int>(rest / 60 % 60), static_cast<int>(rest % 60));
    return text;
}

bool ParsePlistDate(const std::string& text, double* seconds) {
    int y, mo, d, h, mi, s;
    char z = 0;
    int used = 0;
    if (std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%c%n", &y, &mo, &d, &h, &mi, &s, &z, &used) != 7 ||
        z != 'Z' || static_cast<size_t>(used) != text.size())
        return false;
    if (mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || s > 60 || h < 0 || mi < 0 || s < 0)
        return false;
    int64_t days = DaysFromCivil(y, static_cast<unsigned>(mo), static_cast<unsigned>(d));
    *seconds = static_cast<double>(days * 86400 + h * 3600 + mi * 60 + s - kSeconds1970To2001);
    return true;
}

// ---- writer ----------------------------------------------------------------------

namespace {

void AppendEscaped(std::string* out, const std::string& text) {
    for (char c : text) {
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
            *out += c;
        }
    }
}

bool WriteValue(const Value& value, int depth, std::string* out) {
    std::string indent(static_cast<size_t>(depth), '\t');
    *out += indent;
    switch (value.kind()) {
    case Value::Kind::Null:
        return false;
    case Value::Kind::Bool:
        *out += value.boolean() ? "<true/>\n" : "<false/>\n";
        return true;
    case Value::Kind::Integer: {
        char text[32];
        if (value.isUnsigned())
            std::snprintf(text, sizeof text, "%llu", static_cast<unsigned long long>(value.unsignedInteger()));
        else
            std::snprintf(text, sizeof text, "%lld", static_cast<long long>(value.integer()));
        *out += "<integer>";
        *out += text;
        *out += "</integer>\n";
        return true;
    }
    case Value::Kind::Real: {
        char text[64];
        std::snprintf(text, sizeof text, "%.17g", value.real());
        *out += "<real>";
        *out += text;
        *out += "</real>\n";
        return true;
    }
    case Value::Kind::String:
        *out += "<string>";
        AppendEscaped(out, value.text());
        *out += "</string>\n";
        return true;
    case Value::Kind::Data: {
        std::string encoded = EncodeBase64(value.text());
        *out += "<data>\n";
        for (size_t i = 0; i < encoded.size(); i += 68) {
            *out += indent;
            *out += encoded.substr(i, 68);
            *out += '\n';
        }
        *out += indent;
        *out += "</data>\n";
        return true;
    }
    case Value::Kind::Date:
        *out += "<date>" + FormatPlistDate(value.date()) + "</date>\n";
        return true;
    case Value::Kind::Array:
        if (value.items().empty()) {
            *out += "<array/>\n";
            return true;
        }
        *out += "<array>\n";
        for (const Value& item : value.items()) {
            if (!WriteValue(item, depth + 1, out))
                return false;
        }
        *out += indent + "</array>\n";
        return true;
    case Value::Kind::Dict:
        if (value.entries().empty()) {
            *out += "<dict/>\n";
            return true;
        }
        *out += "<dict>\n";
        for (const Value::Entry& entry : value.entries()) {
            *out += indent + "\t<key>";
            AppendEscaped(out, entry.first);
            *out += "</key>\n";
            if (!WriteValue(entry.second, depth + 1, out))
                return false;
        }
        *out += indent + "</dict>\n";
        return true;
    }
    return false;
}

} // namespace

bool WriteXmlPlist(const Value& value, std::string* out) {
    std::string text = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                       "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
                       "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
                       "<plist version=\"1.0\">\n";
    if (!WriteValue(value, 0, &text))
        return false;
    text += "</plist>\n";
    *out = std::move(text);
    return true;
}

// ---- reader ----------------------------------------------------------------------

namespace {

const int kMaxDepth = 64;

class XmlReader {
  public:
    explicit XmlReader(const std::string& xml) : m_xml(xml) {}

    bool Read(Value* out) {
        SkipMisc();
        std::string name;
        bool empty = false;
        if (!ReadStartTag(&name, &empty))
            return false;
        if (name == "plist") {
            if (empty)
                return Fail("empty plist element");
            SkipMisc();
            if (!ReadElementValue(0, out))
                return false;
            SkipMisc();
            if (!ReadEndTag("plist"))
                return false;
        } else {
            // A bare value without the plist wrapper is accepted too.
            if (!ReadValueBody(name, empty, 0, out))
                return false;
        }
        SkipMisc();
        if (m_pos != m_xml.size())
            return Fail("content after the property list");
        return true;
    }

    const std::string& error() const { return m_error; }

  private:
    bool Fail(const std::string& message) {
        if (m_error.empty())
            m_error = message + " (offset " + std::to_string(m_pos) + ")";
        return false;
    }

    bool AtEnd() const { return m_pos >= m_xml.size(); }
    bool LookingAt(const char* text) const { return m_xml.compare(m_pos, std::strlen(text), text) == 0; }

    void SkipSpace() {
        while (!AtEnd() && IsXmlSpace(m_xml[m_pos]))
            ++m_pos;
    }

    // White space, the XML declaration, processing instructions, comments and
    // the document type declaration.
    void SkipMisc() {
        for (;;) {
            SkipSpace();
            const char* close = nullptr;
            if (LookingAt("<?"))
                close = "?>";
            else if (LookingAt("<!--"))
                close = "-->";
            else if (LookingAt("<!"))
                close = ">";
            if (!close)
                return;
            size_t end = m_xml.find(close, m_pos + 2);
            m_pos = end == std::string::npos ? m_xml.size() : end + std::strlen(close);
        }
    }

    bool ReadStartTag(std::string* name, bool* empty) {
        if (AtEnd() || m_xml[m_pos] != '<' || LookingAt("</"))
            return Fail("element expected");
        size_t end = m_xml.find('>', m_pos);
        if (end == std::string::npos)
            return Fail("unterminated tag");
        std::string tag = m_xml.substr(m_pos + 1, end - m_pos - 1);
        m_pos = end + 1;
        *empty = !tag.empty() && tag.back() == '/';
        if (*empty)
            tag.pop_back();
        size_t nameEnd = 0;
        while (nameEnd < tag.size() && !IsXmlSpace(tag[nameEnd]))
            ++nameEnd;
        *name = tag.substr(0, nameEnd);
        if (name->empty())
            return Fail("element without a name");
        return true;
    }

    bool ReadEndTag(const char* name) {
        std::string expected = std::string("</") + name;
        if (!LookingAt(expected.c_str()))
            return Fail(std::string("</") + name + "> expected");
        m_pos += expected.size();
        SkipSpace();
        if (AtEnd() || m_xml[m_pos] != '>')
            return Fail("unterminated end tag");
        ++m_pos;
        return true;
    }

    // Character data up to the next '<', with entities decoded.
    bool ReadText(std::string* text) {
        size_t end = m_xml.find('<', m_pos);
        if (end == std::string::npos)
            return Fail("unterminated text");
        if (LookingAtCData(end))
            return Fail("CDATA sections are not supported");
        std::string raw = m_xml.substr(m_pos, end - m_pos);
        m_pos = end;
        return DecodeEntities(raw, text);
    }

    bool LookingAtCData(size_t at) const { return m_xml.compare(at, 9, "<![CDATA[") == 0; }

    bool DecodeEntities(const std::string& raw, std::string* text) {
        text->clear();
        for (size_t i = 0; i < raw.size(); ++i) {
            if (raw[i] != '&') {
                *text += raw[i];
                continue;
            }
            size_t semi = raw.find(';', i);
            if (semi == std::string::npos || semi - i > 12)
                return Fail("bad entity");
            std::string entity = raw.substr(i + 1, semi - i - 1);
            i = semi;
            if (entity == "amp")
                *text += '&';
            else if (entity == "lt")
                *text += '<';
            else if (entity == "gt")
                *text += '>';
            else if (entity == "quot")
                *text += '"';
            else if (entity == "apos")
                *text += '\'';
            else if (entity.size() > 1 && entity[0] == '#') {
                if (!AppendCodePoint(entity, text))
                    return Fail("bad character reference");
            } else
                return Fail("unknown entity");
        }
        return true;
    }

    static bool AppendCodePoint(const std::string& entity, std::string* text) {
        bool hex = entity[1] == 'x' || entity[1] == 'X';
        const char* digits = entity.c_str() + (hex ? 2 : 1);
        if (*digits == '\0')
            return false;
        char* end = nullptr;
        unsigned long cp = std::strtoul(digits, &end, hex ? 16 : 10);
        if (*end != '\0' || cp == 0 || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        if (cp < 0x80) {
            *text += static_cast<char>(cp);
        } else if (cp < 0x800) {
            *text += static_cast<char>(0xC0 | (cp >> 6));
            *text += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            *text += static_cast<char>(0xE0 | (cp >> 12));
            *text += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            *text += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            *text += static_cast<char>(0xF0 | (cp >> 18));
            *text += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            *text += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            *text += static_cast<char>(0x80 | (cp & 0x3F));
        }
        return true;
    }

    bool ReadElementValue(int depth, Value* out) {
        std::string name;
        bool empty = false;
        if (!ReadStartTag(&name, &empty))
            return false;
        return ReadValueBody(name, empty, depth, out);
    }

    // The text content of a simple element, its end tag consumed.
    bool ReadSimpleContent(const std::string& name, bool empty, std::string* text) {
        text->clear();
        if (empty)
            return true;
        if (!ReadText(text))
            return false;
        return ReadEndTag(name.c_str());
    }

    bool ReadValueBody(const std::string& name, bool empty, int depth, Value* out) {
        if (depth > kMaxDepth)
            return Fail("nesting too deep");
        std::string text;
        if (name == "true" || name == "false") {
            if (!empty && !ReadEndTag(name.c_str()))
                return false;
            *out = Value::Bool(name == "true");
            return true;
        }
        if (name == "string") {
            if (!ReadSimpleContent(name, empty, &text))
                return false;
            *out = Value::String(std::move(text));
            return true;
        }
        if (name == "integer")
            return ReadSimpleContent(name, empty, &text) && ParseInteger(text, out);
        if (name == "real")
            return ReadSimpleContent(name, empty, &text) && ParseReal(text, out);
        if (name == "data") {
            std::string bytes;
            if (!ReadSimpleContent(name, empty, &text))
                return false;
            if (!DecodeBase64(text, &bytes))
                return Fail("bad base64 data");
            *out = Value::Data(std::move(bytes));
            return true;
        }
        if (name == "date") {
            double seconds = 0;
            if (!ReadSimpleContent(name, empty, &text))
                return false;
            if (!ParsePlistDate(Trim(text), &seconds))
                return Fail("bad date");
            *out = Value::Date(seconds);
            return true;
        }
        if (name == "array")
            return ReadArray(empty, depth, out);
        if (name == "dict")
            return ReadDict(empty, depth, out);
        return Fail("unknown element <" + name + ">");
    }

    bool ReadArray(bool empty, int depth, Value* out) {
        Value array = Value::Array();
        if (!empty) {
            for (;;) {
                SkipMisc();
                if (LookingAt("</"))
                    break;
                if (!ReadElementValue(depth + 1, &array.Append(Value())))
                    return false;
            }
            if (!ReadEndTag("array"))
                return false;
        }
        *out = std::move(array);
        return true;
    }

    bool ReadDict(bool empty, int depth, Value* out) {
        Value dict = Value::Dict();
        if (!empty) {
            for (;;) {
                SkipMisc();
                if (LookingAt("</"))
                    break;
                std::string name, key;
                bool keyEmpty = false;
                if (!ReadStartTag(&name, &keyEmpty))
                    return false;
                if (name != "key")
                    return Fail("<key> expected in a dict");
                if (!ReadSimpleContent(name, keyEmpty, &key))
                    return false;
                if (dict.Find(key))
                    return Fail("duplicate key " + key);
                SkipMisc();
                Value value;
                if (!ReadElementValue(depth + 1, &value))
                    return false;
                dict.Set(key, std::move(value));
            }
            if (!ReadEndTag("dict"))
                return false;
        }
        *out = std::move(dict);
        return true;
    }

    static std::string Trim(const std::string& text) {
        size_t b = 0, e = text.size();
        while (b < e && IsXmlSpace(text[b]))
            ++b;
        while (e > b && IsXmlSpace(text[e - 1]))
            --e;
        return text.substr(b, e - b);
    }

    bool ParseInteger(const std::string& raw, Value* out) {
        std::string text = Trim(raw);
        if (text.empty())
            return Fail("empty integer");
        errno = 0;
        char* end = nullptr;
        if (text[0] == '-') {
            long long v = std::strtoll(text.c_str(), &end, 10);
            if (errno || *end != '\0')
                return Fail("bad integer");
            *out = Value::Integer(v);
            return true;
        }
        if (text[0] < '0' || text[0] > '9')
            return Fail("bad integer");
        unsigned long long v = std::strtoull(text.c_str(), &end, 10);
        if (errno || *end != '\0')
            return Fail("bad integer");
        *out = Value::Unsigned(v);
        return true;
    }

    bool ParseReal(const std::string& raw, Value* out) {
        std::string text = Trim(raw);
        char* end = nullptr;
        double v = std::strtod(text.c_str(), &end);
        if (text.empty() || *end != '\0')
            return Fail("bad real");
        *out = Value::Real(v);
        return true;
    }

    const std::string& m_xml;
    size_t m_pos = 0;
    std::string m_error;
};

} // namespace

bool ReadXmlPlist(const std::string& xml, Value* out, std::string* error) {
    XmlReader reader(xml);
    Value value;
    if (!reader.Read(&value)) {
        if (error)
            *error = reader.error();
        return false;
    }
    *out = std::move(value);
    return true;
}

} // namespace simfarm
