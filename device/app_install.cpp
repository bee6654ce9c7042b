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
#include <cwchar>
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

// The file URL of a local path: "file:///" and the path with every "\"
// turned into "/", each byte of its UTF-8 form other than the unreserved
// characters (letters, digits, "-", ".", "_", "~"), "/" and ":" written as
// "%XX". So a space, a non-ASCII name, "#" or "%" name the user's file
// rather than breaking the URL or starting a fragment or an escape; a path
// made only of unreserved characters keeps its plain form.
std::string FileUrlText(const wchar_t* path) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string url = "file:///";
    for (unsigned char c : WideToUtf8(path)) {
        if (c == '\\')
            c = '/';
        const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
                           c == '.' || c == '_' || c == '~' || c == '/' || c == ':';
        if (plain) {
            url += static_cast<char>(c);
        } else {
            url += '%';
            url += kHex[c >> 4];
            url += kHex[c & 15];
        }
    }
    return url;
}

CFRef<CFURLRef> UrlFromBytes(const wchar_t* path) {
    std::string utf8 = FileUrlText(path);
    return CFRef<CFURLRef>(vendor::CFURLCreateWithBytes(nullptr, reinterpret_cast<const uint8_t*>(utf8.data()),
                                                        static_cast<CFIndex>(utf8.size()), kCFStringEncodingUTF8,
                                                        nullptr));
}

CFRef<CFURLRef> UrlFromString(const wchar_t* path) {
    CFRef<CFStringRef> text = WideToCFString(Utf8ToWide(FileUrlText(path).c_str()));
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

// Each failure is one log line naming the step, so that a caller without a
// window (the command-line tool) can tell the user why.
int InstallProfile(const wchar_t* identifier, const wchar_t* profilePath) {
    if (IsEmpty(profilePath))
        return 0;
    if (!IsLocalFile(profilePath)) {
        WriteDailyLog(std::wstring(L"描述文件安装失败：找不到文件 ") + profilePath);
        return 0;
    }
    DeviceRef device = FindDevice(identifier);
    if (!device) {
        WriteDailyLog(std::wstring(L"描述文件安装失败：设备 ") + (identifier ? identifier : L"") + L" 未连接");
        return 0;
    }
    DeviceSession session(device.get());
    if (!session.Open()) {
        WriteDailyLog(L"描述文件安装失败：无法与设备建立会话");
        return 0;
    }
    CFRef<CFURLRef> url = UrlFromString(profilePath);
    if (!url) {
        WriteDailyLog(std::wstring(L"描述文件安装失败：无法生成文件URL ") + profilePath);
        return 0;
    }
    const int code = vendor::AMDeviceInstallProvisioningProfile(device.get(), url.get());
    if (code != 0) {
        wchar_t line[64];
        std::swprintf(line, 64, L"描述文件安装失败：设备拒绝（错误 0x%08X）", static_cast<unsigned>(code));
        WriteDailyLog(line);
        return 0;
    }
    return 1;
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
