// Reference counting, type identity, equality and hashing of every value;
// allocators, null and the booleans.
#include "cf_internal.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <type_traits>
#include <utility>

namespace cf {

std::u16string Object::Describe() const { return u"<CFType>"; }

namespace {

uint32_t MakeHashSeed() {
    LARGE_INTEGER counter;
    ::QueryPerformanceCounter(&counter);
    uint64_t v = static_cast<uint64_t>(counter.QuadPart) ^ (uint64_t{::GetCurrentProcessId()} << 32) ^
                 ::GetTickCount() ^ reinterpret_cast<uintptr_t>(&counter);
    v ^= v >> 33;
    v *= 0xff51afd7ed558ccdULL;
    v ^= v >> 33;
    return static_cast<uint32_t>(v);
}

const uint32_t g_hashSeed = MakeHashSeed();

} // namespace

uint32_t HashSeed() { return g_hashSeed; }

void Retain(CFTypeRef cf) {
    const Object* object = AsObject(cf);
    if (object && !object->immortal)
        object->refs.fetch_add(1, std::memory_order_relaxed);
}

void Release(CFTypeRef cf) {
    const Object* object = AsObject(cf);
    if (!object || object->immortal)
        return;
    if (object->refs.fetch_sub(1, std::memory_order_acq_rel) == 1)
        delete object;
}

namespace {

// The pairs of containers found equal so far by the outermost Equal running
// on this thread: a binary list names one object from many places, so two
// lists of a few hundred bytes can each hold a tree of 2^40 places; each
// pair of their objects is compared once.
using EqualPairs = std::set<std::pair<const Object*, const Object*>>;
thread_local EqualPairs* t_equalPairs = nullptr;

bool IsContainer(const Object* object) { return object->typeId == kTypeIdArray || object->typeId == kTypeIdDictionary; }

} // namespace

bool Equal(CFTypeRef a, CFTypeRef b) {
    if (a == b)
        return true;
    if (!a || !b)
        return false;
    const Object* x = AsObject(a);
    const Object* y = AsObject(b);
    if (x->typeId != y->typeId)
        return false;
    if (!IsContainer(x))
        return x->Equals(*y);
    EqualPairs pairs;
    const bool outermost = !t_equalPairs;
    if (outermost)
        t_equalPairs = &pairs;
    struct Restore {
        bool outermost;
        ~Restore() {
            if (outermost)
                t_equalPairs = nullptr;
        }
    } restore{outermost};
    const auto pair = std::make_pair(x, y);
    if (t_equalPairs->count(pair))
        return true;
    if (!x->Equals(*y))
        return false;
    t_equalPairs->insert(pair);
    return true;
}

CFHashCode Hash(CFTypeRef cf) { return cf ? AsObject(cf)->Hash() : 0; }

std::u16string Describe(CFTypeRef cf) { return cf ? AsObject(cf)->Describe() : u"(null)"; }

__CFBoolean g_true(true);
__CFBoolean g_false(false);
__CFNull g_null;
__CFAllocator g_systemAllocator(__CFAllocator::Kind::System, true);
__CFAllocator g_mallocAllocator(__CFAllocator::Kind::System, true);
__CFAllocator g_mallocZoneAllocator(__CFAllocator::Kind::System, true);
__CFAllocator g_nullAllocator(__CFAllocator::Kind::Null, true);

void DeallocateWith(CFAllocatorRef deallocator, void* ptr) {
    if (ptr && deallocator != &g_nullAllocator)
        CFAllocatorDeallocate(deallocator, ptr);
}

} // namespace cf

__CFAllocator::~__CFAllocator() {
    if (kind == Kind::Custom && context.release)
        context.release(context.info);
}

std::u16string __CFAllocator::Describe() const { return u"<CFAllocator>"; }

// ---- exported data ------------------------------------------------------------

