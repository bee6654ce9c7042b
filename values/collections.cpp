// Arrays and dictionaries. Both keep the callback tables they were made
// with (null tables: values are neither retained nor compared by content).
// Dictionaries keep insertion order and look keys up through CFHash and
// CFEqual (or the table's own functions); small ones are scanned.
#include "cf_internal.h"

#include <algorithm>
#include <cstring>

namespace {

using cf::As;
using cf::Guard;
using cf::GuardVoid;

constexpr size_t kScanLimit = 8; // dictionaries up to this size are scanned

bool SameArrayCallbacks(const CFArrayCallBacks& a, const CFArrayCallBacks& b) {
    return a.retain == b.retain && a.release == b.release && a.equal == b.equal;
}

__CFArray* MutableArray(CFMutableArrayRef a) {
    __CFArray* array = cf::AsMutable<__CFArray>(a);
    return array && array->isMutable ? array : nullptr;
}

__CFDictionary* MutableDictionary(CFMutableDictionaryRef d) {
    __CFDictionary* dict = cf::AsMutable<__CFDictionary>(d);
    return dict && dict->isMutable ? dict : nullptr;
}

bool RangeOf(const __CFArray* a, CFRange range) {
    return a && cf::RangeFits(range, static_cast<CFIndex>(a->items.size()));
}

} // namespace

// ---- arrays -------------------------------------------------------------------------

__CFArray::__CFArray(const CFArrayCallBacks* cb, bool isMutableArray)
    : Object(kTypeId, false), isMutable(isMutableArray) {
    if (cb)
        callbacks = *cb;
    cfTypes = cb && SameArrayCallbacks(callbacks, kCFTypeArrayCallBacks);
}

__CFArray::~__CFArray() {
    for (const void* v : items)
        ReleaseItem(v);
}

const void* __CFArray::RetainItem(const void* value) const {
    if (cfTypes) {
        cf::Retain(value);
        return value;
    }
    return callbacks.retain ? callbacks.retain(nullptr, value) : value;
}

void __CFArray::ReleaseItem(const void* value) const {
    if (cfTypes)
        cf::Release(value);
    else if (callbacks.release)
        callbacks.release(nullptr, value);
}

bool __CFArray::ItemsEqual(const void* a, const void* b) const {
    if (a == b)
        return true;
    if (cfTypes)
        return cf::Equal(a, b);
    return callbacks.equal && callbacks.equal(a, b);
}

bool __CFArray::Equals(const Object& other) const {
    const auto& o = static_cast<const __CFArray&>(other);
    if (items.size() != o.items.size())
        return false;
    for (size_t i = 0; i < items.size(); ++i) {
        if (!ItemsEqual(items[i], o.items[i]))
            return false;
    }
    return true;
}

std::u16string __CFArray::Describe() const {
    std::u16string text = u"(\n";
    for (const void* v : items)
        text += u"    " + (cfTypes ? cf::Describe(v) : u"<value>") + u",\n";
    return text + u")";
}

namespace cf {

__CFArray* NewArray(bool isMutable) { return new __CFArray(&kCFTypeArrayCallBacks, isMutable); }

} // namespace cf

CFTypeID CFArrayGetTypeID() { return cf::kTypeIdArray; }

CFArrayRef CFArrayCreate(CFAllocatorRef, const void** values, CFIndex numValues, const CFArrayCallBacks* callBacks) {
    if (numValues < 0 || (!values && numValues > 0))
        return nullptr;
    return Guard<CFArrayRef>(nullptr, [&] {
        cf::Ref holder(new __CFArray(callBacks, false));
        auto* a = cf::AsMutable<__CFArray>(holder.get());
        a->items.reserve(static_cast<size_t>(numValues));
        for (CFIndex i = 0; i < numValues; ++i)
            a->items.push_back(a->RetainItem(values[i]));
        return static_cast<CFArrayRef>(holder.release());
    });
}

