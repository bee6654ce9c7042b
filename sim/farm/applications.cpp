#include "sim/farm/applications.h"

#include "platform/file.h"
#include "platform/text.h"
#include "sim/farm/status.h"
#include "sim/farm/templates.h"

#include <unzip.h>
// After unzip.h, which brings what it needs.
#include <iowin32.h>

#include <cstring>
#include <memory>
#include <mutex>
#include <random>

namespace simfarm {

namespace {

const char kApplicationsFolder[] = "/private/var/mobile/Applications/";
const uint64_t kMaxPackageBytes = 1ull << 30;
const size_t kMaxInfoPlist = 4 * 1024 * 1024;
const int kMaxEntries = 100000;

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
    std::vector<char> buffer(65536);
    uint64_t total = 0;
    bool ok = true;
    for (;;) {
        int got = unzReadCurrentFile(zip, buffer.data(), static_cast<unsigned>(buffer.size()));
        if (got < 0) {
            ok = false;
            break;
        }
        if (got == 0)
            break;
        total += static_cast<uint64_t>(got);
        if (total > limit || !sink(buffer.data(), static_cast<unsigned>(got))) {
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

bool ReadPackage(const std::wstring& path, const PlistParser& parse, Package* out) {
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
        Value info;
        if (!parse(bytes, &info) || !info.is(Value::Kind::Dict))
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

void RemoveDeviceTree(const DeviceFs& files, const std::string& path) {
    Location where;
    if (files.Resolve(path, false, &where) == kAfcSuccess && where.kind == EntryKind::Folder && !where.name.empty())
        RemoveLocalTree(files.HostPath(where));
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

// Reports the steps from `*step` up to (not including) the one named `until`.
void ReportUntil(const Progress& progress, size_t* step, const char* until) {
    while (*step < std::size(kInstallSteps) && (!until || std::strcmp(kInstallSteps[*step].status, until) != 0)) {
        if (progress)
            progress(kInstallSteps[*step].status, kInstallSteps[*step].percent);
        ++*step;
    }
}

void Report(const Progress& progress, const char* status) {
    if (progress)
        progress(status, -1);
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

const char* AppResultText(AppResult result) {
    switch (result) {
    case AppResult::Done:
        return "done";
    case AppResult::NoDevice:
        return "the device's description could not be read or stored";
    case AppResult::BadPackage:
        return "not a readable application archive";
    case AppResult::NotInstalled:
        return "the application is not installed";
    case AppResult::SystemApp:
        return "an application of the system cannot be replaced or removed";
    case AppResult::Failed:
        return "the application's files could not be written";
    }
    return "unknown";
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

AppResult InstallPackage(const Farm& farm, const std::string& udid, const std::wstring& packagePath, bool upgrade,
                         const PlistParser& parse, const Progress& progress, std::string* bundleId) {
    Package package;
    if (!ReadPackage(packagePath, parse, &package))
        return AppResult::BadPackage;
    Value description;
    if (!farm.Load(udid, &description))
        return AppResult::NoDevice;
    const Value* existing = description.SubDict(key::kApplications).Find(package.bundleId);
    if (upgrade && !existing)
        return AppResult::NotInstalled;
    if (existing && existing->GetString("ApplicationType") != "User")
        return AppResult::SystemApp;

    DeviceFs files = farm.Files(udid);
    std::string container = existing ? existing->GetString("Container") : std::string();
    bool newContainer = container.compare(0, std::strlen(kApplicationsFolder), kApplicationsFolder) != 0;
    if (newContainer)
        container = kApplicationsFolder + MakeContainerId();
    std::string staging = container + "/" + package.appFolder + ".installing";
    auto fail = [&](AppResult result) {
        RemoveDeviceTree(files, newContainer ? container : staging);
        return result;
    };
    size_t step = 0;
    ReportUntil(progress, &step, "InspectingPackage");
    if (files.MakeFolder(container) != kAfcSuccess || !ExtractApp(package, files, staging))
        return fail(AppResult::Failed);
    ReportUntil(progress, &step, "InstallingApplication");
    for (const char* sub : {"/Documents", "/Library", "/tmp"}) {
        if (files.MakeFolder(container + sub) != kAfcSuccess)
            return fail(AppResult::Failed);
    }
    std::string oldPath = existing ? existing->GetString("Path") : std::string();
    if (oldPath.size() > container.size() + 1 && oldPath.compare(0, container.size() + 1, container + "/") == 0 &&
        oldPath.find('/', container.size() + 1) == std::string::npos)
        RemoveDeviceTree(files, oldPath);
    std::string appPath = container + "/" + package.appFolder;
    RemoveDeviceTree(files, appPath);
    if (files.Rename(staging, appPath) != kAfcSuccess)
        return fail(AppResult::Failed);

    Value entry = package.info;
    entry.Set("ApplicationType", Value::String("User"));
    entry.Set("Container", Value::String(container));
    entry.Set("Path", Value::String(appPath));
    ReportUntil(progress, &step, "GeneratingApplicationMap");
    std::string error;
    bool stored = farm.Update(
        udid,
        [&](Value& d, std::string*) {
            d.SubDict(key::kApplications).Set(package.bundleId, entry);
            return true;
        },
        &error);
    if (!stored)
        return fail(AppResult::NoDevice);
    UpdateInstallationList(files, package.bundleId, &entry);
    ReportUntil(progress, &step, nullptr);
    if (bundleId)
        *bundleId = package.bundleId;
    return AppResult::Done;
}

AppResult UninstallApplication(const Farm& farm, const std::string& udid, const std::string& id,
                               const Progress& progress) {
    Value description;
    if (!farm.Load(udid, &description))
        return AppResult::NoDevice;
    const Value* existing = description.SubDict(key::kApplications).Find(id);
    if (!existing)
        return AppResult::NotInstalled;
    if (existing->GetString("ApplicationType") != "User")
        return AppResult::SystemApp;
    Report(progress, "RemovingApplication");
    DeviceFs files = farm.Files(udid);
    std::string container = existing->GetString("Container");
    size_t prefix = std::strlen(kApplicationsFolder);
    if (container.size() > prefix && container.compare(0, prefix, kApplicationsFolder) == 0 &&
        container.find('/', prefix) == std::string::npos)
        RemoveDeviceTree(files, container);
    Report(progress, "GeneratingApplicationMap");
    std::string error;
    if (!farm.Update(
            udid,
            [&](Value& d, std::string*) {
                d.SubDict(key::kApplications).Remove(id);
                return true;
            },
            &error))
        return AppResult::NoDevice;
    UpdateInstallationList(files, id, nullptr);
    Report(progress, "Complete");
    return AppResult::Done;
}

Value SelectApplications(const Value& description, const std::string& type, const Value* attributes) {
    Value result = Value::Dict();
    const Value* installed = description.Find(key::kApplications);
    if (!installed || !installed->is(Value::Kind::Dict))
        return result;
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
    return result;
}

bool StoreProfile(const Farm& farm, const std::string& udid, const std::string& bytes, const std::string& fallbackName,
                  std::string* uuidOut, std::string* error) {
    Value fields;
    bool parsed = ProfileFields(bytes, &fields);
    std::string uuid = parsed ? fields.GetString("UUID") : std::string();
    if (uuid.empty())
        uuid = MakeContainerId();
    std::string name = parsed ? fields.GetString("Name") : std::string();
    Value profile = Value::Dict();
    profile.Set("UUID", Value::String(uuid));
    profile.Set("Name", Value::String(name.empty() ? fallbackName : name));
    profile.Set("Data", Value::Data(bytes));
    bool stored = farm.Update(
        udid,
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
        error);
    if (stored && uuidOut)
        *uuidOut = uuid;
    return stored;
}

bool RemoveProfile(const Farm& farm, const std::string& udid, const std::string& uuid, bool* found,
                   std::string* error) {
    bool removed = false;
    bool stored = farm.Update(
        udid,
        [&](Value& d, std::string*) {
            Value* list = d.Find(key::kProvisioningProfiles);
            if (!list || !list->is(Value::Kind::Array))
                return true;
            auto& items = list->items();
            for (auto it = items.begin(); it != items.end(); ++it) {
                if (it->GetString("UUID") == uuid) {
                    items.erase(it);
                    removed = true;
                    break;
                }
            }
            return true;
        },
        error);
    *found = removed;
    return stored;
}

std::vector<std::string> ProfileData(const Value& description) {
    std::vector<std::string> out;
    const Value* list = description.Find(key::kProvisioningProfiles);
    if (!list || !list->is(Value::Kind::Array))
        return out;
    for (const Value& item : list->items()) {
        const Value* data = item.Find("Data");
        if (data && data->is(Value::Kind::Data))
            out.push_back(data->text());
    }
    return out;
}

} // namespace simfarm
