// Installing, upgrading and removing applications, and installing
// provisioning profiles. The device library does the transfer and the
// installation; this module builds its arguments, relays its progress
// reports to the caller's ProgressCallback and turns its answer into 1 or 0.
#include "device/OrvexDevice.h"
#include "device/cf_values.h"
#include "device/device_access.h"
#include "device/export_guard.h"
#include "platform/cf_text.h"
#include "platform/file.h"
#include "platform/log.h"
#include "platform/text.h"

#include <algorithm>
#include <string>

namespace {

// Handed to the device library with the progress relays; lives on the stack
// of the export for the duration of the vendor call.
struct ProgressContext {
    const wchar_t* identifier; // the caller's own text
    ProgressCallback callback;
};

// The status word of a progress report, as the device library gives it.
std::wstring ProgressStatus(CFDictionaryRef info) {
    CFStringRef status = AsString(DictionaryValue(info, "Status"));
    if (!status)
        return std::wstring();
    if (const char* utf8 = vendor::CFStringGetCStringPtr(status, kCFStringEncodingUTF8))
        return Utf8ToWide(utf8);
    // The library keeps no UTF-8 form of this string: convert it instead.
    return CFStringToWide(status);
}

void Report(void* context, const std::wstring& status, unsigned int percent) {
    const ProgressContext* progress = static_cast<const ProgressContext*>(context);
    if (progress && progress->callback)
        progress->callback(progress->identifier, status.c_str(), percent);
}

// Progress of an install or upgrade: "Status" and "PercentComplete".
void RelayInstallProgress(CFDictionaryRef info, void* context) noexcept {
    try {
        int32_t percent = 0;
        NumberAsInt32(DictionaryValue(info, "PercentComplete"), kCFNumberSInt32Type, &percent);
        Report(context, ProgressStatus(info), static_cast<unsigned int>(std::clamp(percent, 0, 100)));
    } catch (...) {
        // A report is lost; the installation goes on.
    }
}

// Progress of an uninstall: "Status" only; the percentage is always 0.
void RelayUninstallProgress(CFDictionaryRef info, void* context) noexcept {
    try {
        Report(context, ProgressStatus(info), 0);
    } catch (...) {
        // A report is lost; the removal goes on.
    }
}

bool IsEmpty(const wchar_t* text) { return !text || !*text; }

// "file:///" and the local path with every "\" turned into "/".
std::wstring FileUrlText(const wchar_t* path) {
    std::wstring url = std::wstring(L"file:///") + path;
    std::replace(url.begin(), url.end(), L'\\', L'/');
    return url;
}

CFRef<CFURLRef> UrlFromBytes(const wchar_t* path) {
    std::string utf8 = WideToUtf8(FileUrlText(path).c_str());
    return CFRef<CFURLRef>(vendor::CFURLCreateWithBytes(nullptr, reinterpret_cast<const uint8_t*>(utf8.data()),
                                                        static_cast<CFIndex>(utf8.size()), kCFStringEncodingUTF8,
                                                        nullptr));
}

CFRef<CFURLRef> UrlFromString(const wchar_t* path) {
    CFRef<CFStringRef> text = WideToCFString(FileUrlText(path));
    if (!text)
        return CFRef<CFURLRef>();
    return CFRef<CFURLRef>(vendor::CFURLCreateWithString(nullptr, text.get(), nullptr));
}

// The session frame shared by the exports here: find the device, open a
// session, run `work` on it, close the session.
template <typename Work> int WithSession(const wchar_t* identifier, Work&& work) {
    DeviceRef device = FindDevice(identifier);
    if (!device)
        return 0;
    DeviceSession session(device.get());
    if (!session.Open())
        return 0;
    return work(device.get());
}

int Install(const wchar_t* identifier, const wchar_t* ipaPath, ProgressCallback callback) {
    if (IsEmpty(ipaPath))
        return 0;
    return WithSession(identifier, [&](am_device* device) {
        ProgressContext context{identifier, callback};
        CFRef<CFURLRef> url = UrlFromBytes(ipaPath);
        if (!url ||
            vendor::AMDeviceSecureInstallApplication(0, device, url.get(), nullptr, RelayInstallProgress, &context)) {
            WriteDailyLog(L"软件安装失败。");
            return 0;
        }
        return 1;
    });
}

int Upgrade(const wchar_t* identifier, const wchar_t* ipaPath, ProgressCallback callback) {
    if (IsEmpty(ipaPath))
        return 0;
    return WithSession(identifier, [&](am_device* device) {
        ProgressContext context{identifier, callback};
        CFRef<CFURLRef> url = UrlFromString(ipaPath);
        if (!url ||
            vendor::AMDeviceSecureUpgradeApplication(0, device, url.get(), nullptr, RelayInstallProgress, &context)) {
            WriteDailyLog(L"软件安装失败。");
            return 0;
        }
        return 1;
    });
}

int Uninstall(const wchar_t* identifier, const wchar_t* bundleId, ProgressCallback callback) {
    if (IsEmpty(bundleId))
        return 0;
    return WithSession(identifier, [&](am_device* device) {
        ProgressContext context{identifier, callback};
        CFRef<CFStringRef> id = WideToCFString(bundleId);
        if (!id || vendor::AMDeviceSecureUninstallApplication(0, device, id.get(), nullptr, RelayUninstallProgress,
                                                              &context)) {
            WriteDailyLog(L"软件卸载失败。");
            return 0;
        }
        return 1;
    });
}

int InstallProfile(const wchar_t* identifier, const wchar_t* profilePath) {
    if (IsEmpty(profilePath) || !IsLocalFile(profilePath))
        return 0;
    return WithSession(identifier, [&](am_device* device) {
        CFRef<CFURLRef> url = UrlFromString(profilePath);
        return url && vendor::AMDeviceInstallProvisioningProfile(device, url.get()) == 0 ? 1 : 0;
    });
}

} // namespace

int InstallIpa(const wchar_t* identifier, const wchar_t* ipaPath, ProgressCallback progress) {
    return GuardedExport(L"InstallIpa", [&] { return Install(identifier, ipaPath, progress); });
}

int UpdateIpa(const wchar_t* identifier, const wchar_t* ipaPath, ProgressCallback progress) {
    return GuardedExport(L"UpdateIpa", [&] { return Upgrade(identifier, ipaPath, progress); });
}

int UninstallIpa(const wchar_t* identifier, const wchar_t* bundleId, ProgressCallback progress) {
    return GuardedExport(L"UninstallIpa", [&] { return Uninstall(identifier, bundleId, progress); });
}

int InstallProvisionProfile(const wchar_t* identifier, const wchar_t* profilePath) {
    return GuardedExport(L"InstallProvisionProfile", [&] { return InstallProfile(identifier, profilePath); });
}
