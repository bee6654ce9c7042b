// The property-list calls: reading (XML or binary, told apart by the
// first bytes) and writing through the property-list codec, validity and
// deep copies.
#include "plist/plist.h"
#include "cf_internal.h"

#include <algorithm>
#include <unordered_map>

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

// A binary list names one object from many places, and a list read
// immutable shares it: a list of a few hundred bytes can hold a tree of 2^40
// places. The walks below therefore measure each object once, however often
// it is named.

bool IsLeaf(CFTypeRef value) {
    return As<__CFString>(value) || As<__CFNumber>(value) || As<__CFBoolean>(value) || As<__CFDate>(value) ||
           As<__CFData>(value);
}

// The height of the property list `value` (1 for a leaf), or 0 when it is
// not a property list. `known` keeps the height of every object measured;
// `depth` bounds the walk (a container that holds itself ends there).
int Height(CFTypeRef value, int depth, std::unordered_map<CFTypeRef, int>* known) {
    if (depth > plist::kMaxDepth)
        return 0;
    auto found = known->find(value);
    if (found != known->end())
        return found->second;
    int height = 0;
    if (IsLeaf(value)) {
        height = 1;
    } else if (const auto* a = As<__CFArray>(value)) {
        height = 1;
        for (const void* item : a->items) {
            const int h = Height(item, depth + 1, known);
            height = h ? std::max(height, h + 1) : 0;
            if (!height)
                break;
        }
    } else if (const auto* d = As<__CFDictionary>(value)) {
        height = 1;
        for (const auto& e : d->entries) {
            const int h = As<__CFString>(e.key) ? Height(e.value, depth + 1, known) : 0;
            height = h ? std::max(height, h + 1) : 0;
            if (!height)
                break;
        }
    }
    known->emplace(value, height);
    return height;
}

bool IsValid(CFTypeRef value) {
    std::unordered_map<CFTypeRef, int> known;
    const int height = Height(value, 1, &known);
    return height > 0 && height <= plist::kMaxDepth;
}

// What spelling a value out place by place (a copy with mutable parts, XML
// text) may make: this many places, and four for each object and each
// reference the value holds (a tree of distinct objects has one place per
// reference). A list that names one object from many places, so that its
// places outgrow what it holds, is refused past that, as the reader refuses
// such lists read mutable.
constexpr uint64_t kCopyAllowance = uint64_t{1} << 16;

// The allowance of `value`, whose objects `known` holds (from Height).
uint64_t AllowanceOf(const std::unordered_map<CFTypeRef, int>& known) {
    uint64_t held = known.size();
    for (const auto& object : known) {
        if (const auto* a = As<__CFArray>(object.first))
            held += a->items.size();
        else if (const auto* d = As<__CFDictionary>(object.first))
            held += 2 * d->entries.size();
    }
    return kCopyAllowance + 4 * held;
}

// A deep copy. Immutable copies are made once per object and shared where
// the original shares; a mutable one is made for every place, within the
// allowance.
class DeepCopier {
  public:
    DeepCopier(CFOptionFlags mutability, uint64_t allowance)
        : m_mutableContainers(mutability != kCFPropertyListImmutable),
          m_mutableLeaves(mutability == kCFPropertyListMutableContainersAndLeaves), m_left(allowance) {}
    DeepCopier(const DeepCopier&) = delete;
    DeepCopier& operator=(const DeepCopier&) = delete;
    ~DeepCopier() {
        for (const auto& made : m_made)
            cf::Release(made.second);
    }

    // A new reference to the copy of `value` (immutable when `key`), or null.
    CFTypeRef Copy(CFTypeRef value, bool key = false) {
        const bool mutableCopy = !key && (IsLeaf(value) ? m_mutableLeaves : m_mutableContainers);
        if (mutableCopy) {
            if (m_left == 0)
                return nullptr;
            --m_left;
            return Make(value, true);
        }
        auto found = m_made.find(value);
        if (found != m_made.end()) {
            cf::Retain(found->second);
            return found->second;
        }
        cf::Ref copy(Make(value, false));
        if (!copy)
            return nullptr;
        m_made.emplace(value, copy.get());
        cf::Retain(copy.get());
        return copy.release();
    }

