// values::Address names exactly what the CoreFoundation.dll stand-in (the
// same code built as a DLL) exports: every value-library name of the
// binding table, with its own function or constant behind it.
#include "values/lookup.h"

#include "platform/vendor_calls.h"
#include "tests/device/pe_exports.h"
#include "tests/support/test_util.h"
#include "values/CoreFoundation.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <string>
#include <vector>

namespace {

std::vector<const vendor::BindingEntry*> ValueEntries() {
    std::vector<const vendor::BindingEntry*> entries;
    const vendor::BindingEntry* table = vendor::BindingTable();
    for (int i = 0; i < vendor::kBindingTableSize; ++i)
        if (table[i].library == vendor::Library::Cf)
            entries.push_back(&table[i]);
    return entries;
}

TEST(ValuesLookup, EveryValueLibraryNameResolvesToItsOwnAddress) {
    const auto entries = ValueEntries();
    ASSERT_EQ(entries.size(), 573u);
    std::set<const void*> addresses;
    for (const vendor::BindingEntry* entry : entries) {
        const void* address = values::Address(entry->name);
        EXPECT_NE(address, nullptr) << entry->name;
        addresses.insert(address);
    }
    // No two names share a function or a constant.
    EXPECT_EQ(addresses.size(), entries.size());
    EXPECT_EQ(values::Address("CFRelease"), reinterpret_cast<const void*>(&CFRelease));
    EXPECT_EQ(values::Address("kCFBooleanTrue"), &kCFBooleanTrue);
}

TEST(ValuesLookup, OtherNamesAreNull) {
    const vendor::BindingEntry* table = vendor::BindingTable();
    for (int i = 0; i < vendor::kBindingTableSize; ++i) {
        if (table[i].library != vendor::Library::Amd)
            continue;
        EXPECT_EQ(values::Address(table[i].name), nullptr) << table[i].name;
    }
    for (const char* name : {"", "CFRelease ", "CFReleas", "cfrelease", "CFReleaseX", "kCFBooleanTru", "~", " "})
        EXPECT_EQ(values::Address(name), nullptr) << "'" << name << "'";
    EXPECT_EQ(values::Address(nullptr), nullptr);
}

TEST(ValuesLookup, AgreesNameForNameWithTheStandInExports) {
    std::vector<std::string> exported;
    ASSERT_TRUE(testutil::ReadExportNames(testutil::ProgramFolder() + L"\\CoreFoundation.dll", &exported));
    ASSERT_EQ(exported.size(), 573u);
    for (const std::string& name : exported)
        EXPECT_NE(values::Address(name.c_str()), nullptr) << name;
    std::vector<std::string> looked;
    for (const vendor::BindingEntry* entry : ValueEntries())
        looked.push_back(entry->name);
    std::sort(looked.begin(), looked.end());
    std::sort(exported.begin(), exported.end());
    EXPECT_EQ(looked, exported);
}

// A DLL loaded for the test and freed after it.
class Library {
  public:
    explicit Library(const std::wstring& path) : m_module(::LoadLibraryW(path.c_str())) {}
    ~Library() {
        if (m_module)
            ::FreeLibrary(m_module);
    }
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;
    HMODULE get() const { return m_module; }
    const void* Address(const char* name) const {
        return reinterpret_cast<const void*>(::GetProcAddress(m_module, name));
    }

