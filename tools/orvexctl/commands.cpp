#include "tools/orvexctl/commands.h"

#include "backend/backend.h"
#include "tools/orvexctl/daily_log.h"
#include "tools/orvexctl/device_api.h"
#include "tools/orvexctl/devices.h"
#include "tools/orvexctl/doctor.h"
#include "tools/orvexctl/json.h"
#include "tools/orvexctl/output.h"
#include "tools/orvexctl/progress.h"
#include "tools/orvexctl/records.h"
#include "tools/orvexctl/transfer_plan.h"
#include "tools/orvexctl/vendor_check.h"

#include <algorithm>
#include <memory>
#include <vector>

namespace orvexctl {

namespace {

// What a command works with.
struct Context {
    const DeviceApi& api;
    const Options& options;
    std::wstring backend; // what the library bound: "vendor", "built-in" or "unknown"
    std::wstring udid;    // the chosen device; empty for commands without one
    LogWatch log;
    DeviceWatch* watch = nullptr;
};

using Handler = int (*)(Context&);

struct Command {
    const wchar_t* name;
    const wchar_t* usage; // arguments after the name
    const wchar_t* summary;
    const wchar_t* details; // help: what it does, output, examples
    size_t arguments;       // exact count
    bool needsDevice;
    Handler run; // null: the command runs without the device library (doctor)
};

// ---- reporting ----------------------------------------------------------

void Complain(const std::wstring& message) { Err().Line(L"orvexctl: " + message); }

// A call of the library returned 0: says which, and shows the lines the
// call added to the daily log, where the library records the reason.
int CallFailed(const Context& c, const std::wstring& what, const wchar_t* exportName,
               const wchar_t* whenNoReason = nullptr) {
    Complain(what + L" failed (" + exportName + L" returned 0)");
    std::vector<std::wstring> lines = c.log.NewLines();
    for (const auto& line : lines)
        Err().Line(L"  log: " + line);
    if (lines.empty())
        Err().Line(std::wstring(L"  ") + (whenNoReason ? whenNoReason : L"the library logged no reason"));
    return kExitFailed;
}

void PrintJson(const JsonWriter& json) { Out().Write(json.Text()); }

// "Field  value" lines, one per field, continuation lines indented.
void PrintFields(const void* record, std::span<const Field> fields) {
    size_t width = 0;
    for (const Field& field : fields)
        width = std::max(width, std::wcslen(field.name));
    std::wstring text;
    for (const Field& field : fields) {
        std::wstring value = FieldText(record, field);
        // Multi-line values (the public keys) keep their lines, indented.
        std::wstring indented;
        for (wchar_t ch : value) {
            if (ch == L'\r')
                continue;
            indented += ch;
            if (ch == L'\n')
                indented += std::wstring(width + 2, L' ');
        }
        while (!indented.empty() && (indented.back() == L' ' || indented.back() == L'\n'))
            indented.pop_back();
        text += (indented.empty() ? std::wstring(field.name)
                                  : PadRight(field.name, static_cast<int>(width) + 2) + indented) +
                L"\n";
    }
    Out().Write(text);
}

// Rows of columns, each padded to its widest cell; the last one is not padded.
void PrintTable(const std::vector<std::vector<std::wstring>>& rows, const std::vector<bool>& rightAligned = {}) {
    std::vector<int> widths;
    for (const auto& row : rows) {
        widths.resize(std::max(widths.size(), row.size()), 0);
        for (size_t i = 0; i < row.size(); ++i)
            widths[i] = std::max(widths[i], DisplayWidth(row[i]));
    }
    std::wstring text;
    for (const auto& row : rows) {
        std::wstring line;
        for (size_t i = 0; i < row.size(); ++i) {
            bool last = i + 1 == row.size();
            bool right = i < rightAligned.size() && rightAligned[i];
            int pad = widths[i] - DisplayWidth(row[i]);
            if (right)
                line += std::wstring(pad, L' ') + row[i];
            else
                line += last ? row[i] : row[i] + std::wstring(pad, L' ');
            if (!last)
                line += L"  ";
        }
        text += line + L"\n";
    }
    Out().Write(text);
}

std::wstring FullLocalPath(const std::wstring& path) {
    DWORD n = ::GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (n == 0)
        return path;
    std::wstring full(n, L'\0');
    n = ::GetFullPathNameW(path.c_str(), n, full.data(), nullptr);
    full.resize(n);
    // The library takes a folder without its trailing separator.
    while (full.size() > 3 && full.back() == L'\\')
        full.pop_back();
    return full;
}

DWORD LocalAttributes(const std::wstring& path) { return ::GetFileAttributesW(path.c_str()); }
bool IsLocalFolder(const std::wstring& path) {
    DWORD a = LocalAttributes(path);
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}
bool IsLocalFileEntry(const std::wstring& path) {
    DWORD a = LocalAttributes(path);
    return a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY);
}

ProgressStyle Style(const Context& c) { return ChooseProgressStyle(c.options.quiet, Err().console()); }

std::wstring Seconds(double seconds) {
    wchar_t text[32];
    std::swprintf(text, 32, L"%.2f s", seconds);
    return text;
}

// ---- device commands --------------------------------------------------------

int RunList(Context& c) {
    std::vector<std::wstring> attached = c.watch->Attached();
    bool allRead = true;
    std::vector<std::unique_ptr<__IOS_DEVICE>> records;
    for (const auto& id : attached) {
        auto info = std::make_unique<__IOS_DEVICE>();
        c.log.Mark();
        if (c.api.GetDeviceInfo(id.c_str(), info.get()) != 1) {
            CallFailed(c, L"reading device " + id, L"GetDeviceInfo");
            allRead = false;
            info.reset();
        }
        records.push_back(std::move(info));
    }
    static const wchar_t* const kColumns[] = {L"UniqueDeviceID", L"DeviceName", L"ProductType", L"ProductVersion",
                                              L"IsJailbroken"};
    if (c.options.json) {
        JsonWriter json;
        json.BeginArray();
        for (size_t i = 0; i < attached.size(); ++i) {
            json.BeginObject();
            if (!records[i]) {
                json.Key(L"UniqueDeviceID");
                json.String(attached[i]);
                json.Key(L"Error");
                json.String(L"GetDeviceInfo failed");
            } else {
                std::vector<Field> fields;
                for (const wchar_t* name : kColumns)
                    fields.push_back(*FindField(kDeviceFields, name));
                WriteFields(json, records[i].get(), fields);
            }
            json.EndObject();
        }
        json.EndArray();
        PrintJson(json);
        return allRead ? kExitSuccess : kExitFailed;
    }
    if (attached.empty()) {
        Err().Line(L"no device is attached");
        return kExitSuccess;
    }
    std::vector<std::vector<std::wstring>> rows = {{L"UDID", L"NAME", L"PRODUCT", L"VERSION", L"JAILBROKEN"}};
    for (size_t i = 0; i < attached.size(); ++i) {
        if (!records[i]) {
            rows.push_back({attached[i], L"?", L"?", L"?", L"?"});
            continue;
        }
        std::vector<std::wstring> row;
        for (const wchar_t* name : kColumns)
            row.push_back(FieldText(records[i].get(), *FindField(kDeviceFields, name)));
        rows.push_back(row);
    }
    PrintTable(rows);
    return allRead ? kExitSuccess : kExitFailed;
}

int RunInfo(Context& c) {
    auto info = std::make_unique<__IOS_DEVICE>();
    c.log.Mark();
    if (c.api.GetDeviceInfo(c.udid.c_str(), info.get()) != 1)
        return CallFailed(c, L"reading the device information", L"GetDeviceInfo");
    if (c.options.json) {
        JsonWriter json;
        json.BeginObject();
        WriteFields(json, info.get(), kDeviceFields);
        json.Key(L"Backend");
        json.String(c.backend);
        json.EndObject();
        PrintJson(json);
    } else {
        PrintFields(info.get(), kDeviceFields);
    }
    return kExitSuccess;
}

int RunBattery(Context& c) {
    __IOS_BATTERY battery{};
    c.log.Mark();
    if (c.api.GetBatteryInfo(c.udid.c_str(), &battery) != 1)
        return CallFailed(c, L"reading the battery state", L"GetBatteryInfo",
                          L"the device did not report its battery domain");
    if (c.options.json) {
        JsonWriter json;
        json.BeginObject();
        WriteFields(json, &battery, kBatteryFields);
        json.EndObject();
        PrintJson(json);
    } else {
        PrintFields(&battery, kBatteryFields);
    }
    return kExitSuccess;
}

int RunRename(Context& c) {
    const std::wstring& name = c.options.arguments[0];
    c.log.Mark();
    if (c.api.RenameDevice(c.udid.c_str(), name.c_str()) != 1)
        return CallFailed(c, L"renaming the device", L"RenameDevice", L"the device refused the name");
    return kExitSuccess;
}

// ---- applications -------------------------------------------------------------

int RunApps(Context& c) {
    __IOS_APP* apps = nullptr;
    unsigned count = 0;
    c.log.Mark();
    if (c.api.GetInstalledApps(c.udid.c_str(), &apps, &count) != 1)
        return CallFailed(c, L"listing the applications", L"GetInstalledApps");
    // The array is the library's until it is given back.
    std::unique_ptr<__IOS_APP, decltype(c.api.ReleaseMemory)> owned(apps, c.api.ReleaseMemory);
    if (c.options.json) {
        JsonWriter json;
        json.BeginArray();
        for (unsigned i = 0; i < count; ++i) {
            json.BeginObject();
            WriteFields(json, &apps[i], kAppFields);
            json.EndObject();
        }
        json.EndArray();
        PrintJson(json);
        return kExitSuccess;
    }
    std::vector<std::vector<std::wstring>> rows = {{L"IDENTIFIER", L"VERSION", L"TYPE", L"NAME"}};
    for (unsigned i = 0; i < count; ++i) {
        const __IOS_APP& app = apps[i];
        rows.push_back({TextField(&app, *FindField(kAppFields, L"Identifier")),
                        TextField(&app, *FindField(kAppFields, L"Version")), app.IsSystemApp ? L"system" : L"user",
                        TextField(&app, *FindField(kAppFields, L"Name"))});
    }
    PrintTable(rows);
    return kExitSuccess;
}

// A local file argument: its full path, or an error when there is no such file.
bool LocalFileArgument(const std::wstring& argument, std::wstring* path) {
    *path = FullLocalPath(argument);
    if (IsLocalFileEntry(*path))
        return true;
    Complain(argument + (IsLocalFolder(*path) ? L" is a folder, not a file" : L": no such file"));
    return false;
}

int RunInstallOrUpgrade(Context& c, bool upgrade) {
    std::wstring path;
    if (!LocalFileArgument(c.options.arguments[0], &path))
        return kExitFailed;
    ProgressReporter progress(ProgressReporter::Kind::Install, Style(c), Err());
    c.log.Mark();
    int result = upgrade ? c.api.UpdateIpa(c.udid.c_str(), path.c_str(), progress.Callback())
                         : c.api.InstallIpa(c.udid.c_str(), path.c_str(), progress.Callback());
    progress.Finish(result == 1 ? (upgrade ? L"upgraded from " : L"installed ") + path : std::wstring());
    if (result != 1)
        return CallFailed(c, upgrade ? L"upgrading" : L"installing", upgrade ? L"UpdateIpa" : L"InstallIpa");
    return kExitSuccess;
}

int RunInstall(Context& c) { return RunInstallOrUpgrade(c, false); }
int RunUpgrade(Context& c) { return RunInstallOrUpgrade(c, true); }

int RunUninstall(Context& c) {
    const std::wstring& bundle = c.options.arguments[0];
    ProgressReporter progress(ProgressReporter::Kind::Uninstall, Style(c), Err());
    c.log.Mark();
    int result = c.api.UninstallIpa(c.udid.c_str(), bundle.c_str(), progress.Callback());
    progress.Finish(result == 1 ? L"uninstalled " + bundle : std::wstring());
    if (result != 1)
        return CallFailed(c, L"uninstalling " + bundle, L"UninstallIpa");
    return kExitSuccess;
}

int RunProfile(Context& c) {
    std::wstring path;
    if (!LocalFileArgument(c.options.arguments[0], &path))
        return kExitFailed;
    c.log.Mark();
    if (c.api.InstallProvisionProfile(c.udid.c_str(), path.c_str()) != 1)
        return CallFailed(c, L"installing the profile", L"InstallProvisionProfile", L"the device refused the profile");
    return kExitSuccess;
}

// ---- files on the device ------------------------------------------------------------

wchar_t TypeLetter(int32_t type) { return type == 0 ? L'd' : type == 2 ? L'l' : L'-'; }

void PrintListing(const __IOS_FILE* files, unsigned count) {
    std::vector<const __IOS_FILE*> sorted;
    for (unsigned i = 0; i < count; ++i)
        sorted.push_back(&files[i]);
    std::sort(sorted.begin(), sorted.end(),
              [](const __IOS_FILE* a, const __IOS_FILE* b) { return std::wcscmp(a->Name, b->Name) < 0; });
    std::vector<std::vector<std::wstring>> rows;
    for (const __IOS_FILE* file : sorted) {
        std::wstring name = TextField(file, *FindField(kFileFields, L"Name"));
        if (file->Type == 2)
            name += L" -> " + TextField(file, *FindField(kFileFields, L"LinkTarget"));
        rows.push_back({std::wstring(1, TypeLetter(file->Type)), std::to_wstring(file->Size),
                        ShortDate(file->ModificationTime), name});
    }
    PrintTable(rows, {false, true, false, false});
}

void PrintFileRecords(const Context& c, const __IOS_FILE* files, unsigned count, bool asArray) {
    if (c.options.json) {
        JsonWriter json;
        if (asArray)
            json.BeginArray();
        for (unsigned i = 0; i < count; ++i) {
            json.BeginObject();
            WriteFields(json, &files[i], kFileFields);
            json.EndObject();
        }
        if (asArray)
            json.EndArray();
        PrintJson(json);
        return;
    }
    if (asArray)
        PrintListing(files, count);
    else
        PrintFields(files, kFileFields);
}

int RunLs(Context& c) {
    const std::wstring& path = c.options.arguments[0];
    __IOS_FILE* files = nullptr;
    unsigned count = 0;
    c.log.Mark();
    if (c.api.GetFilesInDirectory(c.udid.c_str(), path.c_str(), &files, &count) != 1) {
        // Not a folder? Then show the entry itself, as ls does.
        auto entry = std::make_unique<__IOS_FILE>();
        if (c.api.GetFileInfoOnDevice(c.udid.c_str(), path.c_str(), entry.get()) == 1 && entry->Type != 0) {
            PrintFileRecords(c, entry.get(), 1, true);
            return kExitSuccess;
        }
        return CallFailed(c, L"listing " + path, L"GetFilesInDirectory");
    }
    std::unique_ptr<__IOS_FILE, decltype(c.api.ReleaseMemory)> owned(files, c.api.ReleaseMemory);
    PrintFileRecords(c, files, count, true);
    return kExitSuccess;
}

int RunStat(Context& c) {
    const std::wstring& path = c.options.arguments[0];
    auto entry = std::make_unique<__IOS_FILE>();
    c.log.Mark();
    if (c.api.GetFileInfoOnDevice(c.udid.c_str(), path.c_str(), entry.get()) != 1)
        return CallFailed(c, L"reading " + path, L"GetFileInfoOnDevice",
                          L"the device has no such entry, or it cannot be read");
    PrintFileRecords(c, entry.get(), 1, false);
    return kExitSuccess;
}

int RunMkdir(Context& c) {
    const std::wstring& path = c.options.arguments[0];
    c.log.Mark();
    if (c.api.CreateDirectoryOnDevice(c.udid.c_str(), path.c_str()) != 1)
        return CallFailed(c, L"creating " + path, L"CreateDirectoryOnDevice",
                          L"the device refused (is the parent folder there? is the name taken?)");
    return kExitSuccess;
}

int RunMv(Context& c) {
    const std::wstring& from = c.options.arguments[0];
    const std::wstring& to = c.options.arguments[1];
    c.log.Mark();
    if (c.api.RenameDirectoryOrFileOnDevice(c.udid.c_str(), from.c_str(), to.c_str()) != 1)
        return CallFailed(c, L"moving " + from + L" to " + to, L"RenameDirectoryOrFileOnDevice",
                          L"the device refused (is the source there? is the target's folder there?)");
    return kExitSuccess;
}

int RunRm(Context& c) {
    const std::wstring& path = c.options.arguments[0];
    ProgressStyle style = Style(c);
    DevicePlan plan;
    if (style != ProgressStyle::Off)
        PlanDeviceTree(c.api, c.udid, path, &plan); // the total for the bar; without it the count alone shows
    ProgressReporter progress(ProgressReporter::Kind::Delete, style, Err());
    progress.SetTotalEntries(plan.complete ? plan.entries : 0);
    c.log.Mark();
    int result = c.api.DeleteDirectoriesAndFilesOnDevice(c.udid.c_str(), path.c_str(), progress.Callback());
    std::wstring removed = L"removed " + std::to_wstring(progress.entries()) + L" entries";
    progress.Finish(result == 1 ? removed : std::wstring());
    if (result != 1) {
        if (progress.entries())
            Err().Line(L"orvexctl: " + removed + L" before the failure; they stay removed");
        return CallFailed(c, L"removing " + path, L"DeleteDirectoriesAndFilesOnDevice",
                          L"the entry is not there, or the device refused to remove it");
    }
    return kExitSuccess;
}

std::wstring TransferSummary(const wchar_t* verb, const ProgressReporter& progress) {
    const TransferTally& tally = progress.tally();
    size_t files = std::max<size_t>(tally.planned(), tally.files());
    std::wstring summary = std::wstring(verb) + L" " + std::to_wstring(files) +
                           (files == 1 ? L" file, " : L" files, ") + FormatBytes(tally.total()) + L" in " +
                           Seconds(progress.seconds());
    std::wstring rate = progress.Rate();
    return rate.empty() ? summary : summary + L" (" + rate + L")";
}

int RunPush(Context& c) {
    std::wstring local = FullLocalPath(c.options.arguments[0]);
    const std::wstring& folder = c.options.arguments[1];
    if (!IsLocalFolder(local) && !IsLocalFileEntry(local)) {
        Complain(c.options.arguments[0] + L": no such file or folder");
        return kExitFailed;
    }
    ProgressReporter progress(ProgressReporter::Kind::Transfer, Style(c), Err());
    PlanLocalTree(local, &progress.tally());
    c.log.Mark();
    int result =
        c.api.UploadDirectoriesAndFilesToDevice(c.udid.c_str(), local.c_str(), folder.c_str(), progress.Callback());
    progress.Finish(result == 1 ? TransferSummary(L"pushed", progress) : std::wstring());
    if (result != 1)
        return CallFailed(c, L"copying " + local + L" to " + folder, L"UploadDirectoriesAndFilesToDevice",
                          L"the source could not be read");
    return kExitSuccess;
}

int RunPull(Context& c) {
    const std::wstring& path = c.options.arguments[0];
    std::wstring local = FullLocalPath(c.options.arguments[1]);
    if (!IsLocalFolder(local)) {
        Complain(c.options.arguments[1] + L": no such folder");
        return kExitFailed;
    }
    ProgressStyle style = Style(c);
    ProgressReporter progress(ProgressReporter::Kind::Transfer, style, Err());
    if (style != ProgressStyle::Off) {
        DevicePlan plan;
        PlanDeviceTree(c.api, c.udid, path, &plan, &progress.tally());
    }
    c.log.Mark();
    int result =
        c.api.DownloadDirectoriesAndFilesFromDevice(c.udid.c_str(), path.c_str(), local.c_str(), progress.Callback());
    progress.Finish(result == 1 ? TransferSummary(L"pulled", progress) : std::wstring());
    if (result != 1)
        return CallFailed(c, L"copying " + path + L" to " + local, L"DownloadDirectoriesAndFilesFromDevice",
                          L"the device has no such entry, or it cannot be read");
    return kExitSuccess;
}

// ---- archives ------------------------------------------------------------------------

int RunIpaInfo(Context& c) {
    std::wstring path;
    if (!LocalFileArgument(c.options.arguments[0], &path))
        return kExitFailed;
    auto app = std::make_unique<__IOS_APP>();
    c.log.Mark();
    if (c.api.GetAppInfoFromIPA(path.c_str(), app.get()) != 1)
        return CallFailed(c, L"reading " + path, L"GetAppInfoFromIPA");
    if (c.options.json) {
        JsonWriter json;
        json.BeginObject();
        WriteFields(json, app.get(), kAppFields);
        json.EndObject();
        PrintJson(json);
    } else {
        PrintFields(app.get(), kAppFields);
    }
    return kExitSuccess;
}

// ---- the table --------------------------------------------------------------------------

const Command kCommands[] = {
    {L"list", L"[--wait SECONDS]", L"the attached devices",
     L"Lists the attached devices: identifier, name, product type, system version\n"
     L"and whether the device is jailbroken. With --wait, waits up to SECONDS for a\n"
     L"device to be plugged in.\n"
     L"\n"
     L"  --json   an array of objects with UniqueDeviceID, DeviceName, ProductType,\n"
     L"           ProductVersion and IsJailbroken (a boolean)\n"
     L"\n"
     L"Examples:\n"
     L"  orvexctl list\n"
     L"  orvexctl list --wait 30 --json\n",
     0, false, RunList},
    {L"info", L"", L"everything the library reports about the device",
     L"Prints the device information record field by field: lockdown values, storage\n"
     L"figures, the file system's figures, whether the device is jailbroken and the\n"
     L"versions of Cydia, Installous and the companion apps.\n"
     L"\n"
     L"  --json   one object with every field of the record: flags as booleans,\n"
     L"           64-bit figures as exact integers, ProximitySensorCalibration as\n"
     L"           96 hexadecimal digits\n"
     L"\n"
     L"Examples:\n"
     L"  orvexctl info\n"
     L"  orvexctl -u 5f5249a885387b0fe80c6ccb10e51f35eb8bda93 info --json\n",
     0, true, RunInfo},
    {L"battery", L"", L"the battery state",
     L"Prints the charge level and the charging flags.\n"
     L"\n"
     L"Examples:\n"
     L"  orvexctl battery\n"
     L"  orvexctl battery --json\n",
     0, true, RunBattery},
    {L"rename", L"NAME", L"set the device's name",
     L"Gives the device a new name, as shown on the device and in iTunes.\n"
     L"\n"
     L"Examples:\n"
     L"  orvexctl rename \"王小明的 iPhone\"\n",
     1, true, RunRename},
    {L"apps", L"", L"the installed applications",
     L"Lists every application on the device, system and user applications alike.\n"
     L"\n"
     L"  --json   an array of application records (every field)\n"
     L"\n"
     L"Examples:\n"
     L"  orvexctl apps\n"
     L"  orvexctl apps --json\n",
     0, true, RunApps},
    {L"install", L"IPA", L"install an application archive",
     L"Installs the application in the archive IPA (a local .ipa file). The\n"
     L"device's installation steps show as progress.\n"
     L"\n"
     L"Examples:\n"
     L"  orvexctl install Demo.ipa\n"
     L"  orvexctl -q install C:\\Downloads\\Demo.ipa\n",
     1, true, RunInstall},
    {L"upgrade", L"IPA", L"upgrade an installed application from an archive",
     L"Replaces an installed application by the one in IPA, keeping its data.\n"
     L"\n"
     L"Examples:\n"
     L"  orvexctl upgrade Demo-1.1.ipa\n",
     1, true, RunUpgrade},
    {L"uninstall", L"BUNDLE_ID", L"remove an application",
     L"Removes the application with the bundle identifier BUNDLE_ID and its data.\n"
     L"\n"
     L"Examples:\n"
     L"  orvexctl uninstall com.example.demo\n",
     1, true, RunUninstall},
    {L"profile", L"FILE", L"install a provisioning profile",
     L"Installs the provisioning profile FILE (a local .mobileprovision file).\n"
     L"\n"
     L"Examples:\n"
     L"  orvexctl profile Team.mobileprovision\n",
     1, true, RunProfile},
    {L"ls", L"PATH", L"list a device folder",
     L"Lists the device folder PATH: type (d folder, - file, l link), size, time of\n"
     L"the last change (local time) and name. A file is shown by itself.\n"
     L"\n"
     L"  --json   an array of file records in the device's order: Type 0 folder,\n"
     L"           1 file, 2 link; dates in ISO 8601 local time, null when the\n"
     L"           device gave none\n"
     L"\n"
     L"Examples:\n"
     L"  orvexctl ls /\n"
     L"  orvexctl ls /var/mobile/Media --json\n",
     1, true, RunLs},
    {L"stat", L"PATH", L"the attributes of one device entry",
     L"Prints the file record of the device entry PATH.\n"
     L"\n"
     L"Examples:\n"
     L"  orvexctl stat /var/mobile/Media/DCIM\n"
     L"  orvexctl stat /etc --json\n",
     1, true, RunStat},
    {L"mkdir", L"PATH", L"create a device folder",
     L"Creates the folder PATH on the device; its parent must exist.\n"
     L"\n"
     L"Examples:\n"
     L"  orvexctl mkdir /var/mobile/Media/Books\n",
     1, true, RunMkdir},
    {L"mv", L"OLD NEW", L"rename or move a device entry",
     L"Renames the device entry OLD to NEW, which may lie in another folder.\n"
     L"\n"
     L"Examples:\n"
     L"  orvexctl mv /var/mobile/Media/a.txt /var/mobile/Media/Books/a.txt\n",
     2, true, RunMv},
    {L"rm", L"PATH", L"delete a device file or a whole folder tree",
     L"Deletes PATH on the device; a folder goes with everything below it. A\n"
     L"failure stops at the entry that could not be removed; what was removed\n"
     L"before stays removed.\n"
     L"\n"
     L"Examples:\n"
     L"  orvexctl rm /var/mobile/Media/old.txt\n"
     L"  orvexctl rm /var/mobile/Media/Books\n",
     1, true, RunRm},
    {L"push", L"LOCAL DEVICE_FOLDER", L"copy a local file or folder to the device",
     L"Copies the local file or folder LOCAL, with everything below it, into the\n"
     L"existing device folder DEVICE_FOLDER. Device files of the same name are\n"
     L"replaced.\n"
     L"\n"
     L"Examples:\n"
     L"  orvexctl push notes.txt /var/mobile/Media\n"
     L"  orvexctl push C:\\Photos /var/mobile/Media\n",
     2, true, RunPush},
    {L"pull", L"DEVICE_PATH LOCAL_FOLDER", L"copy a device file or folder to this PC",
     L"Copies the device file or folder DEVICE_PATH, with everything below it, into\n"
     L"the existing local folder LOCAL_FOLDER. Local files of the same name are\n"
     L"replaced.\n"
     L"\n"
     L"Examples:\n"
     L"  orvexctl pull /var/mobile/Media/DCIM .\n"
     L"  orvexctl pull /etc/hosts C:\\Backup\n",
     2, true, RunPull},
    {L"ipa-info", L"IPA", L"metadata and icon of an application archive",
     L"Reads an .ipa on this PC (no device needed): identifier, name, version, the\n"
     L"store metadata, and IconFile, the path of the icon converted to a standard\n"
     L"PNG in the icon cache (Documents\\Tevrin\\AppIcons; empty when the archive\n"
     L"has no usable icon).\n"
     L"\n"
     L"  --json   the application record (every field)\n"
     L"\n"
     L"Examples:\n"
     L"  orvexctl ipa-info Demo.ipa\n"
     L"  orvexctl ipa-info Demo.ipa --json\n",
     1, false, RunIpaInfo},
    {L"doctor", L"", L"what vendor software this PC has, and whether devices are seen",
     L"Says what the device library would find, without loading anything and\n"
     L"without a device: each place where the vendor's installers put their\n"
     L"libraries (the common files folders, the paths published in the registry,\n"
     L"the store's packages) with found or missing and why; the one the library\n"
     L"would use; the bitness and file version of each library found, and whether\n"
     L"one of the other bitness was seen; whether the vendor's device multiplexer\n"
     L"answers on 127.0.0.1:27015 (or USBMUXD_SOCKET_ADDRESS) and how many devices\n"
     L"it lists; and one line of advice. Exit status 0 when the library would find\n"
     L"the vendor's libraries, 1 when it would not.\n"
     L"\n"
     L"  --json   one JSON document with all of it\n"
     L"\n"
     L"Examples:\n"
     L"  orvexctl doctor\n"
     L"  orvexctl doctor --json\n",
     0, false, nullptr},
};

const Command* FindCommand(const std::wstring& name) {
    for (const Command& command : kCommands) {
        if (name == command.name)
            return &command;
    }
    return nullptr;
}

std::wstring UsageLine(const Command& command) {
    std::wstring line = std::wstring(L"usage: orvexctl ") + (command.needsDevice ? L"[-u UDID] " : L"") +
                        L"[--json] [--quiet] " + command.name;
    if (*command.usage)
        line += std::wstring(L" ") + command.usage;
    return line;
}

const wchar_t kToolHelpStart[] = L"usage: orvexctl [-u UDID] [--json] [--quiet] [--wait SECONDS] COMMAND [ARGUMENTS]\n"
                                 L"\n"
                                 L"A command-line front end to the device library (OrvexDevice.dll): devices\n"
                                 L"attached by USB, their information, applications and file systems, and\n"
                                 L"application archives on this PC.\n"
                                 L"\n"
                                 L"Commands:\n";

const wchar_t kToolHelpEnd[] = L"\n"
                               L"Options (anywhere before \"--\"):\n"
                               L"  -u, --udid UDID  the device to work on; may be left out when exactly one\n"
                               L"                   device is attached\n"
                               L"  --json           one JSON document on standard output\n"
                               L"  -q, --quiet      no progress on standard error\n"
                               L"  --wait SECONDS   wait up to SECONDS for the device (without -u: for any\n"
                               L"                   device) to be plugged in\n"
                               L"  -h, --help       this help; \"orvexctl help COMMAND\" for a command\n"
                               L"\n"
                               L"Progress of transfers, deletions and installations goes to standard error:\n"
                               L"a bar in a console, plain lines when redirected.\n"
                               L"\n"
                               L"Exit status: 0 success; 1 a call failed (the lines the library wrote to its\n"
                               L"daily log meanwhile are shown), or the device is not attached; 2 bad usage,\n"
                               L"or several devices attached and no -u.\n"
                               L"\n"
                               L"Examples:\n"
                               L"  orvexctl list\n"
                               L"  orvexctl info --json\n"
                               L"  orvexctl -u 5f5249a885387b0fe80c6ccb10e51f35eb8bda93 ls /var/mobile/Media\n"
                               L"  orvexctl push Photos /var/mobile/Media\n";

int UsageError(const std::wstring& message, const Command* command) {
    Complain(message);
    Err().Line(command ? UsageLine(*command) + L"\nTry \"orvexctl help " + command->name + L"\"."
                       : std::wstring(L"Try \"orvexctl --help\"."));
    return kExitUsage;
}

// Binds the vendor libraries for the command's lifetime. Which side the
// library bound is read from the line its loader writes into the daily log
// (the library has no export that says it).
class VendorBinding {
  public:
    explicit VendorBinding(const DeviceApi& api) : m_api(api) {
        LogWatch log;
        log.Mark();
        m_bound = api.LoadDllFunctions() == 1;
        if (m_bound)
            m_backend = BackendNamedIn(log.NewLines());
    }
    ~VendorBinding() {
        if (m_bound)
            m_api.UnloadDllFunctions();
    }
    VendorBinding(const VendorBinding&) = delete;
    VendorBinding& operator=(const VendorBinding&) = delete;
    bool bound() const { return m_bound; }
    const std::wstring& backend() const { return m_backend; }