  private:
    CFTypeRef Make(CFTypeRef value, bool mutableCopy) {
        if (const auto* s = As<__CFString>(value)) {
            if (!mutableCopy && !s->isMutable) {
                cf::Retain(s);
                return s;
            }
            return cf::NewString(s->units, mutableCopy);
        }
        if (const auto* d = As<__CFData>(value)) {
            if (!mutableCopy && !d->isMutable) {
                cf::Retain(d);
                return d;
            }
            return new __CFData(std::vector<uint8_t>(d->Bytes(), d->Bytes() + d->Size()), mutableCopy);
        }
        if (As<__CFNumber>(value) || As<__CFBoolean>(value) || As<__CFDate>(value)) {
            cf::Retain(value);
            return value;
        }
        if (const auto* a = As<__CFArray>(value)) {
            cf::Ref holder(cf::NewArray(mutableCopy));
            auto* copy = cf::AsMutable<__CFArray>(holder.get());
            copy->items.reserve(a->items.size());
            for (const void* item : a->items) {
                CFTypeRef child = Copy(item);
                if (!child)
                    return nullptr;
                copy->items.push_back(child);
            }
            return holder.release();
        }
        if (const auto* d = As<__CFDictionary>(value)) {
            cf::Ref holder(cf::NewDictionary(mutableCopy));
            auto* copy = cf::AsMutable<__CFDictionary>(holder.get());
            copy->Reserve(d->entries.size());
            for (const auto& e : d->entries) {
                cf::Ref key(Copy(e.key, true));
                cf::Ref child(Copy(e.value));
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

    const bool m_mutableContainers;
    const bool m_mutableLeaves;
    uint64_t m_left;
    std::unordered_map<CFTypeRef, CFTypeRef> m_made; // immutable copies, by original; one reference each
};

// The places of the tree `value` spells out (each object once per place it
// is named from), counted up to `limit`; `counted` keeps each object's.
uint64_t Places(CFTypeRef value, uint64_t limit, std::unordered_map<CFTypeRef, uint64_t>* counted) {
    auto found = counted->find(value);
    if (found != counted->end())
        return found->second;
    uint64_t places = 1;
    auto add = [&](CFTypeRef child) { places = std::min(limit, places + Places(child, limit, counted)); };
    if (const auto* a = As<__CFArray>(value)) {
        for (const void* item : a->items)
            add(item);
    } else if (const auto* d = As<__CFDictionary>(value)) {
        for (const auto& e : d->entries) {
            add(e.key);
            add(e.value);
        }
    }
    counted->emplace(value, places);
    return places;
}

// Whether the text of a property list, which spells out every place, stays
// within the allowance of a copy with mutable parts. Values that are no
// property lists are left to the writer to refuse.
bool SpelledOutWithinAllowance(CFTypeRef value) {
    std::unordered_map<CFTypeRef, int> known;
    const int height = Height(value, 1, &known);
    if (height <= 0 || height > plist::kMaxDepth)
        return true;
    const uint64_t allowance = AllowanceOf(known);
    std::unordered_map<CFTypeRef, uint64_t> counted;
    return Places(value, allowance + 1, &counted) <= allowance;
}

CFTypeRef DeepCopy(CFTypeRef value, CFOptionFlags mutability) {
    std::unordered_map<CFTypeRef, int> known;
    const int height = Height(value, 1, &known);
    if (height <= 0 || height > plist::kMaxDepth)
        return nullptr;
    DeepCopier copier(mutability, AllowanceOf(known));
    return copier.Copy(value);
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
        // XML writes every place out: a binary list that names one object
        // from many places is refused here, as its mutable copies are.
        if (format == kCFPropertyListXMLFormat_v1_0)
            written = SpelledOutWithinAllowance(propertyList) && plist::WriteXml(source, propertyList, &bytes);
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
    return Guard<CFPropertyListRef>(nullptr, [&] { return DeepCopy(propertyList, mutabilityOption); });
}

Boolean CFPropertyListIsValid(CFPropertyListRef plist, CFPropertyListFormat format) {
    if (format != kCFPropertyListXMLFormat_v1_0 && format != kCFPropertyListBinaryFormat_v1_0)
        return 0;
    return Guard<Boolean>(0, [&] { return IsValid(plist) ? Boolean{1} : Boolean{0}; });
}
