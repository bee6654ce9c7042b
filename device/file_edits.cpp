// Changes to the device's file tree: make a folder, rename or move an entry,
// delete an entry with everything below it.
#include "device/OrvexDevice.h"
#include "device/afc_objects.h"
#include "device/export_guard.h"
#include "device/file_attributes.h"
#include "device/file_trees.h"
#include "platform/log.h"
#include "platform/text.h"

namespace {

bool IsGiven(const wchar_t* path) { return path && *path; }

} // namespace

// Depth-first, post-order: every entry of a folder goes before the folder,
// each with one progress call. A link is removed itself and never entered.
// Stops at the first entry that can't be removed; what went before stays
// removed.
int DeleteTree(const wchar_t* identifier, afc_connection* connection, const std::wstring& path,
               ProgressCallback progress) {
    const std::string devicePath = ToUtf8(path);
    bool folder = false;
    if (!ReadIsDeviceFolder(connection, devicePath, &folder))
        return 0;
    if (folder) {
        AfcFolder entries;
        if (!entries.Open(connection, devicePath)) {
            WriteDailyLog(L"打开文件目录 " + path + L" 失败");
            return 0;
        }
        // A folder whose listing breaks off is not known to be empty: it
        // stays, like everything not yet visited.
        const bool emptied = VisitFolder(entries, path, [&](const std::string& name) {
            const std::wstring child = JoinDevicePath(path, Utf8ToWide(name.c_str()));
            if (!IsPlainEntryName(name)) {
                WriteDailyLog(L"设备文件名 " + child + L" 无效");
                return false;
            }
            return DeleteTree(identifier, connection, child, progress) != 0;
        });
        if (!emptied)
            return 0;
    }
    if (vendor::AFCRemovePath(connection, devicePath.c_str()) != 0)
        return 0;
    if (progress) {
        const std::wstring text = L"删除 " + path;
        progress(identifier, text.c_str(), 0);
    }
    return 1;
}

int CreateDirectoryOnDevice(const wchar_t* identifier, const wchar_t* path) {
    return GuardedExport(L"CreateDirectoryOnDevice", [&] {
        if (!IsGiven(path))
            return 0;
        DeviceFiles device;
        if (!device.Open(identifier))
            return 0;
        return vendor::AFCDirectoryCreate(device.connection(), WideToUtf8(path).c_str()) == 0 ? 1 : 0;
    });
}

int RenameDirectoryOrFileOnDevice(const wchar_t* identifier, const wchar_t* oldPath, const wchar_t* newPath) {
    return GuardedExport(L"RenameDirectoryOrFileOnDevice", [&] {
        if (!IsGiven(oldPath) || !IsGiven(newPath))
            return 0;
        DeviceFiles device;
        if (!device.Open(identifier))
            return 0;
        const std::string from = WideToUtf8(oldPath);
        const std::string to = WideToUtf8(newPath);
        return vendor::AFCRenamePath(device.connection(), from.c_str(), to.c_str()) == 0 ? 1 : 0;
    });
}

int DeleteDirectoriesAndFilesOnDevice(const wchar_t* identifier, const wchar_t* path, ProgressCallback progress) {
    return GuardedExport(L"DeleteDirectoriesAndFilesOnDevice", [&] {
        if (!IsGiven(path))
            return 0;
        DeviceFiles device;
        if (!device.Open(identifier))
            return 0;
        return DeleteTree(identifier, device.connection(), path, progress);
    });
}
