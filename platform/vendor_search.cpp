#include "platform/vendor_search.h"

#include "platform/file.h"
#include "platform/handles.h"
#include "platform/vendor_folders.h"

#include <shlobj.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <cwchar>

namespace vendor_search {

namespace {

namespace vf = vendor_folders;

constexpr DWORD kMaxRegistryText = 32768; // units; longer values are not paths
constexpr UINT32 kMaxPackages = 256;
constexpr UINT32 kMaxPackageNameUnits = 1 << 16;
constexpr UINT32 kMaxPackagePathUnits = 32768;

#ifdef _WIN64
constexpr REGSAM kOwnView = KEY_WOW64_64KEY;
constexpr REGSAM kOtherView = KEY_WOW64_32KEY;
#else
constexpr REGSAM kOwnView = KEY_WOW64_32KEY;
constexpr REGSAM kOtherView = KEY_WOW64_64KEY;
#endif

std::wstring Join(const std::wstring& folder, const std::wstring& name) {
    if (name.empty())
        return folder;
    if (!folder.empty() && folder.back() == L'\\')
        return folder + name;
    return folder + L"\\" + name;
}

std::wstring FolderOf(const std::wstring& path) {
    size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

std::wstring BitsText(int bits) { return bits ? std::to_wstring(bits) + L"-bit" : L"not a Windows library"; }

std::wstring SystemShellFolder(int csidl) {
    wchar_t path[MAX_PATH] = {};
    if (FAILED(::SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, path)))
        return std::wstring();
    return path;
}

// ---- the registry -----------------------------------------------------------

// A string value as a path: REG_SZ or REG_EXPAND_SZ (expanded), surrounding
// quotes taken off; empty when absent, of another type or implausibly long.
std::wstring ReadPathValue(const Host& host, REGSAM view, const std::wstring& key, const wchar_t* value) {
    HKEY raw = nullptr;
    if (::RegOpenKeyExW(host.registryRoot, (host.registryBase + key).c_str(), 0, KEY_QUERY_VALUE | view, &raw) !=
        ERROR_SUCCESS)
        return std::wstring();
    UniqueRegKey opened(raw);
    DWORD type = REG_NONE;
    DWORD bytes = 0;
    if (::RegQueryValueExW(opened.get(), value, nullptr, &type, nullptr, &bytes) != ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ) || bytes > kMaxRegistryText * sizeof(wchar_t))
        return std::wstring();
    std::wstring text(bytes / sizeof(wchar_t) + 1, L'\0');
    DWORD read = static_cast<DWORD>(text.size() * sizeof(wchar_t));
    if (::RegQueryValueExW(opened.get(), value, nullptr, &type, reinterpret_cast<BYTE*>(text.data()), &read) !=
        ERROR_SUCCESS)
        return std::wstring();
    text.resize(std::wcslen(text.c_str())); // the value may or may not carry its terminator
    if (text.size() >= 2 && text.front() == L'"' && text.back() == L'"')
        text = text.substr(1, text.size() - 2);
    if (type == REG_EXPAND_SZ) {
        DWORD n = ::ExpandEnvironmentStringsW(text.c_str(), nullptr, 0);
        if (n == 0 || n > kMaxRegistryText)
            return std::wstring();
        std::wstring expanded(n, L'\0');
        n = ::ExpandEnvironmentStringsW(text.c_str(), expanded.data(), n);
        expanded.resize(n ? n - 1 : 0);
        text = expanded;
    }
    return text;
}

std::vector<REGSAM> Views(const Host& host) {
    if (host.twoRegistryViews)
        return {kOwnView, kOtherView};
    return {kOwnView};
}

std::wstring ViewText(const Host& host, REGSAM view) {
    if (!host.twoRegistryViews)
        return std::wstring();
    return view == KEY_WOW64_64KEY ? L" (64-bit view)" : L" (32-bit view)";
}

// ---- libraries --------------------------------------------------------------

Library Examine(const std::wstring& path) { return Library{path, ImageBits(path)}; }

std::wstring FirstDeviceLibraryIn(const std::wstring& folder) {
    for (const wchar_t* name : vf::kAnyDeviceLibraryName) {
        std::wstring path = Join(folder, name);
        if (IsLocalFile(path))
            return path;
    }
    return std::wstring();
}

// The folders published for the value library.
std::vector<std::wstring> InstallDirs(const Host& host) {
    std::vector<std::wstring> folders;
    for (REGSAM view : Views(host)) {
        for (const wchar_t* key : vf::kInstallDirKeys) {
            std::wstring folder = ReadPathValue(host, view, key, vf::kInstallDirValue);
            if (!folder.empty())
                folders.push_back(folder);
        }
    }
    return folders;
}

// Completes a candidate whose device library was found: its bitness, then
// the value library from `valueFolders` in order.
void Complete(Candidate* candidate, const std::wstring& devicePath, const std::vector<std::wstring>& valueFolders) {
    candidate->device = Examine(devicePath);
    if (candidate->device.bits != vf::kEditionBits) {
        candidate->status = Status::WrongBitness;
        candidate->detail = devicePath + L" is " + BitsText(candidate->device.bits) + L", this edition is " +
                            std::to_wstring(vf::kEditionBits) + L"-bit";
        return;
    }
    Library wrong;
    for (const std::wstring& folder : valueFolders) {
        Library value = Examine(Join(folder, vf::kValueLibraryName));
        if (!IsLocalFile(value.path))
            continue;
        if (value.bits == vf::kEditionBits) {
            candidate->value = value;
            candidate->status = Status::Usable;
            return;
        }
        if (wrong.path.empty())
            wrong = value;
    }
    if (!wrong.path.empty()) {
        candidate->value = wrong;
        candidate->status = Status::WrongBitness;
        candidate->detail = wrong.path + L" is " + BitsText(wrong.bits) + L", this edition is " +
                            std::to_wstring(vf::kEditionBits) + L"-bit";
        return;
    }
    candidate->status = Status::NoValueLibrary;
    candidate->detail = std::wstring(L"no ") + vf::kValueLibraryName + L" beside " + devicePath +
                        (valueFolders.size() > 1 ? L" or in the published folders" : L"");
}

// ---- the candidates -----------------------------------------------------------

std::wstring CommonFilesFolder(const Host& host) {
    std::wstring folder;
    for (int csidl : vf::kCommonFolders) {
        folder = host.shellFolder ? host.shellFolder(csidl) : std::wstring();
        if (!folder.empty())
            break;
    }
    if (!folder.empty() && folder.back() != L'\\')
        folder += L'\\';
    return folder;
}

Candidate CommonFilesRule(const std::wstring& common) {
    Candidate c{Source::CommonFilesRule, L"common files: Apple Application Support and Mobile Device Support", common};
    c.commonFiles = common;
    if (common.empty()) {
        c.detail = L"no common program files folder";
        return c;
    }
    const std::wstring support = common + vf::kApplicationSupport;
    const std::wstring mobileDevice = common + vf::kMobileDeviceSupport;
    c.place = common + L"Apple";
    for (const std::wstring& folder : {support, mobileDevice}) {
        if (!IsLocalDirectory(folder)) {
            c.detail = L"no folder " + folder;
            return c;
        }
    }
    std::wstring device;
    for (const wchar_t* name : vf::kDeviceLibraryNames) {
        if (IsLocalFile(Join(mobileDevice, name))) {
            device = Join(mobileDevice, name);
            break;
        }
    }
    if (device.empty()) {
        c.detail = Join(mobileDevice, vf::kDeviceLibraryNames[0]) + L" is missing";
        return c;
    }
    const std::wstring value = Join(support, vf::kValueLibraryName);
    if (!IsLocalFile(value)) {
        c.device = Examine(device);
        c.detail = value + L" is missing";
        return c;
    }
    Complete(&c, device, {support});
    return c;
}

void AddRegistryCandidates(const Host& host, const std::vector<std::wstring>& installDirs,
                           std::vector<Candidate>* out) {
    for (REGSAM view : Views(host)) {
        for (const vf::PublishedLibrary& published : vf::kPublishedLibraries) {
            Candidate c{Source::Registry, std::wstring(L"registry ") + published.value + ViewText(host, view)};
            std::wstring path = ReadPathValue(host, view, vf::kSharedKey, published.value);
            c.place = path;
            if (path.empty()) {
                c.detail = std::wstring(L"no value ") + published.value + L" in HKLM\\" + vf::kSharedKey;
            } else if (published.besideIt) {
                std::wstring device = FirstDeviceLibraryIn(FolderOf(path));
                if (device.empty()) {
                    c.detail = L"no MobileDevice.dll beside " + path;
                } else {
                    std::vector<std::wstring> folders{FolderOf(device)};
                    folders.insert(folders.end(), installDirs.begin(), installDirs.end());
                    Complete(&c, device, folders);
                }
            } else if (!IsLocalFile(path)) {
                c.status = Status::PublishedButAbsent;
                c.detail = L"the published file " + path + L" does not exist";
            } else {
                std::vector<std::wstring> folders{FolderOf(path)};
                folders.insert(folders.end(), installDirs.begin(), installDirs.end());
                Complete(&c, path, folders);
            }
            out->push_back(c);
        }
    }
}

Candidate CommonFilesNewer(const std::wstring& common, const std::vector<std::wstring>& installDirs) {
    Candidate c{Source::CommonFiles, L"common files: Mobile Device Support"};
    if (common.empty()) {
        c.detail = L"no common program files folder";
        return c;
    }
    const std::wstring folder = common + vf::kMobileDeviceSupport;
    c.place = folder;
    std::wstring device = FirstDeviceLibraryIn(folder);
    if (device.empty()) {
        c.detail = L"no MobileDevice.dll in " + folder;
        return c;
    }
    std::vector<std::wstring> folders{folder};
    folders.insert(folders.end(), installDirs.begin(), installDirs.end());
    Complete(&c, device, folders);
    return c;
}

void AddPackageCandidates(const Host& host, const std::vector<std::wstring>& installDirs, std::vector<Candidate>* out) {
    for (const vf::StorePackage& package : vf::kStorePackages) {
        std::vector<std::wstring> roots = PackageFolders(host, package.family);
        if (roots.empty()) {
            Candidate c{Source::StorePackage, package.label, package.family};
            c.detail = L"package not installed";
            out->push_back(c);
            continue;
        }
        for (const std::wstring& root : roots) {
            for (const wchar_t* sub : package.deviceFolders) {
                if (!sub)
                    break;
                Candidate c{Source::StorePackage, package.label + std::wstring(*sub ? L", " : L"") + sub};
                const std::wstring folder = Join(root, sub);
                c.place = folder;
                std::wstring device = FirstDeviceLibraryIn(folder);
                if (device.empty()) {
                    c.detail = L"no MobileDevice.dll in " + folder;
                    out->push_back(c);
                    continue;
                }
                std::vector<std::wstring> folders{folder};
                for (const wchar_t* extra : package.valueFolders) {
                    if (extra)
                        folders.push_back(Join(root, extra));
                }
                folders.insert(folders.end(), installDirs.begin(), installDirs.end());
                Complete(&c, device, folders);
                out->push_back(c);
            }
        }
    }
}

// Name_Version_Architecture_ResourceId_PublisherId belongs to Name_PublisherId.
bool InFamily(const std::wstring& fullName, const std::wstring& family) {
    size_t cut = family.rfind(L'_');
    if (cut == std::wstring::npos)
        return false;
    const std::wstring name = family.substr(0, cut + 1);
    const std::wstring publisher = family.substr(cut);
    return fullName.size() > name.size() + publisher.size() &&
           ::_wcsnicmp(fullName.c_str(), name.c_str(), name.size()) == 0 &&
           ::_wcsicmp(fullName.c_str() + fullName.size() - publisher.size(), publisher.c_str()) == 0;
}

void AddUnique(std::vector<std::wstring>* folders, const std::wstring& folder) {
    if (folder.empty())
        return;
    for (const std::wstring& known : *folders) {
        if (::_wcsicmp(known.c_str(), folder.c_str()) == 0)
            return;
    }
    folders->push_back(folder);
}

std::vector<std::wstring> FullNamesByFunction(const Host& host, const std::wstring& family) {
    if (!host.packagesByFamily || !host.packagePath)
        return {};
    UINT32 count = 0;
    UINT32 length = 0;
    LONG result = host.packagesByFamily(family.c_str(), &count, nullptr, &length, nullptr);
    if (result != ERROR_INSUFFICIENT_BUFFER || count == 0 || count > kMaxPackages || length == 0 ||
        length > kMaxPackageNameUnits)
        return {};
    std::vector<PWSTR> names(count);
    std::vector<WCHAR> buffer(length);
    UINT32 gotCount = count;
    UINT32 gotLength = length;
    if (host.packagesByFamily(family.c_str(), &gotCount, names.data(), &gotLength, buffer.data()) != ERROR_SUCCESS ||
        gotCount > count)
        return {};
    std::vector<std::wstring> fullNames;
    const WCHAR* begin = buffer.data();
    const WCHAR* end = begin + buffer.size();
    for (UINT32 i = 0; i < gotCount; ++i) {
        // Each name must lie in the buffer and end in it.
        const WCHAR* name = names[i];
        if (name < begin || name >= end)
            continue;
        const WCHAR* stop = std::find(name, end, L'\0');
        if (stop != end)
            fullNames.emplace_back(name, stop);
    }
    return fullNames;
}

std::wstring PathByFullName(const Host& host, const std::wstring& fullName) {
    UINT32 length = 0;
    if (host.packagePath(fullName.c_str(), &length, nullptr) != ERROR_INSUFFICIENT_BUFFER || length == 0 ||
        length > kMaxPackagePathUnits)
        return std::wstring();
    std::wstring path(length, L'\0');
    UINT32 got = length;
    if (host.packagePath(fullName.c_str(), &got, path.data()) != ERROR_SUCCESS)
        return std::wstring();
    path.resize(std::wcslen(path.c_str()));
    return path;
}

void AddRepositoryFolders(const Host& host, const std::wstring& family, std::vector<std::wstring>* folders) {
    HKEY raw = nullptr;
    if (::RegOpenKeyExW(host.registryRoot, (host.registryBase + vf::kPackageRepositoryKey).c_str(), 0,
                        KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE, &raw) != ERROR_SUCCESS)
        return;
    UniqueRegKey packages(raw);
    for (DWORD index = 0;; ++index) {
        wchar_t name[256];
        DWORD units = 256;
        LONG result = ::RegEnumKeyExW(packages.get(), index, name, &units, nullptr, nullptr, nullptr, nullptr);
        if (result == ERROR_MORE_DATA)
            continue; // no package name is that long
        if (result != ERROR_SUCCESS)
            break;
        std::wstring fullName(name, units);
        if (!InFamily(fullName, family))
            continue;
        AddUnique(folders, ReadPathValue(host, 0, std::wstring(vf::kPackageRepositoryKey) + L"\\" + fullName,
                                         vf::kPackagePathValue));
    }
}

} // namespace

