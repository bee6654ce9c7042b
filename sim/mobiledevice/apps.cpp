// Applications and profiles: the lookup, install, upgrade and uninstall of
// application archives (.ipa), and provisioning profiles.
#include "platform/file.h"
#include "platform/text.h"
#include "sim/farm/templates.h"
#include "sim/mobiledevice/cf_bridge.h"
#include "sim/mobiledevice/exports.h"
#include "sim/mobiledevice/simulator.h"

#include <unzip.h>
// After unzip.h, which brings what it needs.
#include <iowin32.h>

#include <cstring>
#include <random>

using namespace simfarm;
using namespace mdsim;

namespace {

const char kApplicationsFolder[] = "/private/var/mobile/Applications/";
const uint64_t kMaxPackageBytes = 1ull << 30;
const size_t kMaxInfoPlist = 4 * 1024 * 1024;
const size_t kMaxProfile = 1024 * 1024;
const int kMaxEntries = 100000;

// ---- file URLs --------------------------------------------------------------

// The local path of a "file:" URL, read the way the vendor's library reads
// it: through the value library's file-system path, so escapes are decoded
// and a "#" or "?" ends the path ("file:///C:/dir/app.ipa",
// "file://localhost/C:/..."; a host other than localhost names a share,
// "file://server/share/..." -> "\\server\share\...").
bool PathFromUrl(CFURLRef url, std::wstring* path) {
    if (!url || CFGetTypeID(url) != CFURLGetTypeID())
        return false;
    std::string scheme, host, local;
    CFStringRef schemeText = CFURLCopyScheme(url);
    const bool isFile = schemeText && StringFromCf(schemeText, &scheme) && _stricmp(scheme.c_str(), "file") == 0;
    if (schemeText)
        CFRelease(schemeText);
    if (!isFile)
        return false;
    CFStringRef hostText = CFURLCopyHostName(url);
    if (hostText) {
        StringFromCf(hostText, &host);
        CFRelease(hostText);
    }
    CFStringRef pathText = CFURLCopyFileSystemPath(url, kCFURLWindowsPathStyle);
    if (!pathText)
        return false;
    const bool ok = StringFromCf(pathText, &local);
    CFRelease(pathText);
    if (!ok || local.empty() || local.find('\0') != std::string::npos)
        return false;
    if (!host.empty() && _stricmp(host.c_str(), "localhost") != 0)
        local = "\\\\" + host + (local[0] == '\\' ? "" : "\\") + local;
    *path = Utf8ToWide(local.c_str());
    return !path->empty();
}

// Keeps the text of the URL a request named, exactly as the caller made it,
// in the description (LastPackageURL), so that tests can see what reached
// the device.
void RecordPackageUrl(const Farm& farm, const std::string& udid, CFURLRef url) {
    std::string text;
    if (!StringFromCf(CFURLGetString(url), &text))
        return;
    std::string error;
    farm.Update(
        udid,
        [&text](Value& d, std::string*) {
            d.Set(key::kLastPackageURL, Value::String(text));
            return true;
        },
        &error);
}

// ---- archives -----------------------------------------------------------------

struct ZipCloser {
    void operator()(void* zip) const { unzClose(zip); }
};
using ZipHolder = std::unique_ptr<void, ZipCloser>;

ZipHolder OpenZip(const std::wstring& path) {
    zlib_filefunc64_def io;
    fill_win32_filefunc64W(&io);
    return ZipHolder(unzOpen2_64(path.c_str(), &io));
}

bool CurrentName(unzFile zip, std::string* name, uint64_t* size) {
    unz_file_info64 info;
    char buffer[1024];
    if (unzGetCurrentFileInfo64(zip, &info, buffer, sizeof buffer, nullptr, 0, nullptr, 0) != UNZ_OK ||
        info.size_filename >= sizeof buffer)
        return false;
    name->assign(buffer, info.size_filename);
    *size = info.uncompressed_size;
    return true;
}

// Reads the current entry, at most `limit` bytes, calling `sink` per chunk.
template <typename Sink> bool ReadEntry(unzFile zip, uint64_t limit, Sink&& sink) {
    if (unzOpenCurrentFile(zip) != UNZ_OK)
        return false;
    char buffer[65536];
    uint64_t total = 0;
    bool ok = true;
    for (;;) {
        int got = unzReadCurrentFile(zip, buffer, sizeof buffer);
        if (got < 0) {
            ok = false;
            break;
        }
        if (got == 0)
            break;
        total += static_cast<uint64_t>(got);
        if (total > limit || !sink(buffer, static_cast<unsigned>(got))) {
            ok = false;
            break;
        }
    }
    return unzCloseCurrentFile(zip) == UNZ_OK && ok;
}

// "Payload/Name.app/Info.plist" -> "Name.app".
bool IsAppInfoPlist(const std::string& name, std::string* appFolder) {
    const std::string prefix = "Payload/", suffix = "/Info.plist";
    if (name.size() <= prefix.size() + suffix.size() || name.compare(0, prefix.size(), prefix) != 0 ||
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0)
        return false;
    std::string folder = name.substr(prefix.size(), name.size() - prefix.size() - suffix.size());
    if (folder.find('/') != std::string::npos || folder.size() <= 4 ||
        _stricmp(folder.c_str() + folder.size() - 4, ".app") != 0 || !IsStorableName(Utf8ToWide(folder.c_str())))
        return false;
    *appFolder = folder;
    return true;
}

struct Package {
    std::wstring path;
    std::string appFolder; // "Name.app"
    Value info;            // its Info.plist
    std::string bundleId;
};

bool ReadPackage(const std::wstring& path, Package* out) {
    ZipHolder zip = OpenZip(path);
    if (!zip)
        return false;
    int entries = 0;
    for (int r = unzGoToFirstFile(zip.get()); r == UNZ_OK && entries < kMaxEntries;
         r = unzGoToNextFile(zip.get()), ++entries) {
        std::string name, folder;
        uint64_t size = 0;
        if (!CurrentName(zip.get(), &name, &size) || !IsAppInfoPlist(name, &folder))
            continue;
        std::string bytes;
        if (!ReadEntry(zip.get(), kMaxInfoPlist, [&bytes](const char* data, unsigned n) {
                bytes.append(data, n);
                return true;
            }))
            return false;
        CfHolder data(
            CFDataCreate(nullptr, reinterpret_cast<const uint8_t*>(bytes.data()), static_cast<CFIndex>(bytes.size())));
        CfHolder plist(
            data ? CFPropertyListCreateWithData(nullptr, static_cast<CFDataRef>(data.get()), 0, nullptr, nullptr)
                 : nullptr);
        Value info;
        if (!plist || !ValueFromCf(plist.get(), &info) || !info.is(Value::Kind::Dict))
            return false;
        std::string id = info.GetString("CFBundleIdentifier");
        if (id.empty())
            return false;
        out->path = path;
        out->appFolder = folder;
        out->info = std::move(info);
        out->bundleId = id;
        return true;
    }
    return false;
}

bool SafeRelativePath(const std::string& relative) {
    size_t start = 0;
    while (start < relative.size()) {
        size_t end = relative.find('/', start);
        if (end == std::string::npos)
            end = relative.size();
        std::string part = relative.substr(start, end - start);
        if (!IsStorableName(Utf8ToWide(part.c_str())))
            return false;
        start = end + 1;
    }
    return true;
}

// Copies Payload/<app>/... of the archive to the device folder `target`.
bool ExtractApp(const Package& package, const DeviceFs& files, const std::string& target) {
    ZipHolder zip = OpenZip(package.path);
    if (!zip || files.MakeFolder(target) != kAfcSuccess)
        return false;
    const std::string prefix = "Payload/" + package.appFolder + "/";
    uint64_t total = 0;
    int entries = 0;
    for (int r = unzGoToFirstFile(zip.get()); r == UNZ_OK; r = unzGoToNextFile(zip.get())) {
        if (++entries > kMaxEntries)
            return false;
        std::string name;
        uint64_t size = 0;
        if (!CurrentName(zip.get(), &name, &size))
            return false;
        if (name.compare(0, prefix.size(), prefix) != 0 || name.size() == prefix.size())
            continue;
        std::string relative = name.substr(prefix.size());
        bool folder = relative.back() == '/';
        if (folder)
            relative.pop_back();
        if (!SafeRelativePath(relative))
            return false;
        // Parent folders first: archives need not list them.
        for (size_t slash = relative.find('/'); slash != std::string::npos; slash = relative.find('/', slash + 1)) {
            int status = files.MakeFolder(target + "/" + relative.substr(0, slash));
            if (status != kAfcSuccess)
                return false;
        }
        if (folder) {
            if (files.MakeFolder(target + "/" + relative) != kAfcSuccess)
                return false;
            continue;
        }
        UniqueHandle out;
        if (files.OpenFile(target + "/" + relative, kModeWriteTruncate, &out, nullptr) != kAfcSuccess)
            return false;
        bool ok = ReadEntry(zip.get(), kMaxPackageBytes - total, [&](const char* data, unsigned n) {
            DWORD written = 0;
            total += n;
            return ::WriteFile(out.get(), data, n, &written, nullptr) && written == n;
        });
        if (!ok)
            return false;
    }
    return true;
}

std::string MakeContainerId() {
    static std::mutex lock;
    static std::mt19937_64 generator{std::random_device{}() ^ ::GetTickCount()};
    std::lock_guard<std::mutex> guard(lock);
    static const char digits[] = "0123456789ABCDEF";
    std::string id;
    for (int i = 0; i < 32; ++i) {
        if (i == 8 || i == 12 || i == 16 || i == 20)
            id += '-';
        id += digits[generator() & 15];
    }
    return id;
}

void RemoveDeviceTree(const DeviceFs& files, const std::string& path) {
    Location where;
    if (files.Resolve(path, false, &where) == kAfcSuccess && where.kind == EntryKind::Folder && !where.name.empty())
        RemoveLocalTree(files.HostPath(where));
}

// ---- progress ------------------------------------------------------------------

void Report(am_device_progress_callback callback, void* context, const char* status, int percent) {
    if (!callback)
        return;
    CfHolder info(
        CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
    if (!info)
        return;
    CFMutableDictionaryRef dict = static_cast<CFMutableDictionaryRef>(const_cast<void*>(info.get()));
    CfHolder statusKey(CreateCfString("Status")), statusText(CreateCfString(status));
    CFDictionarySetValue(dict, statusKey.get(), statusText.get());
    if (percent >= 0) {
        int32_t value = percent;
        CfHolder percentKey(CreateCfString("PercentComplete"));
        CfHolder number(CFNumberCreate(nullptr, kCFNumberSInt32Type, &value));
        CFDictionarySetValue(dict, percentKey.get(), number.get());
    }
    try {
        callback(static_cast<CFDictionaryRef>(info.get()), context);
    } catch (...) {
    }
}

struct Step {
    const char* status;
    int percent;
};

const Step kInstallSteps[] = {
    {"CreatingStagingDirectory", 5}, {"ExtractingPackage", 15},        {"InspectingPackage", 20},
    {"TakingInstallLock", 20},       {"PreflightingApplication", 30},  {"VerifyingApplication", 40},
    {"CreatingContainer", 50},       {"InstallingApplication", 60},    {"PostflightingApplication", 70},
    {"SandboxingApplication", 80},   {"GeneratingApplicationMap", 90}, {"Complete", 100},
};

// ---- install -------------------------------------------------------------------

int Install(bool upgrade, am_device* device, CFURLRef url, am_device_progress_callback callback, void* context) {
    std::shared_ptr<DeviceHandle> handle;
    DeviceState state;
    int status = CheckSession(device, &handle, &state);
    if (status != kAmdSuccess)
        return status;
    if (state.Fault(Fault::Install))
        return kAmdInstallFailedError;
    std::wstring path;
    Package package;
    if (!PathFromUrl(url, &path))
        return kAmdInvalidArgumentError;
    RecordPackageUrl(handle->view->farm(), handle->udid, url);
    if (!ReadPackage(path, &package))
        return kAmdInstallFailedError;
    const Farm& farm = handle->view->farm();
    Value description;
    if (!farm.Load(handle->udid, &description))
        return kAmdUndefinedError;
    const Value* existing = description.SubDict(key::kApplications).Find(package.bundleId);
    if (upgrade && !existing)
        return kAmdApplicationNotInstalledError;
    if (existing && existing->GetString("ApplicationType") != "User")
        return kAmdInstallFailedError; // an application of the system stays as it is

    DeviceFs files = farm.Files(handle->udid);
    std::string container = existing ? existing->GetString("Container") : std::string();
    bool newContainer = container.compare(0, std::strlen(kApplicationsFolder), kApplicationsFolder) != 0;
    if (newContainer)
        container = kApplicationsFolder + MakeContainerId();
    std::string staging = container + "/" + package.appFolder + ".installing";
    auto fail = [&] {
        RemoveDeviceTree(files, newContainer ? container : staging);
        return static_cast<int>(kAmdInstallFailedError);
    };
    size_t step = 0;
    Report(callback, context, kInstallSteps[step].status, kInstallSteps[step].percent);
    ++step;
    Report(callback, context, kInstallSteps[step].status, kInstallSteps[step].percent);
    ++step;
    if (files.MakeFolder(container) != kAfcSuccess || !ExtractApp(package, files, staging))
        return fail();
    while (std::string(kInstallSteps[step].status) != "InstallingApplication") {
        Report(callback, context, kInstallSteps[step].status, kInstallSteps[step].percent);
        ++step;
    }
    for (const char* sub : {"/Documents", "/Library", "/tmp"}) {
        if (files.MakeFolder(container + sub) != kAfcSuccess)
            return fail();
    }
    std::string oldPath = existing ? existing->GetString("Path") : std::string();
    if (oldPath.size() > container.size() + 1 && oldPath.compare(0, container.size() + 1, container + "/") == 0 &&
        oldPath.find('/', container.size() + 1) == std::string::npos)
        RemoveDeviceTree(files, oldPath);
    std::string appPath = container + "/" + package.appFolder;
    RemoveDeviceTree(files, appPath);
    if (files.Rename(staging, appPath) != kAfcSuccess)
        return fail();

    Value entry = package.info;
    entry.Set("ApplicationType", Value::String("User"));
    entry.Set("Container", Value::String(container));
    entry.Set("Path", Value::String(appPath));
    while (std::string(kInstallSteps[step].status) != "GeneratingApplicationMap") {
        Report(callback, context, kInstallSteps[step].status, kInstallSteps[step].percent);
        ++step;
    }
    std::string error;
    bool stored = farm.Update(
        handle->udid,
        [&](Value& d, std::string*) {
            d.SubDict(key::kApplications).Set(package.bundleId, entry);
            return true;
        },
        &error);
    if (!stored)
        return fail();
    UpdateInstallationList(files, package.bundleId, &entry);
    for (; step < std::size(kInstallSteps); ++step)
        Report(callback, context, kInstallSteps[step].status, kInstallSteps[step].percent);
    return kAmdSuccess;
}

int Uninstall(am_device* device, CFStringRef bundleId, am_device_progress_callback callback, void* context) {
    std::shared_ptr<DeviceHandle> handle;
    DeviceState state;
    int status = CheckSession(device, &handle, &state);
    if (status != kAmdSuccess)
        return status;
    std::string id;
    if (!bundleId || !StringFromCf(bundleId, &id) || id.empty())
        return kAmdInvalidArgumentError;
    if (state.Fault(Fault::Install))
        return kAmdInstallFailedError;
    const Farm& farm = handle->view->farm();
    Value description;
    if (!farm.Load(handle->udid, &description))
        return kAmdUndefinedError;
    const Value* existing = description.SubDict(key::kApplications).Find(id);
    if (!existing)
        return kAmdApplicationNotInstalledError;
    if (existing->GetString("ApplicationType") != "User")
        return kAmdInstallFailedError;
    Report(callback, context, "RemovingApplication", -1);
    DeviceFs files = farm.Files(handle->udid);
    std::string container = existing->GetString("Container");
    size_t prefix = std::strlen(kApplicationsFolder);
    if (container.size() > prefix && container.compare(0, prefix, kApplicationsFolder) == 0 &&
        container.find('/', prefix) == std::string::npos)
        RemoveDeviceTree(files, container);
    Report(callback, context, "GeneratingApplicationMap", -1);
    std::string error;
    if (!farm.Update(
            handle->udid,
            [&](Value& d, std::string*) {
                d.SubDict(key::kApplications).Remove(id);
                return true;
            },
            &error))
        return kAmdUndefinedError;
    UpdateInstallationList(files, id, nullptr);
    Report(callback, context, "Complete", -1);
    return kAmdSuccess;
}

// The property list inside a signed profile, when there is one.
bool ProfileFields(const std::string& bytes, Value* fields) {
    size_t start = bytes.find("<?xml");
    size_t end = bytes.find("</plist>", start == std::string::npos ? 0 : start);
    if (start == std::string::npos || end == std::string::npos)
        return false;
    return ReadXmlPlist(bytes.substr(start, end + 8 - start), fields) && fields->is(Value::Kind::Dict);
}

} // namespace

extern "C" int __cdecl AMDeviceLookupApplications(am_device* device, CFDictionaryRef options, CFDictionaryRef* apps) {
    return Guarded<int>(kAmdUndefinedError, [&] {
        std::shared_ptr<DeviceHandle> handle;
        DeviceState state;
        int status = CheckSession(device, &handle, &state);
        if (status != kAmdSuccess)
            return status;
        if (!apps)
            return static_cast<int>(kAmdInvalidArgumentError);
        if (state.Fault(Fault::Lookup))
            return static_cast<int>(kAmdPermissionError);
        Value requested;
        if (options && !ValueFromCf(options, &requested))
            return static_cast<int>(kAmdInvalidArgumentError);
        if (!state.description)
            return static_cast<int>(kAmdUndefinedError);
        const Value& description = *state.description;
        std::string type = requested.is(Value::Kind::Dict) ? requested.GetString("ApplicationType", "Any") : "Any";
        const Value* attributes = requested.is(Value::Kind::Dict) ? requested.Find("ReturnAttributes") : nullptr;
        Value result = Value::Dict();
        const Value* installed = description.Find(key::kApplications);
        static const Value kNone = Value::Dict();
        if (!installed || !installed->is(Value::Kind::Dict))
            installed = &kNone;
        for (const Value::Entry& app : installed->entries()) {
            if (type != "Any" && app.second.GetString("ApplicationType") != type)
                continue;
            if (!attributes || !attributes->is(Value::Kind::Array)) {
                result.Set(app.first, app.second);
                continue;
            }
            Value chosen = Value::Dict();
            for (const Value& name : attributes->items()) {
                if (const Value* v = name.is(Value::Kind::String) ? app.second.Find(name.text()) : nullptr)
                    chosen.Set(name.text(), *v);
            }
            result.Set(app.first, std::move(chosen));
        }
        CFTypeRef answer = CreateCfValue(result);
        if (!answer)
            return static_cast<int>(kAmdNoResourcesError);
        *apps = static_cast<CFDictionaryRef>(answer);
        return static_cast<int>(kAmdSuccess);
    });
}

extern "C" int __cdecl AMDeviceSecureInstallApplication(int zero, am_device* device, CFURLRef url,
                                                        CFDictionaryRef options, am_device_progress_callback callback,
                                                        void* context) {
    return Guarded<int>(kAmdUndefinedError, [&] { return Install(false, device, url, callback, context); });
}

extern "C" int __cdecl AMDeviceSecureUpgradeApplication(int zero, am_device* device, CFURLRef url,
                                                        CFDictionaryRef options, am_device_progress_callback callback,
                                                        void* context) {
    return Guarded<int>(kAmdUndefinedError, [&] { return Install(true, device, url, callback, context); });
}

extern "C" int __cdecl AMDeviceSecureUninstallApplication(int zero, am_device* device, CFStringRef bundleId,
                                                          CFDictionaryRef options, am_device_progress_callback callback,
                                                          void* context) {
    return Guarded<int>(kAmdUndefinedError, [&] { return Uninstall(device, bundleId, callback, context); });
}

extern "C" int __cdecl AMDeviceInstallProvisioningProfile(am_device* device, CFURLRef profileUrl) {
    return Guarded<int>(kAmdUndefinedError, [&] {
        std::shared_ptr<DeviceHandle> handle;
        DeviceState state;
        int status = CheckSession(device, &handle, &state);
        if (status != kAmdSuccess)
            return status;
        std::wstring path;
        if (!PathFromUrl(profileUrl, &path))
            return static_cast<int>(kAmdInvalidArgumentError);
        RecordPackageUrl(handle->view->farm(), handle->udid, profileUrl);
        std::string bytes;
        UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                        OPEN_EXISTING, 0, nullptr));
        LARGE_INTEGER size;
        if (!file || !::GetFileSizeEx(file.get(), &size) || size.QuadPart <= 0 ||
            static_cast<uint64_t>(size.QuadPart) > kMaxProfile)
            return static_cast<int>(kAmdNotFoundError);
        bytes.resize(static_cast<size_t>(size.QuadPart));
        DWORD got = 0;
        if (!::ReadFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &got, nullptr) ||
            got != bytes.size())
            return static_cast<int>(kAmdReadError);
        Value fields;
        Value profile = Value::Dict();
        std::wstring fileName = path.substr(path.find_last_of(L"\\/") + 1);
        bool parsed = ProfileFields(bytes, &fields);
        std::string uuid = parsed ? fields.GetString("UUID") : std::string();
        profile.Set("UUID", Value::String(uuid.empty() ? MakeContainerId() : uuid));
        profile.Set("Name", Value::String(parsed && !fields.GetString("Name").empty() ? fields.GetString("Name")
                                                                                      : WideToUtf8(fileName.c_str())));
        profile.Set("Data", Value::Data(bytes));
        std::string error;
        bool stored = handle->view->farm().Update(
            handle->udid,
            [&profile](Value& d, std::string*) {
                Value& list = d[key::kProvisioningProfiles];
                if (!list.is(Value::Kind::Array))
                    list = Value::Array();
                auto& items = list.items();
                for (auto it = items.begin(); it != items.end(); ++it) {
                    if (it->GetString("UUID") == profile.GetString("UUID")) {
                        items.erase(it);
                        break;
                    }
                }
                items.push_back(profile);
                return true;
            },
            &error);
        return static_cast<int>(stored ? kAmdSuccess : kAmdUndefinedError);
    });
}