CFArrayRef CFArrayCreateCopy(CFAllocatorRef allocator, CFArrayRef theArray) {
    const __CFArray* a = As<__CFArray>(theArray);
    if (!a)
        return nullptr;
    if (!a->isMutable) {
        cf::Retain(a);
        return a;
    }
    return CFArrayCreate(allocator, const_cast<const void**>(a->items.data()), static_cast<CFIndex>(a->items.size()),
                         &a->callbacks);
}

CFMutableArrayRef CFArrayCreateMutable(CFAllocatorRef, CFIndex capacity, const CFArrayCallBacks* callBacks) {
    if (capacity < 0)
        return nullptr;
    return Guard<CFMutableArrayRef>(nullptr, [&] {
        auto* a = new __CFArray(callBacks, true);
        a->capacity = capacity;
        return a;
    });
}

CFMutableArrayRef CFArrayCreateMutableCopy(CFAllocatorRef, CFIndex capacity, CFArrayRef theArray) {
    const __CFArray* a = As<__CFArray>(theArray);
    if (!a || capacity < 0 || (capacity && static_cast<size_t>(capacity) < a->items.size()))
        return nullptr;
    return Guard<CFMutableArrayRef>(nullptr, [&] {
        cf::Ref holder(new __CFArray(&a->callbacks, true));
        auto* copy = cf::AsMutable<__CFArray>(holder.get());
        copy->capacity = capacity;
        copy->items.reserve(a->items.size());
        for (const void* v : a->items)
            copy->items.push_back(copy->RetainItem(v));
        return static_cast<CFMutableArrayRef>(const_cast<void*>(holder.release()));
    });
}

CFIndex CFArrayGetCount(CFArrayRef theArray) {
    const __CFArray* a = As<__CFArray>(theArray);
    return a ? static_cast<CFIndex>(a->items.size()) : 0;
}

CFIndex CFArrayGetCountOfValue(CFArrayRef theArray, CFRange range, const void* value) {
    const __CFArray* a = As<__CFArray>(theArray);
    if (!RangeOf(a, range))
        return 0;
    return Guard<CFIndex>(0, [&] {
        CFIndex count = 0;
        for (CFIndex i = range.location; i < range.location + range.length; ++i)
            count += a->ItemsEqual(a->items[i], value) ? 1 : 0;
        return count;
    });
}

Boolean CFArrayContainsValue(CFArrayRef theArray, CFRange range, const void* value) {
    return CFArrayGetFirstIndexOfValue(theArray, range, value) != kCFNotFound ? 1 : 0;
}

void CFArrayGetValues(CFArrayRef theArray, CFRange range, const void** values) {
    const __CFArray* a = As<__CFArray>(theArray);
    if (!RangeOf(a, range) || !values)
        return;
    std::copy_n(a->items.begin() + range.location, range.length, values);
}

const void* CFArrayGetValueAtIndex(CFArrayRef theArray, CFIndex idx) {
    const __CFArray* a = As<__CFArray>(theArray);
    if (!a || idx < 0 || static_cast<size_t>(idx) >= a->items.size())
        return nullptr;
    return a->items[static_cast<size_t>(idx)];
}

void CFArrayApplyFunction(CFArrayRef theArray, CFRange range, CFArrayApplierFunction applier, void* context) {
    const __CFArray* a = As<__CFArray>(theArray);
    if (!RangeOf(a, range) || !applier)
        return;
    for (CFIndex i = range.location; i < range.location + range.length; ++i)
        applier(a->items[static_cast<size_t>(i)], context);
}

CFIndex CFArrayGetFirstIndexOfValue(CFArrayRef theArray, CFRange range, const void* value) {
    const __CFArray* a = As<__CFArray>(theArray);
    if (!RangeOf(a, range))
        return kCFNotFound;
    return Guard<CFIndex>(kCFNotFound, [&] {
        for (CFIndex i = range.location; i < range.location + range.length; ++i) {
            if (a->ItemsEqual(a->items[i], value))
                return i;
        }
        return CFIndex{kCFNotFound};
    });
}

