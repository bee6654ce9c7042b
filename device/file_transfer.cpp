// Copying files and folder trees between the PC and the device, one
// 2048-byte chunk at a time, with one progress call per chunk.
//
// A failure ends the whole transfer at that file with one log line and
// nothing undone: files already copied stay, the failed one keeps the bytes
// moved so far, folders already made stay. The export then closes the
// device connection.
#include "device/OrvexDevice.h"
#include "device/afc_objects.h"
#include "device/export_guard.h"
#include "device/file_attributes.h"
#include "device/file_trees.h"
#include "platform/file.h"
#include "platform/handles.h"
#include "platform/log.h"
#include "platform/text.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace {

constexpr unsigned int TransferChunkSize = 2048;
// Links followed to find the file a link leads to.
constexpr int kMaxLinkHops = 32;

bool IsGiven(const wchar_t* path) { return path && *path; }

// The per-chunk progress of one file: "上传文件 %s" / "下载文件 %s" and the
// share of its size moved so far.
class ChunkProgress {
  public:
    ChunkProgress(const wchar_t* identifier, ProgressCallback callback, std::wstring text, int64_t size)
        : m_identifier(identifier), m_callback(callback), m_text(std::move(text)), m_size(size) {}

    void Report(uint64_t moved) const {
        if (!m_callback)
            return;
        m_callback(m_identifier, m_text.c_str(), ChunkPercent(moved, m_size));
    }

  private:
    const wchar_t* m_identifier;
    ProgressCallback m_callback;
    std::wstring m_text;
    int64_t m_size;
};

// The folder part of a path joined with a name: `separator` between them
// unless the folder already ends in it; an empty folder gets none.
std::wstring JoinPath(const std::wstring& folder, wchar_t separator, const std::wstring& name) {
    std::wstring path = folder;
    if (!path.empty() && path.back() != separator)
        path += separator;
    return path + name;
}

// Makes the device folder `target`; one that exists already is reused.
bool MakeDeviceFolder(afc_connection* connection, const std::wstring& target) {
    const std::string path = ToUtf8(target);
    if (vendor::AFCDirectoryCreate(connection, path.c_str()) == 0)
        return true;
    bool folder = false;
    if (ReadIsDeviceFolder(connection, path, &folder) && folder)
        return true;
    WriteDailyLog(L"创建设备目录 " + target + L" 失败");
    return false;
}

// The number of bytes a download of `path` copies: its "st_size". A link
// is opened through to the file it leads to, while its own "st_size" is
// the length of its target text; so a link's size is read at its target.
bool ReadCopySize(afc_connection* connection, std::string path, int64_t* size) {
    for (int hop = 0; hop < kMaxLinkHops; ++hop) {
        AfcAttributes attributes;
        if (!attributes.Open(connection, path))
            return false;
        std::string entrySize, kind, target;
        const char* key;
        const char* value;
        while (attributes.Next(&key, &value)) {
            if (std::strcmp(key, "st_size") == 0)
                entrySize = value;
            else if (std::strcmp(key, "st_ifmt") == 0)
                kind = value;
            else if (std::strcmp(key, "LinkTarget") == 0)
                target = value;
        }
        if (kind != "S_IFLNK") {
            *size = ParseDeviceSize(entrySize.c_str());
            return true;
        }
        if (target.empty())
            return false;
        if (target[0] == '/') {
            path = target;
        } else {
            const size_t slash = path.rfind('/');
            path = (slash == std::string::npos ? std::string() : path.substr(0, slash + 1)) + target;
        }
    }
    return false;
}

int UploadFolder(const wchar_t* identifier, afc_connection* connection, const std::wstring& localPath,
                 const std::wstring& deviceFolder, ProgressCallback progress) {
    const size_t slash = localPath.rfind(L'\\');
    const std::wstring folderName = slash == std::wstring::npos ? localPath : localPath.substr(slash + 1);
    const std::wstring target = CollapseDoubleSlashes(deviceFolder + L"/" + folderName);
    if (!MakeDeviceFolder(connection, target))
        return 0;
    WIN32_FIND_DATAW entry;
    UniqueFindHandle find(::FindFirstFileW((localPath + L"\\*.*").c_str(), &entry));
    if (!find) {
        if (::GetLastError() == ERROR_FILE_NOT_FOUND)
            return 1;
        WriteDailyLog(L"读取本地目录 " + localPath + L" 失败");
        return 0;
    }
    do {
        const std::wstring name = entry.cFileName;
        if (name == L"." || name == L"..")
            continue;
        if (!UploadTree(identifier, connection, localPath + L"\\" + name, target, progress))
            return 0;
    } while (::FindNextFileW(find.get(), &entry));
    if (::GetLastError() != ERROR_NO_MORE_FILES) {
        WriteDailyLog(L"读取本地目录 " + localPath + L" 失败");
        return 0;
    }
    return 1;
}

} // namespace

