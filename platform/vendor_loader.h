// Finding, loading and binding the vendor libraries, and starting GDI+.
//
// LoadVendorLibraries walks the candidates of platform/vendor_folders.h
// (through platform/vendor_search.h) and loads the first usable one. The
// common files rule comes first, unchanged: the vendor's support folders
// under the edition's common program files folder go on the process search
// path and "CoreFoundation.dll" and "iTunesMobileDevice.dll" (the 64-bit
// edition also "MobileDevice.dll", its newer name) are loaded by plain
// name. Later candidates (the registry, the newer common files layout, the
// store packages) are loaded by full path with LOAD_WITH_ALTERED_SEARCH_PATH.
// A library of the other bitness is never loaded: it is passed over with a
// line in the daily log, and the candidate used is named there with its
// path. Then the whole binding table (platform/binding_table.h) is bound
// into the slots behind platform/vendor_calls.h. Problems are shown in a
// message box through seams::ShowMessage. These are the bodies of the
// exports LoadDllFunctions and UnloadDllFunctions.
//
// Where no vendor library is found at all (the rule ends with 0 and nothing
// to show), the device multiplexer is asked for its device list, within a
// second; when it answers, the whole table is bound to the built-in backend
// (backend/backend.h) and the value library linked in (values/lookup.h),
// with a line in the daily log and never a message box.
#pragma once

#include "platform/vendor_search.h"

#include <windows.h>

// 1 when every entry is bound, from the vendor's libraries or the built-in
// backend (also when it already was), else 0.
int LoadVendorLibraries();
// Ends the built-in backend (when bound) or frees both vendor libraries
// (those that are loaded), empties the slots and shuts GDI+ down; a later
// LoadVendorLibraries loads and binds afresh.
void UnloadVendorLibraries();
bool VendorLibrariesBound();

// What the binding table is bound to.
enum class Backend { None, Vendor, BuiltIn };
Backend BoundBackend();

// What the loader's search asks the system: the real one, with the common
// files folder from seams::ShellFolder. Tests point the registry and the
// package functions elsewhere; ResetVendorSearchHost puts it back.
vendor_search::Host& VendorSearchHost();
void ResetVendorSearchHost();