CFIndex CFArrayGetLastIndexOfValue(CFArrayRef theArray, CFRange range, const void* value) {
    const __CFArray* a = As<__CFArray>(theArray);
    if (!RangeOf(a, range))
        return kCFNotFound;
    return Guard<CFIndex>(kCFNotFound, [&] {
        for (CFIndex i = range.location + range.length - 1; i >= range.location; --i) {
            if (a->ItemsEqual(a->items[i], value))
                return i;
        }
        return CFIndex{kCFNotFound};
    });
}

// The vendor's contract: the index of an equal value, or else the index
// where the value would be inserted to keep the range sorted.
CFIndex CFArrayBSearchValues(CFArrayRef theArray, CFRange range, const void* value, CFComparatorFunction comparator,
                             void* context) {
    const __CFArray* a = As<__CFArray>(theArray);
    if (!RangeOf(a, range) || !comparator)
        return range.location;
    CFIndex lo = range.location, hi = range.location + range.length;
    while (lo < hi) {
        const CFIndex mid = lo + (hi - lo) / 2;
        const CFComparisonResult c = comparator(a->items[mid], value, context);
        if (c == kCFCompareEqualTo)
            return mid;
        if (c < 0)
            lo = mid + 1;
        else
            hi = mid;
    }
    return lo;
}

void CFArrayReplaceValues(CFMutableArrayRef theArray, CFRange range, const void** newValues, CFIndex newCount) {
    __CFArray* a = MutableArray(theArray);
    if (!RangeOf(a, range) || newCount < 0 || (!newValues && newCount > 0))
        return;
    GuardVoid([&] {
        const size_t finalSize = a->items.size() - static_cast<size_t>(range.length) + static_cast<size_t>(newCount);
        if (a->capacity && finalSize > static_cast<size_t>(a->capacity))
            return;
        std::vector<const void*> added;
        added.reserve(static_cast<size_t>(newCount));
        std::vector<const void*> removed(a->items.begin() + range.location,
                                         a->items.begin() + range.location + range.length);
        // Room first, so that nothing below throws once values are retained;
        // grown by half as much again at least, so that appending one value
        // at a time costs no more than a constant each.
        if (finalSize > a->items.capacity())
            a->items.reserve(std::max(finalSize, a->items.capacity() + a->items.capacity() / 2));
        for (CFIndex i = 0; i < newCount; ++i)
            added.push_back(a->RetainItem(newValues[i]));
        a->items.erase(a->items.begin() + range.location, a->items.begin() + range.location + range.length);
        a->items.insert(a->items.begin() + range.location, added.begin(), added.end());
        for (const void* v : removed)
            a->ReleaseItem(v);
    });
}

void CFArrayAppendValue(CFMutableArrayRef theArray, const void* value) {
    CFArrayReplaceValues(theArray, CFRange{CFArrayGetCount(theArray), 0}, &value, 1);
}

void CFArrayInsertValueAtIndex(CFMutableArrayRef theArray, CFIndex idx, const void* value) {
    CFArrayReplaceValues(theArray, CFRange{idx, 0}, &value, 1);
}

void CFArraySetValueAtIndex(CFMutableArrayRef theArray, CFIndex idx, const void* value) {
    const CFIndex count = CFArrayGetCount(theArray);
    CFArrayReplaceValues(theArray, CFRange{idx, idx == count ? 0 : 1}, &value, 1);
}

void CFArrayRemoveValueAtIndex(CFMutableArrayRef theArray, CFIndex idx) {
    if (idx >= 0 && idx < CFArrayGetCount(theArray))
        CFArrayReplaceValues(theArray, CFRange{idx, 1}, nullptr, 0);
}

void CFArrayRemoveAllValues(CFMutableArrayRef theArray) {
    CFArrayReplaceValues(theArray, CFRange{0, CFArrayGetCount(theArray)}, nullptr, 0);
}

void CFArrayExchangeValuesAtIndices(CFMutableArrayRef theArray, CFIndex idx1, CFIndex idx2) {
    __CFArray* a = MutableArray(theArray);
    const CFIndex count = CFArrayGetCount(theArray);
    if (!a || idx1 < 0 || idx2 < 0 || idx1 >= count || idx2 >= count)
        return;
    std::swap(a->items[static_cast<size_t>(idx1)], a->items[static_cast<size_t>(idx2)]);
}

