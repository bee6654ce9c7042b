#include "platform/vendor_calls.h"

#include <atomic>
#include <cstring>

namespace vendor {
namespace {

#define ORVEX_SLOT_INDEX_Function(name) static_cast<int>(FunctionSlot::name)
#define ORVEX_SLOT_INDEX_Repeat(name) static_cast<int>(FunctionSlot::name)
#define ORVEX_SLOT_INDEX_Word(name) static_cast<int>(WordSlot::name)
#define ORVEX_SLOT_INDEX_Real(name) static_cast<int>(RealSlot::name)
#define ORVEX_TABLE_ENTRY(library, kind, name) {Library::library, Kind::kind, #name, ORVEX_SLOT_INDEX_##kind(name)},

constexpr BindingEntry kTable[] = {ORVEX_BINDING_TABLE(ORVEX_TABLE_ENTRY)};

constexpr int CountOf(Library library, Kind kind) {
    int n = 0;
    for (const BindingEntry& e : kTable)
        n += (e.library == library && e.kind == kind) ? 1 : 0;
    return n;
}

static_assert(sizeof kTable / sizeof kTable[0] == kBindingTableSize, "638 entries");
static_assert(CountOf(Library::Cf, Kind::Function) == 460, "460 value-library functions");
static_assert(CountOf(Library::Cf, Kind::Word) + CountOf(Library::Cf, Kind::Real) == 113, "113 constants");
static_assert(CountOf(Library::Cf, Kind::Real) == 2, "two floating-point constants");
static_assert(CountOf(Library::Amd, Kind::Function) == 64 && CountOf(Library::Amd, Kind::Repeat) == 1,
              "65 device-library entries");
static_assert(static_cast<int>(FunctionSlot::Count) == 460 + 64, "one slot per function name");

constexpr int kFunctions = static_cast<int>(FunctionSlot::Count);
constexpr int kWords = static_cast<int>(WordSlot::Count);
constexpr int kReals = static_cast<int>(RealSlot::Count);

// Slots are written by the loader and read by every thread that calls into
// the vendor libraries; relaxed atomics keep those reads well defined.
std::atomic<RawFunction> g_functions[kFunctions];
std::atomic<uintptr_t> g_words[kWords];
std::atomic<double> g_reals[kReals];

// Fills the slot of `entry` from the export at `address`: a function's
// address, or a copy of what a constant holds.
void BindEntry(const BindingEntry& entry, const void* address) {
    switch (entry.kind) {
    case Kind::Function:
    case Kind::Repeat:
        g_functions[entry.slot].store(reinterpret_cast<RawFunction>(address), std::memory_order_relaxed);
        break;
    case Kind::Word: {
        uintptr_t word;
        std::memcpy(&word, address, sizeof word);
        g_words[entry.slot].store(word, std::memory_order_relaxed);
        break;
    }
    case Kind::Real: {
        double value;
        std::memcpy(&value, address, sizeof value);
        g_reals[entry.slot].store(value, std::memory_order_relaxed);
        break;
    }
    }
}

// Binds the entries of `library` in table order, each from the address
// `resolve(name)` gives; stops at the first null one and returns its entry.
template <typename Resolve> const BindingEntry* BindEach(Library library, Resolve resolve) {
    for (const BindingEntry& entry : kTable) {
        if (entry.library != library)
            continue;
        const void* address = resolve(entry.name);
        if (!address)
            return &entry;
        BindEntry(entry, address);
    }
    return nullptr;
}

} // namespace

const BindingEntry* BindingTable() { return kTable; }

RawFunction FunctionAt(FunctionSlot slot) {
    return g_functions[static_cast<int>(slot)].load(std::memory_order_relaxed);
}
uintptr_t WordAt(WordSlot slot) { return g_words[static_cast<int>(slot)].load(std::memory_order_relaxed); }
double RealAt(RealSlot slot) { return g_reals[static_cast<int>(slot)].load(std::memory_order_relaxed); }

const BindingEntry* BindLibrary(Library library, HMODULE module) {
    return BindEach(library, [module](const char* name) {
        return module ? reinterpret_cast<const void*>(::GetProcAddress(module, name)) : nullptr;
    });
}

const BindingEntry* BindLibrary(Library library, AddressLookup lookup) {
    return BindEach(library, [lookup](const char* name) { return lookup ? lookup(name) : nullptr; });
}

void ClearSlots() {
    for (auto& slot : g_functions)
        slot.store(nullptr, std::memory_order_relaxed);
    for (auto& slot : g_words)
        slot.store(0, std::memory_order_relaxed);
    for (auto& slot : g_reals)
        slot.store(0.0, std::memory_order_relaxed);
}

} // namespace vendor
