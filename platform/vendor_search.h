// The search for the vendor's installation: every candidate of the table in
// platform/vendor_folders.h, in order, each with what was found there. The
// loader loads the first usable one; orvexctl doctor prints them all. The
// search only looks at files and the registry: it loads nothing.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace vendor_search {

enum class Source {
    CommonFilesRule, // candidate 1: the folders on the search path, plain names
    Registry,        // candidate 2
    CommonFiles,     // candidate 3
    StorePackage,    // candidate 4
};

enum class Status {
    Usable,             // both libraries there, of this edition's bitness
    Missing,            // nothing at this place
    PublishedButAbsent, // the registry names a file that does not exist
    WrongBitness,       // a library there is built for the other bitness
    NoValueLibrary,     // a device library, but no CoreFoundation.dll for it
};

struct Library {
    std::wstring path;
    int bits = 0; // 32, 64, or 0 when the file is not a Windows library
};

struct Candidate {
    Source source;
    std::wstring label; // "registry MobileDeviceDLL (64-bit view)", ...
    std::wstring place; // the file or folder looked at; empty if none known
    Status status = Status::Missing;
    Library device;           // set when a device library was found
    Library value;            // set when a value library was found
    std::wstring detail;      // why it is not usable, in words
    std::wstring commonFiles; // CommonFilesRule: the common files folder, ending in "\"
};

// Package functions of kernel32 (Windows 8.1 and later), resolved at run
// time; null where the system has none.
using GetPackagesByPackageFamilyFn = LONG(WINAPI*)(PCWSTR family, UINT32* count, PWSTR* names, UINT32* bufferLength,
                                                   WCHAR* buffer);
using GetPackagePathByFullNameFn = LONG(WINAPI*)(PCWSTR fullName, UINT32* pathLength, PWSTR path);

// What the search asks the system; tests point it elsewhere.
struct Host {
    std::wstring (*shellFolder)(int csidl) = nullptr; // CSIDL -> folder, empty if none
    HKEY registryRoot = HKEY_LOCAL_MACHINE;
    std::wstring registryBase; // put before every key path (tests: a scratch key)
    bool twoRegistryViews = false;
    GetPackagesByPackageFamilyFn packagesByFamily = nullptr;
    GetPackagePathByFullNameFn packagePath = nullptr;
};

// The real system: SHGetFolderPath, HKEY_LOCAL_MACHINE, both registry views
// on 64-bit Windows, the package functions where kernel32 has them.
Host SystemHost();

// Every candidate in order.
std::vector<Candidate> Search(const Host& host);
// The first usable candidate, or null.
const Candidate* FirstUsable(const std::vector<Candidate>& candidates);

// The folders of the installed packages of a family (the package
// functions first, then the package repository in the registry).
std::vector<std::wstring> PackageFolders(const Host& host, const std::wstring& family);

// Some store package of the vendor's (table in platform/vendor_folders.h)
// is installed: its folder is known by its family name.
bool StorePackageInstalled(const Host& host);

// 32 or 64 for a Windows executable image, 0 for anything else.
int ImageBits(const std::wstring& path);
// "1.2.3.4" from the file's version resource; empty when it has none.
std::wstring FileVersion(const std::wstring& path);

const wchar_t* StatusName(Status status); // "usable", "missing", ...

} // namespace vendor_search
