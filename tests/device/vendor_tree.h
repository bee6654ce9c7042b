// A scratch copy of the vendor's folders under a common files folder of its
// own, for the loader tests that point the shell-folder seam at it:
//   <root>\Apple\Apple Application Support\CoreFoundation.dll
//   <root>\Apple\Mobile Device Support\iTunesMobileDevice.dll
#pragma once

#include "tests/support/test_util.h"

#include <string>

namespace testutil {

// build/bin, where the vendor stand-ins, the library and the installer are
// built (the test programs of this folder run from build/bin/caller).
std::wstring BinFolder();

class VendorTree {
  public:
    struct Options {
        bool applicationSupport = true;
        bool mobileDeviceSupport = true;
        std::wstring valueLibrary;                                  // CoreFoundation.dll to copy; empty: the stand-in
        bool deviceLibrary = true;                                  // copy the device library stand-in
        std::wstring deviceLibraryName = L"iTunesMobileDevice.dll"; // under this name
    };
    VendorTree() : VendorTree(Options()) {}
    explicit VendorTree(const Options& options);

    // The common files folder (no trailing "\").
    const std::wstring& root() const { return m_dir.path(); }
    std::wstring ApplicationSupport() const { return root() + L"\\Apple\\Apple Application Support"; }
    std::wstring MobileDeviceSupport() const { return root() + L"\\Apple\\Mobile Device Support"; }
    bool ok() const { return m_ok; }

  private:
    TempDir m_dir;
    bool m_ok = false;
};

// The full path of a loaded module, empty when it is not loaded.
std::wstring LoadedModulePath(const wchar_t* name);

} // namespace testutil
