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

// The bitness of the other edition (64 in the 32-bit one and back).
int OtherBits();

// Copies a stand-in of build/bin ("CoreFoundation.dll" or
// "iTunesMobileDevice.dll") to `to`, making the folders on the way. With
// `bits` of the other edition, the copy's header says it was built for the
// other machine: a library of the wrong bitness.
bool PlaceStandIn(const wchar_t* standIn, const std::wstring& to, int bits = 0);

// Scratch registry values under HKEY_CURRENT_USER\Software\OrvexTests\...,
// where the loader's search is pointed while the object lives (its
// registryBase); removed afterwards.
class ScratchRegistry {
  public:
    ScratchRegistry();
    ~ScratchRegistry();
    ScratchRegistry(const ScratchRegistry&) = delete;
    ScratchRegistry& operator=(const ScratchRegistry&) = delete;

    // The prefix to put before key paths ("Software\OrvexTests\...\").
    const std::wstring& base() const { return m_base; }
    bool SetString(const std::wstring& key, const wchar_t* value, const std::wstring& text);
    // Empties it.
    void Clear();

  private:
    std::wstring m_base;
};

} // namespace testutil