unsigned int ChunkPercent(uint64_t moved, int64_t size) {
    if (size <= 0)
        return 100;
    return static_cast<unsigned int>(std::min<uint64_t>(moved * 100 / static_cast<uint64_t>(size), 100));
}

int UploadTree(const wchar_t* identifier, afc_connection* connection, const std::wstring& localPath,
               const std::wstring& deviceFolder, ProgressCallback progress) {
    if (localPath.empty() || localPath.back() == L'\\') {
        WriteDailyLog(L"指定的文件路径错误！");
        return 0;
    }
    if (IsLocalDirectory(localPath))
        return UploadFolder(identifier, connection, localPath, deviceFolder, progress);
    if (IsLocalFile(localPath))
        return UploadOneFile(identifier, connection, localPath, deviceFolder, progress);
    WriteDailyLog(L"找不到本地文件或目录 " + localPath);
    return 0;
}

int UploadOneFile(const wchar_t* identifier, afc_connection* connection, const std::wstring& localPath,
                  const std::wstring& deviceFolder, ProgressCallback progress) {
    const size_t slash = localPath.rfind(L'\\');
    if (slash == std::wstring::npos || slash + 1 == localPath.size()) {
        WriteDailyLog(L"指定的文件路径错误！");
        return 0;
    }
    const std::wstring target = JoinPath(deviceFolder, L'/', localPath.substr(slash + 1));

    // The source is opened first, so that a source that can't be read never
    // costs the device file of the same name its content.
    UniqueHandle source(::CreateFileW(localPath.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                      OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    LARGE_INTEGER size;
    if (!source || !::GetFileSizeEx(source.get(), &size)) {
        WriteDailyLog(L"打开本地文件 " + localPath + L" 失败");
        return 0;
    }
    AfcFile device;
    if (!device.Open(connection, ToUtf8(target), AFC_FOPEN_WRONLY)) {
        WriteDailyLog(L"写入文件时打开失败！");
        return 0;
    }
    const ChunkProgress report(identifier, progress, L"上传文件 " + localPath, size.QuadPart);
    char buffer[TransferChunkSize];
    uint64_t moved = 0;
    for (;;) {
        DWORD got = 0;
        if (!::ReadFile(source.get(), buffer, TransferChunkSize, &got, nullptr)) {
            WriteDailyLog(L"读取本地文件 " + localPath + L" 失败");
            return 0;
        }
        if (got == 0)
            break;
        if (!device.Write(buffer, got)) {
            WriteDailyLog(L"文件上传时写入失败！");
            return 0;
        }
        moved += got;
        report.Report(moved);
    }
    // The device may take writes in and store them later: the close tells
    // whether the last of them arrived.
    if (!device.Close()) {
        WriteDailyLog(L"文件上传时写入失败！");
        return 0;
    }
    return 1;
}

int DownloadTree(const wchar_t* identifier, afc_connection* connection, const std::wstring& devicePath,
                 const std::wstring& localFolder, ProgressCallback progress) {
    const std::string path = ToUtf8(devicePath);
    bool isFolder = false;
    if (!ReadIsDeviceFolder(connection, path, &isFolder))
        return 0;
    if (!isFolder)
        return DownloadOneFile(identifier, connection, devicePath, localFolder, progress);

    AfcFolder folder;
    if (!folder.Open(connection, path)) {
        WriteDailyLog(L"打开文件目录 " + devicePath + L" 失败");
        return 0;
    }
    std::wstring cut = devicePath;
    size_t slash = cut.rfind(L'/');
    if (slash == std::wstring::npos) {
        WriteDailyLog(L"指定的文件路径错误！");
        return 0;
    }
    if (slash + 1 == cut.size()) {
        cut.resize(slash);
        slash = cut.rfind(L'/');
    }
    const std::wstring folderName = slash == std::wstring::npos ? cut : cut.substr(slash + 1);
    if (!folderName.empty() && !IsStorableLocalName(folderName)) {
        WriteDailyLog(L"设备文件名 " + devicePath + L" 不能用作本地文件名");
        return 0;
    }
    const std::wstring localTarget = JoinPath(localFolder, L'\\', folderName);
    if (!IsLocalDirectory(localTarget) && !::CreateDirectoryW(localTarget.c_str(), nullptr)) {
        WriteDailyLog(L"创建本地目录 " + localTarget + L" 失败");
        return 0;
    }
    // Every file copied only when the listing reached its end: a read that
    // fails (the device unplugged between two files) leaves the rest unknown.
    const bool copied = VisitFolder(folder, devicePath, [&](const std::string& name) {
        const std::wstring child = JoinDevicePath(devicePath, Utf8ToWide(name.c_str()));
        if (!IsPlainEntryName(name)) {
            WriteDailyLog(L"设备文件名 " + child + L" 无效");
            return false;
        }
        return DownloadTree(identifier, connection, child, localTarget, progress) != 0;
    });
    return copied ? 1 : 0;
}

int DownloadOneFile(const wchar_t* identifier, afc_connection* connection, const std::wstring& devicePath,
                    const std::wstring& localFolder, ProgressCallback progress) {
    const std::string path = ToUtf8(devicePath);
    int64_t size = 0;
    if (!ReadCopySize(connection, path, &size)) {
        WriteDailyLog(L"提取文件信息失败,文件不存在或者没有权限。");
        return 0;
    }
    AfcFile device;
    if (!device.Open(connection, path, AFC_FOPEN_RW)) {
        WriteDailyLog(L"读取文件时打开失败！");
        return 0;
    }
    const size_t slash = devicePath.rfind(L'/');
    if (slash == std::wstring::npos || slash + 1 == devicePath.size()) {
        WriteDailyLog(L"指定的文件路径错误！");
        return 0;
    }
    const std::wstring name = devicePath.substr(slash + 1);
    if (!IsStorableLocalName(name)) {
        WriteDailyLog(L"设备文件名 " + devicePath + L" 不能用作本地文件名");
        return 0;
    }
    const std::wstring localPath = JoinPath(localFolder, L'\\', name);
    UniqueHandle target(::CreateFileW(localPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                      CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!target) {
        WriteDailyLog(L"创建本地文件 " + localPath + L" 失败");
        return 0;
    }
    const ChunkProgress report(identifier, progress, L"下载文件 " + devicePath, size);
    char buffer[TransferChunkSize];
    uint64_t moved = 0;
    while (size > 0 && moved < static_cast<uint64_t>(size)) {
        // Never more than the recorded size: a file that grows meanwhile is
        // copied as it was when the copy started.
        const unsigned int wanted =
            static_cast<unsigned int>(std::min<uint64_t>(TransferChunkSize, static_cast<uint64_t>(size) - moved));
        unsigned int got = 0;
        // A read that ends early would leave a short file looking complete.
        if (!device.Read(buffer, wanted, &got) || got == 0) {
            WriteDailyLog(L"文件内容读取失败！");
            return 0;
        }
        DWORD written = 0;
        if (!::WriteFile(target.get(), buffer, got, &written, nullptr) || written != got) {
            WriteDailyLog(L"写入本地文件 " + localPath + L" 失败");
            return 0;
        }
        moved += got;
        report.Report(moved);
    }
    return 1;
}

int UploadDirectoriesAndFilesToDevice(const wchar_t* identifier, const wchar_t* localPath, const wchar_t* devicePath,
                                      ProgressCallback progress) {
    return GuardedExport(L"UploadDirectoriesAndFilesToDevice", [&] {
        if (!IsGiven(localPath) || !IsGiven(devicePath))
            return 0;
        DeviceFiles device;
        if (!device.Open(identifier))
            return 0;
        return UploadTree(identifier, device.connection(), localPath, devicePath, progress);
    });
}

int DownloadDirectoriesAndFilesFromDevice(const wchar_t* identifier, const wchar_t* devicePath,
                                          const wchar_t* localPath, ProgressCallback progress) {
    return GuardedExport(L"DownloadDirectoriesAndFilesFromDevice", [&] {
        if (!IsGiven(devicePath) || !IsGiven(localPath))
            return 0;
        DeviceFiles device;
        if (!device.Open(identifier))
            return 0;
        return DownloadTree(identifier, device.connection(), devicePath, localPath, progress);
    });
}
