// Typed call surfaces over the binding slots of the vendor libraries.
//
// The slots are declared from the binding table (platform/binding_table.h)
// and filled by the loader (platform/vendor_loader.h). Every call the
// program makes into the vendor libraries goes through an object below,
// named after the vendor function and typed with its signature from
// platform/vendor_abi.h:
//
//     CFRef<CFStringRef> id(vendor::AMDeviceCopyDeviceIdentifier(device));
//     CFIndex length = vendor::CFStringGetLength(id.get());
//
// Calls are valid only while the libraries are bound; an unbound slot is
// null. Adding a call: put its signature into ORVEX_CF_CALLS or
// ORVEX_AMD_CALLS (vendor_abi.h); its name must be in the binding table.
#pragma once

#include "platform/binding_table.h"
#include "platform/vendor_abi.h"

#include <cstdint>

namespace vendor {

enum class Library { Cf, Amd };
enum class Kind { Function, Repeat, Word, Real };

// ---- slots, declared from the binding table -------------------------------

#define ORVEX_SLOT_NAME_Function(name) name,
#define ORVEX_SLOT_NAME_Repeat(name)
#define ORVEX_SLOT_NAME_Word(name)
#define ORVEX_SLOT_NAME_Real(name)
#define ORVEX_FUNCTION_SLOT(library, kind, name) ORVEX_SLOT_NAME_##kind(name)
#define ORVEX_WORD_SLOT(library, kind, name) ORVEX_WORD_SLOT_##kind(name)
#define ORVEX_WORD_SLOT_Function(name)
#define ORVEX_WORD_SLOT_Repeat(name)
#define ORVEX_WORD_SLOT_Word(name) name,
#define ORVEX_WORD_SLOT_Real(name)
#define ORVEX_REAL_SLOT(library, kind, name) ORVEX_REAL_SLOT_##kind(name)
#define ORVEX_REAL_SLOT_Function(name)
#define ORVEX_REAL_SLOT_Repeat(name)
#define ORVEX_REAL_SLOT_Word(name)
#define ORVEX_REAL_SLOT_Real(name) name,

// One slot per distinct function name.
enum class FunctionSlot : int { ORVEX_BINDING_TABLE(ORVEX_FUNCTION_SLOT) Count };
// One slot per pointer-sized data constant.
enum class WordSlot : int { ORVEX_BINDING_TABLE(ORVEX_WORD_SLOT) Count };
// One slot per floating-point data constant.
enum class RealSlot : int { ORVEX_BINDING_TABLE(ORVEX_REAL_SLOT) Count };

// The type every function slot is stored as; cast to the real signature
// when called.
using RawFunction = void (*)();

// One entry of the binding table.
struct BindingEntry {
    Library library;
    Kind kind;
    const char* name;
    int slot; // index into the slots of its kind (Repeat: a function slot)
};

constexpr int kBindingTableSize = 638;
const BindingEntry* BindingTable(); // kBindingTableSize entries, in binding order

// Slot access. Reading an unbound slot gives null / 0.
RawFunction FunctionAt(FunctionSlot slot);
uintptr_t WordAt(WordSlot slot);
double RealAt(RealSlot slot);

// Binds the entries of `library` in table order from `module`. Stops at the
// first name that cannot be resolved and returns its entry (the entries
// before it stay bound); returns null when every entry is bound.
const BindingEntry* BindLibrary(Library library, HMODULE module);
// The same from a library linked into the program: `lookup(name)` gives the
// address GetProcAddress would give for the export `name` (a function, or
// the constant whose contents are copied), null for a name it lacks.
using AddressLookup = const void* (*)(const char* name);
const BindingEntry* BindLibrary(Library library, AddressLookup lookup);
// Empties every slot.
void ClearSlots();

// ---- typed calls ------------------------------------------------------------

template <FunctionSlot Slot, typename Signature> struct TypedCall;

template <FunctionSlot Slot, typename Result, typename... Params> struct TypedCall<Slot, Result (*)(Params...)> {
    using Pointer = Result (*)(Params...);
    Result operator()(Params... params) const { return reinterpret_cast<Pointer>(FunctionAt(Slot))(params...); }
    // The bound address (null while unbound).
    Pointer address() const { return reinterpret_cast<Pointer>(FunctionAt(Slot)); }
};

ORVEX_CF_CALLS(ORVEX_DECLARE_CALL_TYPE)
ORVEX_AMD_CALLS(ORVEX_DECLARE_CALL_TYPE)

#define ORVEX_DEFINE_TYPED_CALL(result, name, params) inline constexpr TypedCall<FunctionSlot::name, name##_fn> name{};
ORVEX_CF_CALLS(ORVEX_DEFINE_TYPED_CALL)
ORVEX_AMD_CALLS(ORVEX_DEFINE_TYPED_CALL)
#undef ORVEX_DEFINE_TYPED_CALL

} // namespace vendor
