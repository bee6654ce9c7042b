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
#pragma once

#include "platform/vendor_search.h"

#include <windows.h>

// 1 when both libraries are loaded and every entry is bound (also when they
// already were), else 0.
int LoadVendorLibraries();
// Frees both libraries (those that are loaded), empties the slots and shuts
// GDI+ down; a later LoadVendorLibraries loads and binds again.
void UnloadVendorLibraries();
bool VendorLibrariesBound();

// What the loader's search asks the system: the real one, with the common
// files folder from seams::ShellFolder. Tests point the registry and the
// package functions elsewhere; ResetVendorSearchHost puts it back.
vendor_search::Host& VendorSearchHost();
void ResetVendorSearchHost();
