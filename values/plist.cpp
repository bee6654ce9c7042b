// The property-list calls: reading (XML or binary, told apart by the
// first bytes) and writing through the property-list codec, validity and
// deep copies.
#include "plist/plist.h"
#include "cf_internal.h"

namespace {

using cf::As;
using cf::AsMutable;
using cf::Guard;

// Makes the library's objects for the codec's reader, mutable as asked.
// Immutable values are shared where a binary list names one object from
// many places; mutable ones never are.
class ObjectBuilder final : public plist::Builder {
  public:
    explicit ObjectBuilder(CFOptionFlags options)
        : m_mutableContainers(options != kCFPropertyListImmutable),
          m_mutableLeaves(options == kCFPropertyListMutableContainersAndLeaves) {}

    Handle MakeBool(bool value) override { return value ? &cf::g_true : &cf::g_false; }
    Handle MakeInteger(int64_t value) override { return cf::NewInteger(value); }
    Handle MakeUnsigned(uint64_t value) override { return cf::NewUnsigned(value); }
    Handle MakeReal(double value, bool single) override {
        if (!single)
            return cf::NewReal(value);
        auto* n = new __CFNumber(__CFNumber::Kind::Float32, kCFNumberFloat32Type);
        n->real = value;
        return n;
    }
    Handle MakeDate(double seconds) override { return new __CFDate(seconds); }
    Handle MakeData(const uint8_t* bytes, size_t size) override {
        return new __CFData(std::vector<uint8_t>(bytes, bytes + size), m_mutableLeaves);
    }
    Handle MakeString(std::string_view utf8) override {
        std::u16string units;
        plist::AppendUtf16(utf8, &units);
        return cf::NewString(std::move(units), m_mutableLeaves);
    }
    Handle MakeString(std::u16string_view utf16) override {
        return cf::NewString(std::u16string(utf16), m_mutableLeaves);
    }
    Handle MakeArray(size_t expected) override {
        cf::Ref holder(cf::NewArray(m_mutableContainers));
        AsMutable<__CFArray>(holder.get())->items.reserve(expected);
        return const_cast<void*>(holder.release());
    }
    Handle MakeDict(size_t expected) override {
        cf::Ref holder(cf::NewDictionary(m_mutableContainers));
        AsMutable<__CFDictionary>(holder.get())->Reserve(expected);
        return const_cast<void*>(holder.release());
    }
    void Append(Handle array, Handle item) override { AsMutable<__CFArray>(array)->items.push_back(item); }
    void SetEntry(Handle dict, Handle key, Handle value) override {
        AsMutable<__CFDictionary>(dict)->AdoptPair(key, value);
    }
    void Discard(Handle value) override { cf::Release(value); }
    bool SharesValues() const override { return !m_mutableContainers; }
    Handle Share(Handle value) override {
        cf::Retain(value);
        return value;
    }

  private:
    const bool m_mutableContainers;
    const bool m_mutableLeaves;
};

// Shows the library's objects to the codec's writers.
class ObjectSource final : public plist::Source {
  public:
    bool Describe(Handle value, Node* node) const override {
        if (const auto* s = As<__CFString>(value)) {
            node->kind = plist::Kind::String;
            node->text.utf16 = s->units;
            node->text.wide = true;
        } else if (const auto* b = As<__CFBoolean>(value)) {
            node->kind = plist::Kind::Bool;
            node->boolean = b->value;
        } else if (const auto* n = As<__CFNumber>(value)) {
            Number(*n, node);
        } else if (const auto* d = As<__CFDate>(value)) {
            node->kind = plist::Kind::Date;
            node->real = d->at;
        } else if (const auto* data = As<__CFData>(value)) {
            node->kind = plist::Kind::Data;
            node->bytes = std::string_view(reinterpret_cast<const char*>(data->Bytes()), data->Size());
        } else if (const auto* a = As<__CFArray>(value)) {
            node->kind = plist::Kind::Array;
            node->count = a->items.size();
        } else if (const auto* dict = As<__CFDictionary>(value)) {
            node->kind = plist::Kind::Dict;
            node->count = dict->entries.size();
        } else {
            return false;
        }
        return true;
    }
    Handle Item(Handle array, size_t index) const override { return As<__CFArray>(array)->items[index]; }
    bool Key(Handle dict, size_t index, plist::Text* key) const override {
        const auto* s = As<__CFString>(As<__CFDictionary>(dict)->entries[index].key);
        if (!s)
            return false;
        key->utf16 = s->units;
        key->wide = true;
        return true;
    }
    Handle EntryValue(Handle dict, size_t index) const override {
        return As<__CFDictionary>(dict)->entries[index].value;
    }

