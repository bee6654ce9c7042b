// The property-list calls: reading (XML or binary, told apart by the
// first bytes), writing, validity and deep copies.
#include "plist_common.h"

#include <cstring>

namespace {

using cf::As;
using cf::Guard;

bool IsBinary(const uint8_t* p, size_t n) { return n >= 6 && std::memcmp(p, "bplist", 6) == 0; }

CFPropertyListRef Read(CFDataRef data, CFOptionFlags options, CFPropertyListFormat* format, std::u16string* error) {
    const __CFData* d = As<__CFData>(data);
    if (!d) {
        *error = u"No data to read a property list from";
        return nullptr;
    }
    const uint8_t* p = d->Bytes();
    const size_t n = d->Size();
    if (n == 0) {
        *error = u"Cannot parse a property list from empty data";
        return nullptr;
    }
    const bool binary = IsBinary(p, n);
    CFPropertyListRef result =
        binary ? cf::ParseBinaryPlist(p, n, options, error) : cf::ParseXmlPlist(p, n, options, error);
    if (result && format)
        *format = binary ? kCFPropertyListBinaryFormat_v1_0 : kCFPropertyListXMLFormat_v1_0;
    return result;
}

bool IsValid(CFTypeRef value, int depth) {
    if (depth > cf::kMaxPlistDepth)
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
    if (depth > cf::kMaxPlistDepth)
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
        if (format == kCFPropertyListXMLFormat_v1_0)
            written = cf::WriteXmlPlist(propertyList, &bytes);
        else if (format == kCFPropertyListBinaryFormat_v1_0)
            written = cf::WriteBinaryPlist(propertyList, &bytes);
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