Host SystemHost() {
    Host host;
    host.shellFolder = SystemShellFolder;
#ifdef _WIN64
    host.twoRegistryViews = true;
#else
    BOOL wow64 = FALSE;
    host.twoRegistryViews = ::IsWow64Process(::GetCurrentProcess(), &wow64) && wow64;
#endif
    if (HMODULE kernel = ::GetModuleHandleW(L"kernel32.dll")) {
        host.packagesByFamily = reinterpret_cast<GetPackagesByPackageFamilyFn>(
            reinterpret_cast<void*>(::GetProcAddress(kernel, "GetPackagesByPackageFamily")));
        host.packagePath = reinterpret_cast<GetPackagePathByFullNameFn>(
            reinterpret_cast<void*>(::GetProcAddress(kernel, "GetPackagePathByFullName")));
    }
    return host;
}

std::vector<std::wstring> PackageFolders(const Host& host, const std::wstring& family) {
    std::vector<std::wstring> folders;
    for (const std::wstring& fullName : FullNamesByFunction(host, family))
        AddUnique(&folders, PathByFullName(host, fullName));
    AddRepositoryFolders(host, family, &folders);
    return folders;
}

bool StorePackageInstalled(const Host& host) {
    for (const vf::StorePackage& package : vf::kStorePackages) {
        if (!PackageFolders(host, package.family).empty())
            return true;
    }
    return false;
}