  private:
    const DeviceApi& m_api;
    bool m_bound = false;
    std::wstring m_backend;
};

// The multiplexer's answer is waited for this long at most.
constexpr unsigned kMultiplexerWait = 1000;

int RunDoctor(const Options& options) {
    const DoctorReport report = Examine(vendor_search::SystemHost(), kMultiplexerWait);
    if (options.json) {
        JsonWriter json;
        WriteDoctorJson(json, report);
        PrintJson(json);
    } else {
        Out().Write(DoctorText(report));
    }
    return DoctorExitCode(report);
}

int RunWithLibrary(const DeviceApi& api, const Options& options, const Command& command) {
    // The library shows what went wrong in a message box; nobody would see
    // it here, so each box is closed at once and its text printed instead.
    std::unique_ptr<MessageBoxCatcher> catcher = std::make_unique<MessageBoxCatcher>();
    VendorBinding binding(api);
    const std::wstring boxes = catcher->texts();
    catcher.reset();
    if (!binding.bound()) {
        Complain(L"the device support libraries could not be bound (LoadDllFunctions returned 0)" +
                 (boxes.empty() ? std::wstring(L"; is the vendor's device software installed?") : L": " + boxes));
        return kExitFailed;
    }
    Context c{api, options, binding.backend(), std::wstring(), LogWatch()};
    if (!command.needsDevice && command.run != RunList)
        return command.run(c);
    DeviceWatch watch(api);
    if (!watch.Start()) {
        Complain(L"listening for devices failed (StartListeningDeviceConnections returned 0)");
        return kExitFailed;
    }
    c.watch = &watch;
    std::wstring wanted = command.needsDevice ? options.udid : std::wstring();
    std::vector<std::wstring> attached = watch.Wait(wanted, options.waitMilliseconds);
    if (command.needsDevice) {
        Selection selection = SelectDevice(attached, options.udid);
        if (selection.exitCode != 0) {
            Complain(selection.error);
            return selection.exitCode;
        }
        c.udid = selection.udid;
    }
    return command.run(c);
}

} // namespace