void CFArraySortValues(CFMutableArrayRef theArray, CFRange range, CFComparatorFunction comparator, void* context) {
    __CFArray* a = MutableArray(theArray);
    if (!RangeOf(a, range) || !comparator)
        return;
    // A merge sort stays within the range even when the comparator is
    // inconsistent.
    GuardVoid([&] {
        std::stable_sort(a->items.begin() + range.location, a->items.begin() + range.location + range.length,
                         [&](const void* x, const void* y) { return comparator(x, y, context) < 0; });
    });
}

void CFArrayAppendArray(CFMutableArrayRef theArray, CFArrayRef otherArray, CFRange otherRange) {
    const __CFArray* other = As<__CFArray>(otherArray);
    if (!RangeOf(other, otherRange))
        return;
    GuardVoid([&] {
        std::vector<const void*> values(other->items.begin() + otherRange.location,
                                        other->items.begin() + otherRange.location + otherRange.length);
        CFArrayReplaceValues(theArray, CFRange{CFArrayGetCount(theArray), 0}, values.data(),
                             static_cast<CFIndex>(values.size()));
    });
}

// ---- dictionaries ---------------------------------------------------------------------

__CFDictionary::__CFDictionary(const CFDictionaryKeyCallBacks* keyCb, const CFDictionaryValueCallBacks* valueCb,
                               bool isMutableDictionary)
    : Object(kTypeId, false), isMutable(isMutableDictionary) {
    if (keyCb)
        keyCallbacks = *keyCb;
    if (valueCb)
        valueCallbacks = *valueCb;
    cfTypeKeys = keyCb && keyCallbacks.retain == kCFTypeDictionaryKeyCallBacks.retain &&
                 keyCallbacks.release == kCFTypeDictionaryKeyCallBacks.release &&
                 keyCallbacks.equal == kCFTypeDictionaryKeyCallBacks.equal &&
                 keyCallbacks.hash == kCFTypeDictionaryKeyCallBacks.hash;
    cfTypeValues = valueCb && valueCallbacks.retain == kCFTypeDictionaryValueCallBacks.retain &&
                   valueCallbacks.release == kCFTypeDictionaryValueCallBacks.release &&
                   valueCallbacks.equal == kCFTypeDictionaryValueCallBacks.equal;
}

__CFDictionary::~__CFDictionary() { Clear(); }

void __CFDictionary::Clear() {
    std::vector<Entry> old;
    old.swap(entries);
    slots.clear();
    for (const Entry& e : old) {
        if (cfTypeKeys)
            cf::Release(e.key);
        else if (keyCallbacks.release)
            keyCallbacks.release(nullptr, e.key);
        if (cfTypeValues)
            cf::Release(e.value);
        else if (valueCallbacks.release)
            valueCallbacks.release(nullptr, e.value);
    }
}

CFHashCode __CFDictionary::HashKey(const void* key) const {
    if (cfTypeKeys)
        return cf::Hash(key);
    return keyCallbacks.hash ? keyCallbacks.hash(key) : static_cast<CFHashCode>(reinterpret_cast<uintptr_t>(key) >> 2);
}

bool __CFDictionary::KeysEqual(const void* a, const void* b) const {
    if (a == b)
        return true;
    if (cfTypeKeys)
        return cf::Equal(a, b);
    return keyCallbacks.equal && keyCallbacks.equal(a, b);
}

bool __CFDictionary::ValuesEqual(const void* a, const void* b) const {
    if (a == b)
        return true;
    if (cfTypeValues)
        return cf::Equal(a, b);
    return valueCallbacks.equal && valueCallbacks.equal(a, b);
}

long __CFDictionary::Find(const void* key) const {
    const CFHashCode h = HashKey(key);
    if (slots.empty()) {
        for (size_t i = 0; i < entries.size(); ++i) {
            if (entries[i].hash == h && KeysEqual(entries[i].key, key))
                return static_cast<long>(i);
        }
        return -1;
    }
    const size_t mask = slots.size() - 1;
    for (size_t s = h & mask;; s = (s + 1) & mask) {
        const int32_t idx = slots[s];
        if (idx < 0)
            return -1;
        const Entry& e = entries[static_cast<size_t>(idx)];
        if (e.hash == h && KeysEqual(e.key, key))
            return idx;
    }
}

