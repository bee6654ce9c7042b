#include "sim/farm/plist.h"

#include "plist/plist.h"

#include <algorithm>
#include <memory>

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

// ---- the codec's view of values ---------------------------------------------------

struct ValueAccess {
    static std::vector<Value::Entry>& Entries(Value& dict) { return dict.m_entries; }
    static std::string& Text(Value& text) { return text.m_text; }
};

namespace {

// Makes values for the codec's reader: each handle a Value of its own.
class ValueBuilder final : public plist::Builder {
  public:
    Handle MakeBool(bool value) override { return new Value(Value::Bool(value)); }
    Handle MakeInteger(int64_t value) override { return new Value(Value::Integer(value)); }
    Handle MakeUnsigned(uint64_t value) override { return new Value(Value::Unsigned(value)); }
    Handle MakeReal(double value, bool) override { return new Value(Value::Real(value)); }
    Handle MakeDate(double seconds) override { return new Value(Value::Date(seconds)); }
    Handle MakeData(const uint8_t* bytes, size_t size) override {
        return new Value(Value::Data(std::string(reinterpret_cast<const char*>(bytes), size)));
    }
    Handle MakeString(std::string_view utf8) override { return new Value(Value::String(std::string(utf8))); }
    using plist::Builder::MakeString;
    Handle MakeArray(size_t expected) override {
        auto made = std::make_unique<Value>(Value::Array());
        made->items().reserve(expected);
        return made.release();
    }
    Handle MakeDict(size_t expected) override {
        auto made = std::make_unique<Value>(Value::Dict());
        ValueAccess::Entries(*made).reserve(expected);
        return made.release();
    }
    void Append(Handle array, Handle item) override {
        As(array)->items().push_back(std::move(*As(item)));
        delete As(item);
    }
    // Entries are added as they come; EndDict refuses a key given twice.
    void SetEntry(Handle dict, Handle key, Handle value) override {
        ValueAccess::Entries(*As(dict)).emplace_back(std::move(ValueAccess::Text(*As(key))), std::move(*As(value)));
        delete As(key);
        delete As(value);
    }
    bool EndDict(Handle dict) override {
        const std::vector<Value::Entry>& entries = ValueAccess::Entries(*As(dict));
        std::vector<const std::string*> keys;
        keys.reserve(entries.size());
        for (const Value::Entry& entry : entries)
            keys.push_back(&entry.first);
        std::sort(keys.begin(), keys.end(), [](const std::string* a, const std::string* b) { return *a < *b; });
        return std::adjacent_find(keys.begin(), keys.end(),
                                  [](const std::string* a, const std::string* b) { return *a == *b; }) == keys.end();
    }
    void Discard(Handle value) override { delete As(value); }

  private:
    static Value* As(Handle h) { return static_cast<Value*>(h); }
};

// Shows values to the codec's writers.
class ValueSource final : public plist::Source {
  public:
    bool Describe(Handle handle, Node* node) const override {
        const Value& value = *As(handle);
        switch (value.kind()) {
        case Value::Kind::Null:
            return false;
        case Value::Kind::Bool:
            node->kind = plist::Kind::Bool;
            node->boolean = value.boolean();
            return true;
        case Value::Kind::Integer:
            node->kind = plist::Kind::Integer;
            node->integer = value.integer();
            node->isUnsigned = value.isUnsigned();
            return true;
        case Value::Kind::Real:
        case Value::Kind::Date:
            node->kind = value.is(Value::Kind::Real) ? plist::Kind::Real : plist::Kind::Date;
            node->real = value.real();
            return true;
        case Value::Kind::String:
            node->kind = plist::Kind::String;
            node->text.utf8 = value.text();
            return true;
        case Value::Kind::Data:
            node->kind = plist::Kind::Data;
            node->bytes = value.text();
            return true;
        case Value::Kind::Array:
            node->kind = plist::Kind::Array;
            node->count = value.items().size();
            return true;
        case Value::Kind::Dict:
            node->kind = plist::Kind::Dict;
            node->count = value.entries().size();
            return true;
        }
        return false;
    }
    Handle Item(Handle array, size_t index) const override { return &As(array)->items()[index]; }
    bool Key(Handle dict, size_t index, plist::Text* key) const override {
        key->utf8 = As(dict)->entries()[index].first;
        return true;
    }
    Handle EntryValue(Handle dict, size_t index) const override { return &As(dict)->entries()[index].second; }

  private:
    static const Value* As(Handle h) { return static_cast<const Value*>(h); }
};

bool Read(bool xmlOnly, const std::string& bytes, Value* out, std::string* error) {
    ValueBuilder builder;
    plist::Builder::Handle root = nullptr;
    const bool read = xmlOnly ? plist::ReadXml(bytes.data(), bytes.size(), builder, &root, error)
                              : plist::Read(bytes.data(), bytes.size(), builder, &root, nullptr, error);
    if (!read)
        return false;
    std::unique_ptr<Value> value(static_cast<Value*>(root));
    *out = std::move(*value);
    return true;
}

} // namespace

bool WriteXmlPlist(const Value& value, std::string* out) { return plist::WriteXml(ValueSource(), &value, out); }

bool WriteBinaryPlist(const Value& value, std::string* out) { return plist::WriteBinary(ValueSource(), &value, out); }

bool ReadXmlPlist(const std::string& xml, Value* out, std::string* error) { return Read(true, xml, out, error); }

bool ReadPlist(const std::string& bytes, Value* out, std::string* error) { return Read(false, bytes, out, error); }

std::string EncodeBase64(const std::string& bytes) { return plist::EncodeBase64(bytes); }

bool DecodeBase64(const std::string& text, std::string* bytes) { return plist::DecodeBase64(text, bytes); }

std::string FormatPlistDate(double seconds) { return plist::FormatDate(seconds); }

bool ParsePlistDate(const std::string& text, double* seconds) { return plist::ParseDate(text, seconds); }

} // namespace simfarm
