// Finding, loading and binding the vendor libraries, and starting GDI+.
//
// LoadVendorLibraries looks for the vendor's support folders under the
// common program files folder (the 32-bit edition: the (x86) folder, else the
// plain one; the 64-bit edition: the 64-bit one), extends the process search
// path with them, loads "CoreFoundation.dll" and "iTunesMobileDevice.dll"
// (the 64-bit edition also "MobileDevice.dll", its newer name) by plain name and
// binds the whole binding table (platform/binding_table.h) into the slots
// behind platform/vendor_calls.h. Problems are shown in a message box
// through seams::ShowMessage. These are the bodies of the exports
// LoadDllFunctions and UnloadDllFunctions.
#pragma once

#include <windows.h>

// 1 when both libraries are loaded and every entry is bound (also when they
// already were), else 0.
int LoadVendorLibraries();
// Frees both libraries (those that are loaded), empties the slots and shuts
// GDI+ down; a later LoadVendorLibraries loads and binds again.
void UnloadVendorLibraries();
bool VendorLibrariesBound();
