#include "backend/installation_proxy.h"

#include "backend/afc.h"
#include "backend/afc_packet.h"
#include "backend/lockdown.h"
#include "backend/services.h"
#include "backend/status.h"
#include "backend/timeouts.h"
#include "platform/handles.h"
#include "platform/text.h"

#include <memory>
#include <string>

namespace backend {
namespace {

const char kProxyService[] = "com.apple.mobile.installation_proxy";
const char kFileService[] = "com.apple.afc";
const char kStagingFolder[] = "PublicStaging";
const wchar_t kProxyName[] = L"Installation proxy";

// What the device library's install failures look like.
constexpr int kInstallFailedError = static_cast<int>(0xe8000081u);

// Answers taken for one request before the device is deemed to babble.
constexpr int kMostAnswers = 100000;
// A device may think a while between two steps of an installation: the wait
// for each answer is this many times the backend's usual one.
constexpr unsigned kSlowStepFactor = 8;

int RefusalCode(const std::string& error) {
    return error == "ApplicationNotInstalled" ? static_cast<int>(kApplicationNotInstalledError) : kInstallFailedError;
}

// Logs an Error answer; its code.
int Refused(const char* command, CFDictionaryRef answer) {
    const std::string error = TextOf(answer, "Error"), description = TextOf(answer, "ErrorDescription");
    LogLine(std::wstring(kProxyName) + L": " + Utf8ToWide(command) + L" refused by the device: " +
            Utf8ToWide(error.c_str()) + (description.empty() ? L"" : L" (" + Utf8ToWide(description.c_str()) + L")"));
    return RefusalCode(error);
}

bool IsComplete(CFDictionaryRef answer) { return TextOf(answer, "Status") == "Complete"; }

// The client options of a request: a copy of the caller's, or empty.
Owned<CFMutableDictionaryRef> ClientOptions(CFDictionaryRef options) {
    if (IsDictionary(options))
        return Owned<CFMutableDictionaryRef>(CFDictionaryCreateMutableCopy(nullptr, 0, options));
    return Owned<CFMutableDictionaryRef>(
        CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
}

void Relay(am_device_progress_callback callback, CFTypeRef info, void* context) {
    if (!callback)
        return;
    try {
        callback(static_cast<CFDictionaryRef>(info), context);
    } catch (...) {
        // A report is lost; the work goes on.
    }
}

// Sends `request`, then relays every answer until "Complete"; an Error
// answer, a lost connection or an endless stream fails.
int RunCommand(Connection& proxy, const char* command, CFTypeRef request, am_device_progress_callback callback,
               void* context) {
    proxy.SetTimeout(DeviceTimeout() * kSlowStepFactor);
    if (!SendPlist(proxy, request)) {
        LogLine(std::wstring(kProxyName) + L": " + Utf8ToWide(command) + L" could not be sent");
        return kWriteError;
    }
    for (int i = 0; i < kMostAnswers; ++i) {
        Owned<CFDictionaryRef> answer = ReceiveAnswer(proxy, kProxyName);
        if (!answer)
            return kReadError;
        if (Find(answer.get(), "Error"))
            return Refused(command, answer.get());
        Relay(callback, answer.get(), context);
        if (IsComplete(answer.get()))
            return kOk;
    }
    LogLine(std::wstring(kProxyName) + L": " + Utf8ToWide(command) + L" never completed");
    return kInvalidResponseError;
}

// ---- listing ---------------------------------------------------------------

// Adds the records of one answer to `apps`: a Browse answer's CurrentList
// (keyed by each record's CFBundleIdentifier) or a Lookup answer's result.
void CollectRecords(CFDictionaryRef answer, CFMutableDictionaryRef apps) {
    CFTypeRef list = Find(answer, "CurrentList");
    if (IsArray(list)) {
        const CFIndex count = CFArrayGetCount(static_cast<CFArrayRef>(list));
        for (CFIndex i = 0; i < count; ++i) {
            CFTypeRef record = CFArrayGetValueAtIndex(static_cast<CFArrayRef>(list), i);
            CFTypeRef id =
                IsDictionary(record) ? Find(static_cast<CFDictionaryRef>(record), "CFBundleIdentifier") : nullptr;
            if (!Text(id).empty())
                CFDictionarySetValue(apps, id, record);
        }
    }
    CFTypeRef result = Find(answer, "LookupResult");
    if (IsDictionary(result)) {
        CFDictionaryApplyFunction(
            static_cast<CFDictionaryRef>(result),
            [](const void* key, const void* value, void* into) {
                if (IsDictionary(value) && key && CFGetTypeID(key) == CFStringGetTypeID())
                    CFDictionarySetValue(static_cast<CFMutableDictionaryRef>(into), key, value);
            },
            apps);
    }
}

int LookupApplications(am_device* device, CFDictionaryRef options, CFDictionaryRef* apps) {
    if (!device || !apps)
        return kInvalidArgumentError;
    std::unique_ptr<Connection> proxy = StartDeviceService(device, kProxyService);
    if (!proxy)
        return kNotConnectedError;
    // Named applications are looked up; otherwise every one is browsed.
    const char* command = Find(options, "BundleIDs") ? "Lookup" : "Browse";
    Owned<CFMutableDictionaryRef> clientOptions = ClientOptions(options);
    Owned<CFStringRef> typeKey = MakeString("ApplicationType"), any = MakeString("Any");
    if (clientOptions && !Find(clientOptions.get(), "ApplicationType"))
        CFDictionarySetValue(clientOptions.get(), typeKey.get(), any.get());
    Dictionary request;
    request.Set("Command", command).SetValue("ClientOptions", clientOptions.get());
    if (!SendPlist(*proxy, request.get())) {
        LogLine(std::wstring(kProxyName) + L": the application list could not be asked for");
        return kWriteError;
    }
    Owned<CFMutableDictionaryRef> found(
        CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
    for (int i = 0; found && i < kMostAnswers; ++i) {
        Owned<CFDictionaryRef> answer = ReceiveAnswer(*proxy, kProxyName);
        if (!answer)
            return kReadError;
        if (Find(answer.get(), "Error")) {
            Refused(command, answer.get());
            return kUndefinedError;
        }
        CollectRecords(answer.get(), found.get());
        if (IsComplete(answer.get()) || Find(answer.get(), "LookupResult")) {
            *apps = static_cast<CFDictionaryRef>(found.release());
            return kOk;
        }
    }
    LogLine(std::wstring(kProxyName) + L": the application list never ended");
    return kInvalidResponseError;
}

// ---- installing ------------------------------------------------------------

// The file service connection of an upload, closed when it goes.
class StagingArea {
  public:
    ~StagingArea() {
        if (m_afc)
            AFCConnectionClose(m_afc);
    }
    bool Open(am_device* device) {
        std::unique_ptr<Connection> connection = StartDeviceService(device, kFileService);
        m_afc = connection ? OpenAfcConnection(ServiceConnectionPipe(std::move(connection))) : nullptr;
        return m_afc != nullptr;
    }
    afc_connection* get() const { return m_afc; }

  private:
    afc_connection* m_afc = nullptr;
};

void ReportCopying(am_device_progress_callback callback, void* context, int percent) {
    Dictionary info;
    info.Set("Status", "CopyingFile").SetInteger("PercentComplete", percent);
    Relay(callback, info.get(), context);
}

// The name the archive gets in the staging folder: its own file name.
std::string StagedName(const std::wstring& path) {
    const size_t slash = path.find_last_of(L"\\/");
    std::string name = WideToUtf8(path.substr(slash == std::wstring::npos ? 0 : slash + 1).c_str());
    return name.empty() || name == "." || name == ".." ? std::string("package.ipa") : name;
}

// Copies the local archive to `target` on the device in the file service's
// largest chunks. The upload's share of the progress is the first five
// percent, below the device's first step, so that the percentage only grows.
int Upload(afc_connection* afc, HANDLE source, uint64_t size, const std::string& target,
           am_device_progress_callback callback, void* context) {
    afc_file_ref file = 0;
    int code = AFCFileRefOpen(afc, target.c_str(), 3 /* write only, created or truncated */, &file);
    if (code != afc::kSuccess) {
        LogLine(std::wstring(kProxyName) + L": the archive could not be created on the device (file service " +
                std::to_wstring(code) + L")");
        return kWriteError;
    }
    const size_t chunk = static_cast<size_t>(afc::kMostWrite);
    std::unique_ptr<char[]> buffer(new char[chunk]);
    uint64_t moved = 0;
    int reported = -1;
    for (;;) {
        const int percent = size ? static_cast<int>(moved * 5 / size) : 0;
        if (percent != reported)
            ReportCopying(callback, context, reported = percent);
        DWORD got = 0;
        if (!::ReadFile(source, buffer.get(), static_cast<DWORD>(chunk), &got, nullptr)) {
            AFCFileRefClose(afc, file);
            LogLine(std::wstring(kProxyName) + L": the archive could not be read");
            return kReadError;
        }
        if (got == 0)
            break;
        code = AFCFileRefWrite(afc, file, buffer.get(), got);
        if (code != afc::kSuccess)
            break;
        moved += got;
    }
    const int closed = AFCFileRefClose(afc, file);
    if (code == afc::kSuccess)
        code = closed;
    if (code != afc::kSuccess) {
        LogLine(std::wstring(kProxyName) + L": uploading the archive failed (file service " + std::to_wstring(code) +
                L")");
        return kWriteError;
    }
    return kOk;
}

int InstallArchive(const char* command, am_device* device, CFURLRef url, CFDictionaryRef options,
                   am_device_progress_callback callback, void* context) {
    if (!device || !url)
        return kInvalidArgumentError;
    std::wstring path;
    if (!LocalPathOfUrl(url, &path)) {
        LogLine(std::wstring(kProxyName) + L": the archive's URL names no local file");
        return kInvalidArgumentError;
    }
    UniqueHandle source(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    LARGE_INTEGER size;
    if (!source || !::GetFileSizeEx(source.get(), &size)) {
        LogLine(std::wstring(kProxyName) + L": the archive " + path + L" could not be opened");
        return kNotFoundError;
    }
    StagingArea staging;
    if (!staging.Open(device))
        return kNotConnectedError;
    const int made = AFCDirectoryCreate(staging.get(), kStagingFolder);
    if (made != afc::kSuccess) {
        LogLine(std::wstring(kProxyName) + L": the staging folder could not be made (file service " +
                std::to_wstring(made) + L")");
        return kWriteError;
    }
    const std::string staged = std::string(kStagingFolder) + "/" + StagedName(path);
    int code = Upload(staging.get(), source.get(), static_cast<uint64_t>(size.QuadPart), staged, callback, context);
    if (code != kOk)
        return code;

    std::unique_ptr<Connection> proxy = StartDeviceService(device, kProxyService);
    if (proxy) {
        Owned<CFMutableDictionaryRef> clientOptions = ClientOptions(options);
        Dictionary request;
        request.Set("Command", command).Set("PackagePath", staged).SetValue("ClientOptions", clientOptions.get());
        code = RunCommand(*proxy, command, request.get(), callback, context);
    } else {
        code = kNotConnectedError;
    }
    // The staged copy goes whatever the outcome: archives left behind would
    // fill the device's media area.
    AFCRemovePath(staging.get(), staged.c_str());
    return code;
}

int Uninstall(am_device* device, CFStringRef bundleId, CFDictionaryRef options, am_device_progress_callback callback,
              void* context) {
    const std::string id = Text(bundleId);
    if (!device || id.empty())
        return kInvalidArgumentError;
    std::unique_ptr<Connection> proxy = StartDeviceService(device, kProxyService);
    if (!proxy)
        return kNotConnectedError;
    Owned<CFMutableDictionaryRef> clientOptions = ClientOptions(options);
    Dictionary request;
    request.Set("Command", "Uninstall").Set("ApplicationIdentifier", id).SetValue("ClientOptions", clientOptions.get());
    return RunCommand(*proxy, "Uninstall", request.get(), callback, context);
}

} // namespace

int __cdecl AMDeviceLookupApplications(am_device* device, CFDictionaryRef options, CFDictionaryRef* apps) {
    return GuardedCall(kProxyName, kUndefinedError, [&] { return LookupApplications(device, options, apps); });
}

int __cdecl AMDeviceSecureInstallApplication(int zero, am_device* device, CFURLRef url, CFDictionaryRef options,
                                             am_device_progress_callback callback, void* context) {
    return GuardedCall(kProxyName, kUndefinedError,
                       [&] { return InstallArchive("Install", device, url, options, callback, context); });
}

int __cdecl AMDeviceSecureUpgradeApplication(int zero, am_device* device, CFURLRef url, CFDictionaryRef options,
                                             am_device_progress_callback callback, void* context) {
    return GuardedCall(kProxyName, kUndefinedError,
                       [&] { return InstallArchive("Upgrade", device, url, options, callback, context); });
}

int __cdecl AMDeviceSecureUninstallApplication(int zero, am_device* device, CFStringRef bundleId,
                                               CFDictionaryRef options, am_device_progress_callback callback,
                                               void* context) {
    return GuardedCall(kProxyName, kUndefinedError,
                       [&] { return Uninstall(device, bundleId, options, callback, context); });
}

} // namespace backend