  private:
    HMODULE m_module;
};

// The UTF-8 text of a string through one library's own calls.
template <typename GetCString> std::string TextOf(CFStringRef s, GetCString getCString) {
    char text[256] = {};
    if (!getCString(s, text, sizeof text, kCFStringEncodingUTF8))
        return "<not a string>";
    return text;
}

// Each constant holds what the stand-in's constant of the same name holds:
// the same number, a string of the same text, an object of the same type,
// a callback table of the same version.
TEST(ValuesLookup, ConstantsHoldWhatTheStandInsHold) {
    Library dll(testutil::ProgramFolder() + L"\\CoreFoundation.dll");
    ASSERT_NE(dll.get(), nullptr);
    using TypeIdFn = CFTypeID(__cdecl*)(CFTypeRef);
    using GetCStringFn = Boolean(__cdecl*)(CFStringRef, char*, CFIndex, CFStringEncoding);
    auto dllTypeOf = reinterpret_cast<TypeIdFn>(dll.Address("CFGetTypeID"));
    auto dllGetCString = reinterpret_cast<GetCStringFn>(dll.Address("CFStringGetCString"));
    ASSERT_TRUE(dllTypeOf && dllGetCString);
    int strings = 0;
    for (const vendor::BindingEntry* entry : ValueEntries()) {
        if (entry->kind == vendor::Kind::Function)
            continue;
        const void* ours = values::Address(entry->name);
        const void* theirs = dll.Address(entry->name);
        ASSERT_TRUE(ours && theirs) << entry->name;
        if (entry->kind == vendor::Kind::Real) {
            EXPECT_EQ(*static_cast<const double*>(ours), *static_cast<const double*>(theirs)) << entry->name;
            continue;
        }
        const void* ourWord = *static_cast<const void* const*>(ours);
        const void* theirWord = *static_cast<const void* const*>(theirs);
        if (std::strstr(entry->name, "CallBacks") || !ourWord ||
            std::strcmp(entry->name, "kCFAllocatorUseContext") == 0) {
            // A table's version, the default allocator's null, a marker.
            EXPECT_EQ(ourWord, theirWord) << entry->name;
            continue;
        }
        ASSERT_NE(theirWord, nullptr) << entry->name;
        EXPECT_EQ(CFGetTypeID(ourWord), dllTypeOf(theirWord)) << entry->name;
        if (CFGetTypeID(ourWord) != CFStringGetTypeID())
            continue;
        ++strings;
        EXPECT_EQ(TextOf(static_cast<CFStringRef>(ourWord), CFStringGetCString),
                  TextOf(static_cast<CFStringRef>(theirWord), dllGetCString))
            << entry->name;
    }
    EXPECT_EQ(strings, 90);
}

} // namespace

// A lookup that lacks one name: binding stops there.
const void* AllButCFRetain(const char* name) {
    return std::strcmp(name, "CFRetain") == 0 ? nullptr : values::Address(name);
}

// The binding table filled from the lookup: calls reach the library linked
// in, and the constant slots hold copies of its constants.
TEST(ValuesLookup, BindsTheTableFromTheLookup) {
    ASSERT_EQ(vendor::BindLibrary(vendor::Library::Cf, values::Address), nullptr);
    EXPECT_EQ(vendor::CFRelease.address(), &CFRelease);
    CFStringRef text =
        vendor::CFStringCreateWithBytes(nullptr, reinterpret_cast<const uint8_t*>("abc"), 3, kCFStringEncodingUTF8, 0);
    EXPECT_EQ(CFStringGetLength(text), 3);
    EXPECT_EQ(vendor::CFGetRetainCount(text), 1);
    vendor::CFRelease(text);
    EXPECT_EQ(vendor::WordAt(vendor::WordSlot::kCFBooleanTrue), reinterpret_cast<uintptr_t>(kCFBooleanTrue));
    EXPECT_EQ(vendor::RealAt(vendor::RealSlot::kCFAbsoluteTimeIntervalSince1904), 3061152000.0);
    // The device library's part is not the value library's.
    const vendor::BindingEntry* missing = vendor::BindLibrary(vendor::Library::Amd, values::Address);
    ASSERT_NE(missing, nullptr);
    EXPECT_EQ(missing->library, vendor::Library::Amd);
    vendor::ClearSlots();

    missing = vendor::BindLibrary(vendor::Library::Cf, AllButCFRetain);
    ASSERT_NE(missing, nullptr);
    EXPECT_STREQ(missing->name, "CFRetain");
    EXPECT_EQ(vendor::CFRetain.address(), nullptr);
    vendor::ClearSlots();
    EXPECT_EQ(vendor::BindLibrary(vendor::Library::Cf, vendor::AddressLookup{}), vendor::BindingTable());
}