std::vector<Candidate> Search(const Host& host) {
    std::vector<Candidate> candidates;
    const std::wstring common = CommonFilesFolder(host);
    candidates.push_back(CommonFilesRule(common));
    const std::vector<std::wstring> installDirs = InstallDirs(host);
    AddRegistryCandidates(host, installDirs, &candidates);
    candidates.push_back(CommonFilesNewer(common, installDirs));
    AddPackageCandidates(host, installDirs, &candidates);
    return candidates;
}

const Candidate* FirstUsable(const std::vector<Candidate>& candidates) {
    for (const Candidate& candidate : candidates) {
        if (candidate.status == Status::Usable)
            return &candidate;
    }
    return nullptr;
}

int ImageBits(const std::wstring& path) {
    UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        return 0;
    unsigned char dos[64] = {};
    DWORD got = 0;
    if (!::ReadFile(file.get(), dos, sizeof dos, &got, nullptr) || got != sizeof dos || dos[0] != 'M' || dos[1] != 'Z')
        return 0;
    uint32_t header = 0;
    std::memcpy(&header, dos + 0x3C, 4);
    if (header < sizeof dos || header > (1u << 24))
        return 0;
    LARGE_INTEGER at;
    at.QuadPart = header;
    unsigned char pe[6] = {};
    if (!::SetFilePointerEx(file.get(), at, nullptr, FILE_BEGIN) ||
        !::ReadFile(file.get(), pe, sizeof pe, &got, nullptr) || got != sizeof pe || std::memcmp(pe, "PE\0\0", 4) != 0)
        return 0;
    const unsigned machine = pe[4] | (pe[5] << 8);
    if (machine == IMAGE_FILE_MACHINE_I386)
        return 32;
    if (machine == IMAGE_FILE_MACHINE_AMD64)
        return 64;
    return 0;
}