void __CFDictionary::InsertSlot(size_t entryIndex) {
    const size_t mask = slots.size() - 1;
    size_t s = entries[entryIndex].hash & mask;
    while (slots[s] >= 0)
        s = (s + 1) & mask;
    slots[s] = static_cast<int32_t>(entryIndex);
}

void __CFDictionary::RebuildSlots() {
    slots.clear(); // scanning stays correct should the new table fail
    if (entries.size() <= kScanLimit)
        return;
    size_t size = 16;
    while (size < entries.size() * 2)
        size *= 2;
    slots.assign(size, -1);
    for (size_t i = 0; i < entries.size(); ++i)
        InsertSlot(i);
}

void __CFDictionary::Reserve(size_t count) { entries.reserve(count); }

void __CFDictionary::Append(const void* key, const void* value, CFHashCode hash) {
    // Everything that can fail comes before the entry is added, so a failure
    // leaves the dictionary as it was and the pair with the caller.
    if (entries.size() == entries.capacity())
        entries.reserve(std::max<size_t>(8, entries.size() * 2));
    const size_t count = entries.size() + 1;
    std::vector<int32_t> grown;
    if (count > kScanLimit && count * 2 > slots.size()) {
        size_t size = 16;
        while (size < count * 2)
            size *= 2;
        grown.assign(size, -1);
    }
    entries.push_back(Entry{key, value, hash});
    if (!grown.empty()) {
        slots.swap(grown);
        for (size_t i = 0; i < entries.size(); ++i)
            InsertSlot(i);
    } else if (!slots.empty()) {
        InsertSlot(entries.size() - 1);
    }
}

void __CFDictionary::Set(const void* key, const void* value, bool add, bool replace) {
    const long found = Find(key);
    if (found >= 0 ? !replace : !add)
        return;
    const void* newValue = cfTypeValues ? (cf::Retain(value), value)
                                        : (valueCallbacks.retain ? valueCallbacks.retain(nullptr, value) : value);
    if (found >= 0) {
        Entry& e = entries[static_cast<size_t>(found)];
        const void* old = e.value;
        e.value = newValue;
        if (cfTypeValues)
            cf::Release(old);
        else if (valueCallbacks.release)
            valueCallbacks.release(nullptr, old);
        return;
    }
    const void* newKey =
        cfTypeKeys ? (cf::Retain(key), key) : (keyCallbacks.retain ? keyCallbacks.retain(nullptr, key) : key);
    try {
        Append(newKey, newValue, HashKey(key));
    } catch (...) {
        if (cfTypeKeys)
            cf::Release(newKey);
        else if (keyCallbacks.release)
            keyCallbacks.release(nullptr, newKey);
        if (cfTypeValues)
            cf::Release(newValue);
        else if (valueCallbacks.release)
            valueCallbacks.release(nullptr, newValue);
        throw;
    }
}

void __CFDictionary::AdoptPair(const void* key, const void* value) {
    const long found = Find(key);
    if (found >= 0) {
        Entry& e = entries[static_cast<size_t>(found)];
        cf::Release(e.value);
        e.value = value;
        cf::Release(key);
        return;
    }
    Append(key, value, HashKey(key));
}

void __CFDictionary::Remove(const void* key) {
    const long found = Find(key);
    if (found < 0)
        return;
    const Entry e = entries[static_cast<size_t>(found)];
    entries.erase(entries.begin() + found);
    RebuildSlots();
    if (cfTypeKeys)
        cf::Release(e.key);
    else if (keyCallbacks.release)
        keyCallbacks.release(nullptr, e.key);
    if (cfTypeValues)
        cf::Release(e.value);
    else if (valueCallbacks.release)
        valueCallbacks.release(nullptr, e.value);
}

