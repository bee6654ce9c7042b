// The file service's objects, each closed by its holder: an attribute list
// (AFCFileInfoOpen), an open folder (AFCDirectoryOpen), an open file
// (AFCFileRefOpen). And the one connection a file export works on. Internal
// to the library.
#pragma once

#include "device/device_access.h"
#include "platform/vendor_calls.h"

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
    AfcFolder() = default;
    ~AfcFolder() { Close(); }
    AfcFolder(const AfcFolder&) = delete;
    AfcFolder& operator=(const AfcFolder&) = delete;

    bool Open(afc_connection* connection, const std::string& path);
    // The next entry name other than "." and ".."; false at the end.
    bool Next(std::string* name);
    void Close();

  private:
    afc_connection* m_connection = nullptr;
    afc_directory* m_folder = nullptr;
};

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
    void Close();

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