  private:
    static void Number(const __CFNumber& n, Node* node) {
        if (n.IsFloat()) {
            node->kind = plist::Kind::Real;
            node->real = n.real;
            node->single = n.kind == __CFNumber::Kind::Float32;
            return;
        }
        node->kind = plist::Kind::Integer;
        node->isUnsigned = n.kind == __CFNumber::Kind::BigUnsigned;
        node->integer = node->isUnsigned ? static_cast<int64_t>(n.big) : n.integer;
    }
};

CFPropertyListRef Read(CFDataRef data, CFOptionFlags options, CFPropertyListFormat* format, std::u16string* error) {
    const __CFData* d = As<__CFData>(data);
    if (!d) {
        *error = u"No data to read a property list from";
        return nullptr;
    }
    if (d->Size() == 0) {
        *error = u"Cannot parse a property list from empty data";
        return nullptr;
    }
    ObjectBuilder builder(options);
    plist::Builder::Handle root = nullptr;
    plist::Format read = plist::Format::Xml;
    std::string why;
    if (!plist::Read(d->Bytes(), d->Size(), builder, &root, &read, &why)) {
        *error = cf::FromAscii(why.c_str());
        return nullptr;
    }
    if (format)
        *format = read == plist::Format::Binary ? kCFPropertyListBinaryFormat_v1_0 : kCFPropertyListXMLFormat_v1_0;
    return root;
}

bool IsValid(CFTypeRef value, int depth) {
    if (depth > plist::kMaxDepth)
        return false;
    if (As<__CFString>(value) || As<__CFNumber>(value) || As<__CFBoolean>(value) || As<__CFDate>(value) ||
        As<__CFData>(value))
        return true;
    if (const auto* a = As<__CFArray>(value)) {
        for (const void* item : a->items) {
            if (!IsValid(item, depth + 1))
                return false;
        }
        return true;
    }
    if (const auto* d = As<__CFDictionary>(value)) {
        for (const auto& e : d->entries) {
            if (!As<__CFString>(e.key) || !IsValid(e.value, depth + 1))
                return false;
        }
        return true;
    }
    return false;
}

CFTypeRef DeepCopy(CFTypeRef value, CFOptionFlags mutability, int depth) {
    if (depth > plist::kMaxDepth)
        return nullptr;
    const bool mutableContainers = mutability != kCFPropertyListImmutable;
    const bool mutableLeaves = mutability == kCFPropertyListMutableContainersAndLeaves;
    if (const auto* s = As<__CFString>(value)) {
        if (!mutableLeaves && !s->isMutable) {
            cf::Retain(s);
            return s;
        }
        return cf::NewString(s->units, mutableLeaves);
    }
    if (const auto* d = As<__CFData>(value)) {
        if (!mutableLeaves && !d->isMutable) {
            cf::Retain(d);
            return d;
        }
        return new __CFData(std::vector<uint8_t>(d->Bytes(), d->Bytes() + d->Size()), mutableLeaves);
    }
    if (As<__CFNumber>(value) || As<__CFBoolean>(value) || As<__CFDate>(value)) {
        cf::Retain(value);
        return value;
    }
    if (const auto* a = As<__CFArray>(value)) {
        cf::Ref holder(cf::NewArray(mutableContainers));
        auto* copy = cf::AsMutable<__CFArray>(holder.get());
        copy->items.reserve(a->items.size());
        for (const void* item : a->items) {
            CFTypeRef child = DeepCopy(item, mutability, depth + 1);
            if (!child)
                return nullptr;
            copy->items.push_back(child);
        }
        return holder.release();
    }
    if (const auto* d = As<__CFDictionary>(value)) {
        cf::Ref holder(cf::NewDictionary(mutableContainers));
        auto* copy = cf::AsMutable<__CFDictionary>(holder.get());
        copy->Reserve(d->entries.size());
        for (const auto& e : d->entries) {
            if (!As<__CFString>(e.key))
                return nullptr;
            cf::Ref key(DeepCopy(e.key, kCFPropertyListImmutable, depth + 1));
            cf::Ref child(DeepCopy(e.value, mutability, depth + 1));
            if (!key || !child)
                return nullptr;
            copy->AdoptPair(key.get(), child.get());
            key.release();
            child.release();
        }
        return holder.release();
    }
    return nullptr;
}

CFDataRef ToData(const std::string& bytes) {
    return CFDataCreate(nullptr, reinterpret_cast<const uint8_t*>(bytes.data()), static_cast<CFIndex>(bytes.size()));
}

} // namespace