bool __CFDictionary::Equals(const Object& other) const {
    const auto& o = static_cast<const __CFDictionary&>(other);
    if (entries.size() != o.entries.size())
        return false;
    for (const Entry& e : entries) {
        const long at = o.Find(e.key);
        if (at < 0 || !ValuesEqual(e.value, o.entries[static_cast<size_t>(at)].value))
            return false;
    }
    return true;
}

std::u16string __CFDictionary::Describe() const {
    std::u16string text = u"{\n";
    for (const Entry& e : entries) {
        text += u"    " + (cfTypeKeys ? cf::Describe(e.key) : u"<key>") + u" = " +
                (cfTypeValues ? cf::Describe(e.value) : u"<value>") + u";\n";
    }
    return text + u"}";
}

namespace cf {

__CFDictionary* NewDictionary(bool isMutable) {
    return new __CFDictionary(&kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks, isMutable);
}

} // namespace cf

CFTypeID CFDictionaryGetTypeID() { return cf::kTypeIdDictionary; }

CFDictionaryRef CFDictionaryCreate(CFAllocatorRef, const void** keys, const void** values, CFIndex numValues,
                                   const CFDictionaryKeyCallBacks* keyCallBacks,
                                   const CFDictionaryValueCallBacks* valueCallBacks) {
    if (numValues < 0 || ((!keys || !values) && numValues > 0))
        return nullptr;
    return Guard<CFDictionaryRef>(nullptr, [&] {
        cf::Ref holder(new __CFDictionary(keyCallBacks, valueCallBacks, false));
        auto* d = cf::AsMutable<__CFDictionary>(holder.get());
        d->Reserve(static_cast<size_t>(numValues));
        for (CFIndex i = 0; i < numValues; ++i)
            d->Set(keys[i], values[i], true, true);
        return static_cast<CFDictionaryRef>(holder.release());
    });
}

namespace {

__CFDictionary* CopyDictionary(const __CFDictionary* d, bool isMutable, CFIndex capacity) {
    cf::Ref holder(new __CFDictionary(&d->keyCallbacks, &d->valueCallbacks, isMutable));
    auto* copy = cf::AsMutable<__CFDictionary>(holder.get());
    copy->capacity = capacity;
    copy->Reserve(d->entries.size());
    for (const auto& e : d->entries)
        copy->Set(e.key, e.value, true, true);
    return const_cast<__CFDictionary*>(static_cast<const __CFDictionary*>(holder.release()));
}

} // namespace

CFDictionaryRef CFDictionaryCreateCopy(CFAllocatorRef, CFDictionaryRef theDict) {
    const __CFDictionary* d = As<__CFDictionary>(theDict);
    if (!d)
        return nullptr;
    if (!d->isMutable) {
        cf::Retain(d);
        return d;
    }
    return Guard<CFDictionaryRef>(nullptr, [&] { return CopyDictionary(d, false, 0); });
}

CFMutableDictionaryRef CFDictionaryCreateMutable(CFAllocatorRef, CFIndex capacity,
                                                 const CFDictionaryKeyCallBacks* keyCallBacks,
                                                 const CFDictionaryValueCallBacks* valueCallBacks) {
    if (capacity < 0)
        return nullptr;
    return Guard<CFMutableDictionaryRef>(nullptr, [&] {
        auto* d = new __CFDictionary(keyCallBacks, valueCallBacks, true);
        d->capacity = capacity;
        return d;
    });
}

CFMutableDictionaryRef CFDictionaryCreateMutableCopy(CFAllocatorRef, CFIndex capacity, CFDictionaryRef theDict) {
    const __CFDictionary* d = As<__CFDictionary>(theDict);
    if (!d || capacity < 0 || (capacity && static_cast<size_t>(capacity) < d->entries.size()))
        return nullptr;
    return Guard<CFMutableDictionaryRef>(nullptr, [&] { return CopyDictionary(d, true, capacity); });
}

CFIndex CFDictionaryGetCount(CFDictionaryRef theDict) {
    const __CFDictionary* d = As<__CFDictionary>(theDict);
    return d ? static_cast<CFIndex>(d->entries.size()) : 0;
}