// The vendor's library exports the default allocator as null and the
// "use context" allocator as a marker value.
const CFAllocatorRef kCFAllocatorDefault = nullptr;
const CFAllocatorRef kCFAllocatorSystemDefault = &cf::g_systemAllocator;
const CFAllocatorRef kCFAllocatorMalloc = &cf::g_mallocAllocator;
const CFAllocatorRef kCFAllocatorMallocZone = &cf::g_mallocZoneAllocator;
const CFAllocatorRef kCFAllocatorNull = &cf::g_nullAllocator;
const CFAllocatorRef kCFAllocatorUseContext = reinterpret_cast<CFAllocatorRef>(static_cast<uintptr_t>(0x03ab));
const CFBooleanRef kCFBooleanTrue = &cf::g_true;
const CFBooleanRef kCFBooleanFalse = &cf::g_false;
const CFNullRef kCFNull = &cf::g_null;
const CFTimeInterval kCFAbsoluteTimeIntervalSince1970 = 978307200.0;
const CFTimeInterval kCFAbsoluteTimeIntervalSince1904 = 3061152000.0;

// ---- base calls ---------------------------------------------------------------

CFTypeRef CFRetain(CFTypeRef cf) {
    cf::Retain(cf);
    return cf;
}

void CFRelease(CFTypeRef cf) { cf::Release(cf); }

CFIndex CFGetRetainCount(CFTypeRef cf) {
    const cf::Object* object = cf::AsObject(cf);
    if (!object)
        return 0;
    return object->immortal ? cf::kImmortalRetainCount : object->refs.load(std::memory_order_relaxed);
}

CFTypeRef CFMakeCollectable(CFTypeRef cf) { return cf; }

CFTypeID CFGetTypeID(CFTypeRef cf) { return cf ? cf::AsObject(cf)->typeId : cf::kTypeIdNone; }

CFStringRef CFCopyTypeIDDescription(CFTypeID typeId) {
    static const char16_t* const names[cf::kTypeIdCount] = {
        nullptr,   u"CFType", u"CFAllocator", u"CFNull",       u"CFBoolean", u"CFNumber", u"CFString",
        u"CFData", u"CFDate", u"CFArray",     u"CFDictionary", u"CFURL",     u"CFUUID",   u"CFError"};
    if (typeId == 0 || typeId >= cf::kTypeIdCount)
        return nullptr;
    return cf::Guard<CFStringRef>(nullptr, [&] { return cf::NewString(names[typeId]); });
}

Boolean CFEqual(CFTypeRef cf1, CFTypeRef cf2) {
    return cf::Guard<Boolean>(0, [&] { return static_cast<Boolean>(cf::Equal(cf1, cf2)); });
}

CFHashCode CFHash(CFTypeRef cf) { return cf::Hash(cf); }

CFStringRef CFCopyDescription(CFTypeRef cf) {
    if (!cf)
        return nullptr;
    return cf::Guard<CFStringRef>(nullptr, [&] { return cf::NewString(cf::Describe(cf)); });
}

CFAllocatorRef CFGetAllocator(CFTypeRef cf) { return cf ? &cf::g_systemAllocator : nullptr; }

void CFShow(CFTypeRef obj) {
    cf::GuardVoid([&] {
        std::string text = cf::ToUtf8(cf::Describe(obj));
        std::fprintf(stderr, "%s\n", text.c_str());
    });
}

void CFShowStr(CFStringRef str) {
    cf::GuardVoid([&] {
        const __CFString* s = cf::As<__CFString>(str);
        if (!s) {
            std::fprintf(stderr, "This is not a CFString\n");
            return;
        }
        std::fprintf(stderr, "Length %ld\nIsEightBit %d\nMutable %d\nContents \"%s\"\n",
                     static_cast<long>(s->units.size()), s->isAscii ? 1 : 0, s->isMutable ? 1 : 0,
                     cf::ToUtf8(s->units).c_str());
    });
}

CFRange __CFRangeMake(CFIndex location, CFIndex length) { return CFRange{location, length}; }

CFTypeID CFNullGetTypeID() { return cf::kTypeIdNull; }
CFTypeID CFBooleanGetTypeID() { return cf::kTypeIdBoolean; }

Boolean CFBooleanGetValue(CFBooleanRef boolean) {
    const __CFBoolean* b = cf::As<__CFBoolean>(boolean);
    return b && b->value ? 1 : 0;
}

