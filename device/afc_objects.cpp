#include "device/afc_objects.h"

#include "platform/log.h"

#include <cstring>

bool AfcAttributes::Open(afc_connection* connection, const std::string& path) {
    Close();
    afc_dictionary* list = nullptr;
    if (vendor::AFCFileInfoOpen(connection, path.c_str(), &list) != 0 || !list)
        return false;
    m_list = list;
    return true;
}

bool AfcAttributes::Next(const char** key, const char** value) {
    if (!m_list)
        return false;
    char* k = nullptr;
    char* v = nullptr;
    if (vendor::AFCKeyValueRead(m_list, &k, &v) != 0 || !k)
        return false;
    *key = k;
    *value = v ? v : "";
    return true;
}

bool AfcAttributes::Find(const char* wanted, std::string* value) {
    const char* key;
    const char* text;
    while (Next(&key, &text)) {
        if (std::strcmp(key, wanted) == 0) {
            *value = text;
            return true;
        }
    }
    return false;
}

void AfcAttributes::Close() {
    if (m_list)
        vendor::AFCKeyValueClose(m_list);
    m_list = nullptr;
}

bool AfcFolder::Open(afc_connection* connection, const std::string& path) {
    Close();
    afc_directory* folder = nullptr;
    if (vendor::AFCDirectoryOpen(connection, path.c_str(), &folder) != 0 || !folder)
        return false;
    m_connection = connection;
    m_folder = folder;
    return true;
}

AfcFolder::Read AfcFolder::Next(std::string* name) {
    if (!m_folder)
        return Read::Failed;
    for (;;) {
        char* entry = nullptr;
        if (vendor::AFCDirectoryRead(m_connection, m_folder, &entry) != 0)
            return Read::Failed;
        if (!entry)
            return Read::End;
        if (std::strcmp(entry, ".") != 0 && std::strcmp(entry, "..") != 0) {
            *name = entry;
            return Read::Entry;
        }
    }
}

bool VisitFolder(AfcFolder& folder, const std::wstring& path, const std::function<bool(const std::string&)>& visit) {
    std::string name;
    for (;;) {
        switch (folder.Next(&name)) {
        case AfcFolder::Read::End:
            return true;
        case AfcFolder::Read::Failed:
            WriteDailyLog(L"读取文件目录 " + path + L" 失败");
            return false;
        case AfcFolder::Read::Entry:
            if (!visit(name))
                return false;
            break;
        }
    }
}

void AfcFolder::Close() {
    if (m_folder)
        vendor::AFCDirectoryClose(m_connection, m_folder);
    m_folder = nullptr;
    m_connection = nullptr;
}

bool AfcFile::Open(afc_connection* connection, const std::string& path, uint64_t mode) {
    Close();
    afc_file_ref file = 0;
    if (vendor::AFCFileRefOpen(connection, path.c_str(), mode, &file) != 0)
        return false;
    m_connection = connection;
    m_file = file;
    m_open = true;
    return true;
}

bool AfcFile::Read(void* buffer, unsigned int wanted, unsigned int* got) {
    *got = 0;
    if (!m_open)
        return false;
    unsigned int length = wanted;
    if (vendor::AFCFileRefRead(m_connection, m_file, buffer, &length) != 0 || length > wanted)
        return false;
    *got = length;
    return true;
}

bool AfcFile::Write(const void* buffer, unsigned int length) {
    return m_open && vendor::AFCFileRefWrite(m_connection, m_file, buffer, length) == 0;
}

bool AfcFile::Close() {
    const bool closed = !m_open || vendor::AFCFileRefClose(m_connection, m_file) == 0;
    m_open = false;
    m_file = 0;
    m_connection = nullptr;
    return closed;
}

bool DeviceFiles::Open(const wchar_t* identifier) {
    m_device = FindDevice(identifier);
    if (!m_device)
        return false;
    DeviceSession session(m_device.get());
    return session.Open() && OpenFileService(session, &m_service);
}
