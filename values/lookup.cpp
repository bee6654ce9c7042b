#include "values/lookup.h"

#include "platform/binding_table.h"
#include "values/CoreFoundation.h"
#include "values/string_constants.h"
#include "values/unsupported.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace {

struct Export {
    const char* name;
    const void* address;
};

// Every name of the value library's part of the binding table, with the
// address of its function or constant (what CoreFoundation.def exports).
#define ORVEX_VALUES_EXPORT_Cf(name) Export{#name, reinterpret_cast<const void*>(&name)},
#define ORVEX_VALUES_EXPORT_Amd(name)
#define ORVEX_VALUES_EXPORT(library, kind, name) ORVEX_VALUES_EXPORT_##library(name)
const Export kExports[] = {ORVEX_BINDING_TABLE(ORVEX_VALUES_EXPORT)};
#undef ORVEX_VALUES_EXPORT
#undef ORVEX_VALUES_EXPORT_Amd
#undef ORVEX_VALUES_EXPORT_Cf

constexpr size_t kExportCount = sizeof kExports / sizeof kExports[0];
static_assert(kExportCount == 573, "the value library's 573 names");

bool ByName(const Export* a, const Export* b) { return std::strcmp(a->name, b->name) < 0; }

// The exports sorted by name, made once.
const std::array<const Export*, kExportCount>& SortedExports() {
    static const std::array<const Export*, kExportCount> sorted = [] {
        std::array<const Export*, kExportCount> list{};
        for (size_t i = 0; i < kExportCount; ++i)
            list[i] = &kExports[i];
        std::sort(list.begin(), list.end(), ByName);
        return list;
    }();
    return sorted;
}

} // namespace

namespace values {

const void* Address(const char* name) {
    if (!name)
        return nullptr;
    const auto& sorted = SortedExports();
    const Export key{name, nullptr};
    auto found = std::lower_bound(sorted.begin(), sorted.end(), &key, ByName);
    if (found == sorted.end() || std::strcmp((*found)->name, name) != 0)
        return nullptr;
    return (*found)->address;
}

} // namespace values