// ---- allocators -----------------------------------------------------------------

namespace {

const __CFAllocator* Resolve(CFAllocatorRef allocator) {
    const __CFAllocator* a = cf::As<__CFAllocator>(allocator);
    return a ? a : &cf::g_systemAllocator;
}

} // namespace

CFTypeID CFAllocatorGetTypeID() { return cf::kTypeIdAllocator; }

// One default allocator for the whole process: a change is ignored.
void CFAllocatorSetDefault(CFAllocatorRef) {}

CFAllocatorRef CFAllocatorGetDefault() { return &cf::g_systemAllocator; }

CFAllocatorRef CFAllocatorCreate(CFAllocatorRef, CFAllocatorContext* context) {
    if (!context || !context->allocate)
        return nullptr;
    return cf::Guard<CFAllocatorRef>(nullptr, [&] {
        auto* a = new __CFAllocator(__CFAllocator::Kind::Custom, false);
        a->context = *context;
        if (context->retain)
            a->context.info = const_cast<void*>(context->retain(context->info));
        return a;
    });
}

void* CFAllocatorAllocate(CFAllocatorRef allocator, CFIndex size, CFOptionFlags hint) {
    if (size <= 0)
        return nullptr;
    const __CFAllocator* a = Resolve(allocator);
    switch (a->kind) {
    case __CFAllocator::Kind::Null:
        return nullptr;
    case __CFAllocator::Kind::Custom:
        return a->context.allocate(size, hint, a->context.info);
    case __CFAllocator::Kind::System:
        break;
    }
    return std::malloc(static_cast<size_t>(size));
}

void* CFAllocatorReallocate(CFAllocatorRef allocator, void* ptr, CFIndex newsize, CFOptionFlags hint) {
    const __CFAllocator* a = Resolve(allocator);
    if (!ptr)
        return CFAllocatorAllocate(allocator, newsize, hint);
    if (newsize <= 0) {
        CFAllocatorDeallocate(allocator, ptr);
        return nullptr;
    }
    switch (a->kind) {
    case __CFAllocator::Kind::Null:
        return nullptr;
    case __CFAllocator::Kind::Custom:
        return a->context.reallocate ? a->context.reallocate(ptr, newsize, hint, a->context.info) : nullptr;
    case __CFAllocator::Kind::System:
        break;
    }
    return std::realloc(ptr, static_cast<size_t>(newsize));
}

void CFAllocatorDeallocate(CFAllocatorRef allocator, void* ptr) {
    if (!ptr)
        return;
    const __CFAllocator* a = Resolve(allocator);
    switch (a->kind) {
    case __CFAllocator::Kind::Null:
        return;
    case __CFAllocator::Kind::Custom:
        if (a->context.deallocate)
            a->context.deallocate(ptr, a->context.info);
        return;
    case __CFAllocator::Kind::System:
        break;
    }
    std::free(ptr);
}

CFIndex CFAllocatorGetPreferredSizeForSize(CFAllocatorRef allocator, CFIndex size, CFOptionFlags hint) {
    const __CFAllocator* a = Resolve(allocator);
    if (a->kind == __CFAllocator::Kind::Custom && a->context.preferredSize)
        return a->context.preferredSize(size, hint, a->context.info);
    return size;
}

void CFAllocatorGetContext(CFAllocatorRef allocator, CFAllocatorContext* context) {
    if (!context)
        return;
    const __CFAllocator* a = Resolve(allocator);
    if (a->kind == __CFAllocator::Kind::Custom)
        *context = a->context;
    else
        *context = CFAllocatorContext{};
}

// The calls the program makes have exactly the signatures it binds them with.
#define ORVEX_CHECK_SIGNATURE(result, name, params)                                                                    \
    static_assert(std::is_same_v<decltype(&name), result(__cdecl*) params>, #name " differs from the program's view");
ORVEX_CF_CALLS(ORVEX_CHECK_SIGNATURE)
#undef ORVEX_CHECK_SIGNATURE
