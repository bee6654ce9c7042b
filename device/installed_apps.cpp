// GetInstalledApps: one record per application the device's installation
// service knows, system and user applications alike. Nothing is read from
// the device's file system for it.
#include "device/OrvexDevice.h"
#include "device/cf_values.h"
#include "device/device_access.h"
#include "device/export_guard.h"
#include "device/result_memory.h"
#include "platform/log.h"
#include "platform/text.h"

#include <cstring>
#include <string>
#include <vector>

namespace {

// A name for the record: the display name, else the bundle name.
std::wstring AppName(CFTypeRef entry) {
    if (CFStringRef display = AsString(DictionaryValue(entry, "CFBundleDisplayName")))
        return StringText(display);
    return StringText(DictionaryValue(entry, "CFBundleName"));
}

// The icon file inside the bundle: the first of "CFBundleIconFiles", else
// "CFBundleIconFile", else "Icon.png".
std::wstring AppIconFile(CFTypeRef entry) {
    CFArrayRef files = AsArray(DictionaryValue(entry, "CFBundleIconFiles"));
    if (files && vendor::CFArrayGetCount(files) > 0) {
        if (CFStringRef first = AsString(vendor::CFArrayGetValueAtIndex(files, 0)))
            return StringText(first);
    }
    if (CFStringRef file = AsString(DictionaryValue(entry, "CFBundleIconFile")))
        return StringText(file);
    return L"Icon.png";
}

// The purchasing account as unsigned decimal text; empty when absent.
std::wstring AppStoreId(CFTypeRef entry) {
    int64_t dsid = 0;
    if (!NumberAsInt64(DictionaryValue(entry, "ApplicationDSID"), &dsid))
        return std::wstring();
    return std::to_wstring(static_cast<uint64_t>(dsid));
}

void FillAppRecord(CFTypeRef bundleId, CFTypeRef entry, __IOS_APP* app) {
    std::memset(app, 0, sizeof(*app));
    CopyToField(app->Identifier, StringText(bundleId));
    app->IsSystemApp = StringText(DictionaryValue(entry, "ApplicationType")) == L"User" ? 0 : 1;
    CopyToField(app->Path, StringText(DictionaryValue(entry, "Path")));
    CopyToField(app->Container, StringText(DictionaryValue(entry, "Container")));
    CopyToField(app->Name, AppName(entry));
    CopyToField(app->StoreId, AppStoreId(entry));
    CopyToField(app->Version, StringText(DictionaryValue(entry, "CFBundleVersion")));
    CopyToField(app->IconFile, AppIconFile(entry));
}

// Runs inside an open session; appends one record per application.
int CollectInstalledApps(am_device* device, std::vector<__IOS_APP>* apps) {
    CFDictionaryRef answer = nullptr;
    if (vendor::AMDeviceLookupApplications(device, nullptr, &answer) != 0) {
        CFRef<CFDictionaryRef> refused(answer); // should it have answered anyway
        WriteDailyLog(L"列举软件失败。");
        return 0;
    }
    CFRef<CFDictionaryRef> list(answer);
    CFDictionaryRef dict = AsDictionary(list.get());
    if (!dict)
        return 1; // no list at all: no applications
    CFIndex count = vendor::CFDictionaryGetCount(dict);
    if (count <= 0)
        return 1;
    std::vector<const void*> keys(static_cast<size_t>(count));
    std::vector<const void*> values(static_cast<size_t>(count));
    vendor::CFDictionaryGetKeysAndValues(dict, keys.data(), values.data());
    apps->reserve(apps->size() + keys.size());
    for (size_t i = 0; i < keys.size(); ++i) {
        apps->emplace_back();
        FillAppRecord(keys[i], values[i], &apps->back());
    }
    return 1;
}

int ListInstalledApps(const wchar_t* identifier, __IOS_APP** out, unsigned int* count) {
    if (!out || !count)
        return 0;
    DeviceRef device = FindDevice(identifier);
    if (!device)
        return 0;
    std::vector<__IOS_APP> apps;
    int result = 0;
    {
        DeviceSession session(device.get());
        if (!session.Open())
            return 0;
        result = CollectInstalledApps(device.get(), &apps);
    }
    if (!result)
        apps.clear();
    __IOS_APP* array = nullptr;
    if (!apps.empty()) {
        array = AllocateRecords<__IOS_APP>(apps.size());
        if (!array) {
            apps.clear();
            result = 0;
        } else {
            std::memcpy(array, apps.data(), apps.size() * sizeof(__IOS_APP));
        }
    }
    *out = array;
    *count = static_cast<unsigned int>(apps.size());
    return result;
}

} // namespace

int GetInstalledApps(const wchar_t* identifier, __IOS_APP** apps, unsigned int* count) {
    return GuardedExport(L"GetInstalledApps", [&] { return ListInstalledApps(identifier, apps, count); });
}
