// Listing a device folder and reading one device entry's record.
#include "device/OrvexDevice.h"
#include "device/afc_objects.h"
#include "device/export_guard.h"
#include "device/file_attributes.h"
#include "device/result_memory.h"
#include "platform/log.h"
#include "platform/text.h"

#include <cstring>
#include <new>
#include <vector>

namespace {

// A zeroed record with its name, path and extension. Names longer than a
// field are cut there; the extension comes from the whole name.
__IOS_FILE NamedRecord(const std::wstring& name, const std::wstring& path) {
    __IOS_FILE file{}; // all zero
    CopyToField(file.Name, name);
    CopyToField(file.Path, path);
    CopyToField(file.Extension, ExtensionOf(name));
    return file;
}

bool ListFolder(afc_connection* connection, const std::wstring& directory, std::vector<__IOS_FILE>* files) {
    AfcFolder folder;
    if (!folder.Open(connection, ToUtf8(directory))) {
        WriteDailyLog(L"打开文件目录 " + directory + L" 失败");
        return false;
    }
    const LocalTimeZone zone;
    // A listing cut short by a failed read is no listing: what it left out
    // is unknown.
    return VisitFolder(folder, directory, [&](const std::string& entry) {
        const std::wstring name = Utf8ToWide(entry.c_str());
        const std::wstring path = JoinDevicePath(directory, name);
        __IOS_FILE file = NamedRecord(name, path);
        if (!ReadFileAttributes(connection, ToUtf8(path), zone, &file)) {
            WriteDailyLog(L"提取文件 " + path + L" 信息失败");
            return true;
        }
        files->push_back(file);
        return true;
    });
}

} // namespace

int GetFilesInDirectory(const wchar_t* identifier, const wchar_t* directory, __IOS_FILE** files, unsigned int* count) {
    return GuardedExport(L"GetFilesInDirectory", [&] {
        if (!files || !count || !directory || !*directory)
            return 0;
        std::vector<__IOS_FILE> listed;
        {
            DeviceFiles device;
            if (!device.Open(identifier))
                return 0;
            if (!ListFolder(device.connection(), directory, &listed))
                return 0;
        }
        __IOS_FILE* block = nullptr;
        if (!listed.empty()) {
            block = AllocateRecords<__IOS_FILE>(listed.size());
            if (!block)
                throw std::bad_alloc();
            std::memcpy(block, listed.data(), listed.size() * sizeof(__IOS_FILE));
        }
        *count = static_cast<unsigned int>(listed.size());
        *files = block;
        return 1;
    });
}

int GetFileInfoOnDevice(const wchar_t* identifier, const wchar_t* entryPath, __IOS_FILE* file) {
    return GuardedExport(L"GetFileInfoOnDevice", [&] {
        if (!file || !entryPath || !*entryPath)
            return 0;
        DeviceFiles device;
        if (!device.Open(identifier))
            return 0;
        const std::wstring path = entryPath;
        __IOS_FILE record = NamedRecord(NameOfDevicePath(path), path);
        if (!ReadFileAttributes(device.connection(), ToUtf8(path), LocalTimeZone(), &record))
            return 0;
        *file = record;
        return 1;
    });
}