std::wstring FileVersion(const std::wstring& path) {
    DWORD ignored = 0;
    DWORD size = ::GetFileVersionInfoSizeW(path.c_str(), &ignored);
    if (size == 0)
        return std::wstring();
    std::vector<unsigned char> data(size);
    if (!::GetFileVersionInfoW(path.c_str(), 0, size, data.data()))
        return std::wstring();
    void* block = nullptr;
    UINT length = 0;
    if (!::VerQueryValueW(data.data(), L"\\", &block, &length) || !block || length < sizeof(VS_FIXEDFILEINFO))
        return std::wstring();
    VS_FIXEDFILEINFO info;
    std::memcpy(&info, block, sizeof info);
    if (info.dwSignature != 0xFEEF04BD)
        return std::wstring();
    return std::to_wstring(HIWORD(info.dwFileVersionMS)) + L"." + std::to_wstring(LOWORD(info.dwFileVersionMS)) + L"." +
           std::to_wstring(HIWORD(info.dwFileVersionLS)) + L"." + std::to_wstring(LOWORD(info.dwFileVersionLS));
}

const wchar_t* StatusName(Status status) {
    switch (status) {
    case Status::Usable:
        return L"found";
    case Status::Missing:
        return L"missing";
    case Status::PublishedButAbsent:
        return L"published file missing";
    case Status::WrongBitness:
        return L"wrong bitness";
    case Status::NoValueLibrary:
        return L"no CoreFoundation.dll";
    }
    return L"?";
}

} // namespace vendor_search
