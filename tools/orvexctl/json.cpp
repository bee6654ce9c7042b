#include "tools/orvexctl/json.h"

#include <cwchar>

namespace orvexctl {

std::wstring JsonQuote(const std::wstring& text) {
    std::wstring quoted = L"\"";
    for (size_t i = 0; i < text.size(); ++i) {
        wchar_t c = text[i];
        switch (c) {
        case L'"':
            quoted += L"\\\"";
            continue;
        case L'\\':
            quoted += L"\\\\";
            continue;
        case L'\n':
            quoted += L"\\n";
            continue;
        case L'\r':
            quoted += L"\\r";
            continue;
        case L'\t':
            quoted += L"\\t";
            continue;
        default:
            break;
        }
        bool high = c >= 0xD800 && c <= 0xDBFF, low = c >= 0xDC00 && c <= 0xDFFF;
        if (high && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            quoted += c;
            quoted += text[++i];
            continue;
        }
        if (c < 0x20 || high || low) {
            wchar_t escape[8];
            std::swprintf(escape, 8, L"\\u%04x", static_cast<unsigned>(c));
            quoted += escape;
            continue;
        }
        quoted += c;
    }
    return quoted + L"\"";
}

void JsonWriter::NewLine() {
    m_text += L'\n';
    m_text.append(m_levels.size() * 2, L' ');
}

void JsonWriter::BeforeValue() {
    if (m_afterKey) {
        m_afterKey = false;
        return;
    }
    if (m_levels.empty())
        return;
    Level& level = m_levels.back();
    if (level.hasMembers)
        m_text += level.inlined ? L", " : L",";
    if (!level.inlined)
        NewLine();
    level.hasMembers = true;
}

void JsonWriter::Open(wchar_t bracket, bool inlined) {
    BeforeValue();
    m_text += bracket;
    m_levels.push_back(Level{false, inlined});
}

void JsonWriter::Close(wchar_t bracket) {
    Level level;
    if (!m_levels.empty()) {
        level = m_levels.back();
        m_levels.pop_back();
    }
    if (level.hasMembers && !level.inlined)
        NewLine();
    m_text += bracket;
}

void JsonWriter::BeginObject() { Open(L'{', false); }
void JsonWriter::EndObject() { Close(L'}'); }
void JsonWriter::BeginArray(bool inlined) { Open(L'[', inlined); }
void JsonWriter::EndArray() { Close(L']'); }

void JsonWriter::Key(const std::wstring& name) {
    BeforeValue();
    m_text += JsonQuote(name) + L": ";
    m_afterKey = true;
}

void JsonWriter::String(const std::wstring& value) {
    BeforeValue();
    m_text += JsonQuote(value);
}

void JsonWriter::Number(int64_t value) {
    BeforeValue();
    m_text += std::to_wstring(value);
}

void JsonWriter::Number(uint64_t value) {
    BeforeValue();
    m_text += std::to_wstring(value);
}

void JsonWriter::Bool(bool value) {
    BeforeValue();
    m_text += value ? L"true" : L"false";
}

void JsonWriter::Null() {
    BeforeValue();
    m_text += L"null";
}

} // namespace orvexctl