CFPropertyListRef CFPropertyListCreateWithData(CFAllocatorRef, CFDataRef data, CFOptionFlags options,
                                               CFPropertyListFormat* format, CFErrorRef* error) {
    return Guard<CFPropertyListRef>(nullptr, [&]() -> CFPropertyListRef {
        std::u16string why;
        CFPropertyListRef result = Read(data, options, format, &why);
        if (!result && error)
            *error = cf::NewError(kCFPropertyListReadCorruptError, why);
        return result;
    });
}

CFPropertyListRef CFPropertyListCreateFromXMLData(CFAllocatorRef, CFDataRef xmlData, CFOptionFlags mutabilityOption,
                                                  CFStringRef* errorString) {
    return Guard<CFPropertyListRef>(nullptr, [&]() -> CFPropertyListRef {
        std::u16string why;
        CFPropertyListRef result = Read(xmlData, mutabilityOption, nullptr, &why);
        if (!result && errorString)
            *errorString = cf::NewString(why);
        return result;
    });
}

CFDataRef CFPropertyListCreateData(CFAllocatorRef, CFPropertyListRef propertyList, CFPropertyListFormat format,
                                   CFOptionFlags, CFErrorRef* error) {
    return Guard<CFDataRef>(nullptr, [&]() -> CFDataRef {
        std::string bytes;
        bool written = false;
        const ObjectSource source;
        if (format == kCFPropertyListXMLFormat_v1_0)
            written = plist::WriteXml(source, propertyList, &bytes);
        else if (format == kCFPropertyListBinaryFormat_v1_0)
            written = plist::WriteBinary(source, propertyList, &bytes);
        if (!written) {
            if (error)
                *error = cf::NewError(kCFPropertyListWriteStreamError,
                                      u"The value is not a property list, or the format is not supported");
            return nullptr;
        }
        return ToData(bytes);
    });
}

CFDataRef CFPropertyListCreateXMLData(CFAllocatorRef allocator, CFPropertyListRef propertyList) {
    return CFPropertyListCreateData(allocator, propertyList, kCFPropertyListXMLFormat_v1_0, 0, nullptr);
}

CFPropertyListRef CFPropertyListCreateDeepCopy(CFAllocatorRef, CFPropertyListRef propertyList,
                                               CFOptionFlags mutabilityOption) {
    return Guard<CFPropertyListRef>(nullptr, [&] { return DeepCopy(propertyList, mutabilityOption, 1); });
}

Boolean CFPropertyListIsValid(CFPropertyListRef plist, CFPropertyListFormat format) {
    if (format != kCFPropertyListXMLFormat_v1_0 && format != kCFPropertyListBinaryFormat_v1_0)
        return 0;
    return Guard<Boolean>(0, [&] { return IsValid(plist, 1) ? Boolean{1} : Boolean{0}; });
}