CFIndex CFDictionaryGetCountOfKey(CFDictionaryRef theDict, const void* key) {
    return CFDictionaryContainsKey(theDict, key) ? 1 : 0;
}

CFIndex CFDictionaryGetCountOfValue(CFDictionaryRef theDict, const void* value) {
    const __CFDictionary* d = As<__CFDictionary>(theDict);
    if (!d)
        return 0;
    return Guard<CFIndex>(0, [&] {
        CFIndex count = 0;
        for (const auto& e : d->entries)
            count += d->ValuesEqual(e.value, value) ? 1 : 0;
        return count;
    });
}

Boolean CFDictionaryContainsKey(CFDictionaryRef theDict, const void* key) {
    const __CFDictionary* d = As<__CFDictionary>(theDict);
    return d && Guard<bool>(false, [&] { return d->Find(key) >= 0; }) ? 1 : 0;
}

Boolean CFDictionaryContainsValue(CFDictionaryRef theDict, const void* value) {
    return CFDictionaryGetCountOfValue(theDict, value) > 0 ? 1 : 0;
}

const void* CFDictionaryGetValue(CFDictionaryRef theDict, const void* key) {
    const __CFDictionary* d = As<__CFDictionary>(theDict);
    if (!d)
        return nullptr;
    return Guard<const void*>(nullptr, [&]() -> const void* {
        const long at = d->Find(key);
        return at >= 0 ? d->entries[static_cast<size_t>(at)].value : nullptr;
    });
}

Boolean CFDictionaryGetValueIfPresent(CFDictionaryRef theDict, const void* key, const void** value) {
    const __CFDictionary* d = As<__CFDictionary>(theDict);
    if (!d)
        return 0;
    return Guard<Boolean>(0, [&]() -> Boolean {
        const long at = d->Find(key);
        if (at < 0)
            return 0;
        if (value)
            *value = d->entries[static_cast<size_t>(at)].value;
        return 1;
    });
}

void CFDictionaryGetKeysAndValues(CFDictionaryRef theDict, const void** keys, const void** values) {
    const __CFDictionary* d = As<__CFDictionary>(theDict);
    if (!d)
        return;
    for (size_t i = 0; i < d->entries.size(); ++i) {
        if (keys)
            keys[i] = d->entries[i].key;
        if (values)
            values[i] = d->entries[i].value;
    }
}

void CFDictionaryApplyFunction(CFDictionaryRef theDict, CFDictionaryApplierFunction applier, void* context) {
    const __CFDictionary* d = As<__CFDictionary>(theDict);
    if (!d || !applier)
        return;
    for (const auto& e : d->entries)
        applier(e.key, e.value, context);
}

void CFDictionaryAddValue(CFMutableDictionaryRef theDict, const void* key, const void* value) {
    __CFDictionary* d = MutableDictionary(theDict);
    if (d && (!d->capacity || d->entries.size() < static_cast<size_t>(d->capacity)))
        GuardVoid([&] { d->Set(key, value, true, false); });
}

void CFDictionarySetValue(CFMutableDictionaryRef theDict, const void* key, const void* value) {
    __CFDictionary* d = MutableDictionary(theDict);
    if (!d)
        return;
    GuardVoid([&] {
        const bool canAdd = !d->capacity || d->entries.size() < static_cast<size_t>(d->capacity);
        d->Set(key, value, canAdd, true);
    });
}

void CFDictionaryReplaceValue(CFMutableDictionaryRef theDict, const void* key, const void* value) {
    __CFDictionary* d = MutableDictionary(theDict);
    if (d)
        GuardVoid([&] { d->Set(key, value, false, true); });
}

void CFDictionaryRemoveValue(CFMutableDictionaryRef theDict, const void* key) {
    __CFDictionary* d = MutableDictionary(theDict);
    if (d)
        GuardVoid([&] { d->Remove(key); });
}

void CFDictionaryRemoveAllValues(CFMutableDictionaryRef theDict) {
    __CFDictionary* d = MutableDictionary(theDict);
    if (d)
        d->Clear();
}