std::wstring HelpText(const std::wstring& name) {
    if (name.empty()) {
        std::wstring text = kToolHelpStart;
        for (const Command& command : kCommands) {
            std::wstring usage = std::wstring(command.name) + (*command.usage ? L" " : L"") + command.usage;
            text += L"  " + PadRight(usage, 32) + command.summary + L"\n";
        }
        return text + kToolHelpEnd;
    }
    const Command* command = FindCommand(name);
    if (!command)
        return std::wstring();
    return UsageLine(*command) + L"\n\n" + command->details;
}

int RunCommandLine(const Options& options) {
    if (options.command == L"help" || (options.help && options.command.empty())) {
        std::wstring topic = options.command == L"help" && !options.arguments.empty() ? options.arguments[0] : L"";
        std::wstring text = HelpText(topic);
        if (text.empty())
            return UsageError(L"no command " + topic, nullptr);
        Out().Write(text);
        return kExitSuccess;
    }
    if (options.command.empty())
        return UsageError(L"no command given", nullptr);
    const Command* command = FindCommand(options.command);
    if (!command)
        return UsageError(L"unknown command " + options.command, nullptr);
    if (options.help) {
        Out().Write(HelpText(command->name));
        return kExitSuccess;
    }
    if (options.arguments.size() != command->arguments) {
        std::wstring message = options.arguments.size() < command->arguments
                                   ? L"missing arguments"
                                   : L"unexpected argument " + options.arguments[command->arguments];
        return UsageError(message, command);
    }
    if (!command->run)
        return RunDoctor(options);
    // Without the vendor's libraries the library talks to the vendor's
    // device multiplexer itself, where one answers.
    const std::wstring missing = MissingVendorInstallation(vendor_search::SystemHost());
    std::wstring problem;
    if (!missing.empty() && !backend::MultiplexerAnswers(kMultiplexerWait, &problem)) {
        Complain(missing + L"; nor did a device multiplexer answer at " + backend::MultiplexerAddress() + L" (" +
                 problem + L")");
        return kExitFailed;
    }
    DeviceLibrary library;
    std::wstring error;
    if (!library.Load(DefaultLibraryPath(), &error)) {
        Complain(error);
        return kExitFailed;
    }
    return RunWithLibrary(library.api(), options, *command);
}

} // namespace orvexctl
