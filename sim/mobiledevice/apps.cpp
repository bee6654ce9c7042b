// Applications and profiles: the lookup, install, upgrade and uninstall of
// application archives (.ipa), and provisioning profiles.
#include "platform/text.h"
#include "sim/farm/applications.h"
#include "sim/mobiledevice/cf_bridge.h"
#include "sim/mobiledevice/exports.h"
#include "sim/mobiledevice/simulator.h"

using namespace simfarm;
using namespace mdsim;

namespace {

const size_t kMaxProfile = 1024 * 1024;

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

// ---- install -------------------------------------------------------------------

// The stand-in reads Info.plist through the value library: XML or binary.
bool ParseWithCf(const std::string& bytes, Value* out) {
    CfHolder data(
        CFDataCreate(nullptr, reinterpret_cast<const uint8_t*>(bytes.data()), static_cast<CFIndex>(bytes.size())));
    CfHolder plist(data ? CFPropertyListCreateWithData(nullptr, static_cast<CFDataRef>(data.get()), 0, nullptr, nullptr)
                        : nullptr);
    return plist && ValueFromCf(plist.get(), out);
}

int AmdStatusOf(AppResult result) {
    switch (result) {
    case AppResult::Done:
        return kAmdSuccess;
    case AppResult::NoDevice:
        return kAmdUndefinedError;
    case AppResult::NotInstalled:
        return kAmdApplicationNotInstalledError;
    default:
        return kAmdInstallFailedError;
    }
}

int Install(bool upgrade, am_device* device, CFURLRef url, am_device_progress_callback callback, void* context) {
    std::shared_ptr<DeviceHandle> handle;
    DeviceState state;
    int status = CheckSession(device, &handle, &state);
    if (status != kAmdSuccess)
        return status;
    if (state.Fault(Fault::Install))
        return kAmdInstallFailedError;
    std::wstring path;
    if (!PathFromUrl(url, &path))
        return kAmdInvalidArgumentError;
    RecordPackageUrl(handle->view->farm(), handle->udid, url);
    auto progress = [callback, context](const char* step, int percent) { Report(callback, context, step, percent); };
    return AmdStatusOf(InstallPackage(handle->view->farm(), handle->udid, path, upgrade, ParseWithCf, progress));
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
    auto progress = [callback, context](const char* step, int percent) { Report(callback, context, step, percent); };
    return AmdStatusOf(UninstallApplication(handle->view->farm(), handle->udid, id, progress));
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
        std::string type = requested.is(Value::Kind::Dict) ? requested.GetString("ApplicationType", "Any") : "Any";
        const Value* attributes = requested.is(Value::Kind::Dict) ? requested.Find("ReturnAttributes") : nullptr;
        Value result = SelectApplications(*state.description, type, attributes);
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
        std::wstring fileName = path.substr(path.find_last_of(L"\\/") + 1);
        std::string error;
        bool stored =
            StoreProfile(handle->view->farm(), handle->udid, bytes, WideToUtf8(fileName.c_str()), nullptr, &error);
        return static_cast<int>(stored ? kAmdSuccess : kAmdUndefinedError);
    });
}
