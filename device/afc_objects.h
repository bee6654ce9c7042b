// The file service's objects, each closed by its holder: an attribute list
// (AFCFileInfoOpen), an open folder (AFCDirectoryOpen), an open file
// (AFCFileRefOpen). And the one connection a file export works on. Internal
// to the library.
#pragma once

#include "device/device_access.h"
#include "platform/vendor_calls.h"

#include <functional>
#include <string>

// The key/value list of one entry's attributes.
class AfcAttributes {
  public:
    AfcAttributes() = default;
    ~AfcAttributes() { Close(); }
    AfcAttributes(const AfcAttributes&) = delete;
    AfcAttributes& operator=(const AfcAttributes&) = delete;

    // AFCFileInfoOpen on `path` (UTF-8); false when the device refuses.
    bool Open(afc_connection* connection, const std::string& path);
    // The next pair; false at the end of the list or on a read failure. A
    // missing value reads as empty text. Both texts stay valid until the
    // next call.
    bool Next(const char** key, const char** value);
    // Reads pairs up to `wanted` and gives its value; false when the list
    // ends first.
    bool Find(const char* wanted, std::string* value);
    void Close();

  private:
    afc_dictionary* m_list = nullptr;
};

// An open device folder.
class AfcFolder {
  public:
    // What one read of the folder gave: a name, the end of the folder, or a
    // failed read (a device gone, a connection cut). A failed read is never
    // the end: what it would have listed is unknown.
    enum class Read { Entry, End, Failed };

    AfcFolder() = default;
    ~AfcFolder() { Close(); }
    AfcFolder(const AfcFolder&) = delete;
    AfcFolder& operator=(const AfcFolder&) = delete;

    bool Open(afc_connection* connection, const std::string& path);
    // The next entry name other than "." and "..". Only a read that succeeds
    // and yields no name ends the folder.
    [[nodiscard]] Read Next(std::string* name);
    void Close();

  private:
    afc_connection* m_connection = nullptr;
    afc_directory* m_folder = nullptr;
};

// Hands every entry name of `folder`, opened on the device path `path`, to
// `visit` in device order until `visit` returns false. True when the folder
// was read to its end; false when `visit` stopped (it says why itself) or a
// read failed, which is logged as "读取文件目录 %s 失败" with `path`.
bool VisitFolder(AfcFolder& folder, const std::wstring& path, const std::function<bool(const std::string&)>& visit);

// An open device file.
class AfcFile {
  public:
    AfcFile() = default;
    ~AfcFile() { Close(); }
    AfcFile(const AfcFile&) = delete;
    AfcFile& operator=(const AfcFile&) = delete;

    bool Open(afc_connection* connection, const std::string& path, uint64_t mode);
    // Reads up to `wanted` bytes; false on a failure or an answer longer than
    // asked for. `*got` is 0 at the end of the file.
    bool Read(void* buffer, unsigned int wanted, unsigned int* got);
    bool Write(const void* buffer, unsigned int length);
    // Closes the file; false when the device reports a failure, which may
    // be that of a write it took in earlier (true when nothing was open).
    bool Close();

  private:
    afc_connection* m_connection = nullptr;
    afc_file_ref m_file = 0;
    bool m_open = false;
};

// The file service of one device for the length of one export call.
class DeviceFiles {
  public:
    // FindDevice, the session and the file service. False for an unknown
    // device (no log line) or a failure logged on the way.
    bool Open(const wchar_t* identifier);
    afc_connection* connection() const { return m_service.connection(); }

  private:
    DeviceRef m_device;
    FileService m_service; // closed before the device is let go
};
