// The value library linked into the device library for the built-in
// backend: its exports by name, as GetProcAddress finds them in
// CoreFoundation.dll (a function's address, or the address of a data
// constant).
#pragma once

namespace values {

// The address of the export `name`; null for a name the library lacks.
const void* Address(const char* name);

} // namespace values
