// A small JSON writer: one document, indented by two blanks per level.
// Strings are UTF-16 here and become UTF-8 on output; a lone surrogate is
// kept as a \u escape so that nothing is lost.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace orvexctl {

class JsonWriter {
  public:
    void BeginObject();
    void EndObject();
    // `inlined`: the elements on one line (for short arrays of numbers).
    void BeginArray(bool inlined = false);
    void EndArray();
    // The name of the next member of the open object.
    void Key(const std::wstring& name);
    void String(const std::wstring& value);
    void Number(int64_t value);
    void Number(uint64_t value);
    void Number(int32_t value) { Number(static_cast<int64_t>(value)); }
    void Number(uint32_t value) { Number(static_cast<uint64_t>(value)); }
    void Bool(bool value);
    void Null();

    // The document, ended by a line feed.
    std::wstring Text() const { return m_text + L"\n"; }

  private:
    void BeforeValue();
    void Open(wchar_t bracket, bool inlined);
    void Close(wchar_t bracket);
    void NewLine();

    std::wstring m_text;
    struct Level {
        bool hasMembers = false;
        bool inlined = false;
    };
    // One entry per open object or array.
    std::vector<Level> m_levels;
    bool m_afterKey = false;
};

// `text` as a JSON string literal, quotes included.
std::wstring JsonQuote(const std::wstring& text);

} // namespace orvexctl
