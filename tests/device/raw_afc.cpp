#include "tests/device/raw_afc.h"

#include <algorithm>
#include <cstring>
#include <mutex>

namespace testfarm {
namespace {

struct Arrivals {
    std::mutex lock;
    std::vector<am_device*> devices;

    static void Callback(am_device_notification_callback_info* info, void* context) {
        auto* self = static_cast<Arrivals*>(context);
        if (info && info->msg == ADNCI_MSG_CONNECTED) {
            std::lock_guard<std::mutex> guard(self->lock);
            self->devices.push_back(info->dev);
        }
    }
    std::vector<am_device*> Snapshot() {
        std::lock_guard<std::mutex> guard(lock);
        return devices;
    }
};

// The announced handle of `udid`, retained; null when it doesn't come.
am_device* FindDevice(const SimulatedFarm& farm, const std::wstring& udid) {
    const DeviceCalls& md = farm.device();
    Arrivals arrivals;
    am_device_notification* subscription = nullptr;
    if (md.AMDeviceNotificationSubscribe(&Arrivals::Callback, 0, 0, &arrivals, &subscription) != 0)
        return nullptr;
    const std::string wanted(udid.begin(), udid.end()); // identifiers are ASCII
    am_device* found = nullptr;
    for (int attempt = 0; attempt < 100 && !found; ++attempt) {
        for (am_device* device : arrivals.Snapshot()) {
            CFStringRef id = md.AMDeviceCopyDeviceIdentifier(device);
            bool match = farm.values().Utf8(id) == wanted;
            if (id)
                farm.values().CFRelease(id);
            if (match) {
                found = md.AMDeviceRetain(device);
                break;
            }
        }
        if (!found)
            ::Sleep(50);
    }
    md.AMDeviceNotificationUnsubscribe(subscription);
    return found;
}

} // namespace

RawAfc::RawAfc(const SimulatedFarm& farm, const std::wstring& udid, const char* service) : m_farm(farm) {
    m_device = FindDevice(farm, udid);
    if (!m_device || md().AMDeviceConnect(m_device) != 0)
        return;
    if (!md().AMDeviceIsPaired(m_device))
        md().AMDevicePair(m_device);
    if (md().AMDeviceValidatePairing(m_device) != 0 || md().AMDeviceStartSession(m_device) != 0) {
        md().AMDeviceDisconnect(m_device);
        return;
    }
    CFStringRef name = farm.values().String(service);
    int started = md().AMDeviceStartService(m_device, name, &m_socket, nullptr);
    farm.values().CFRelease(name);
    md().AMDeviceStopSession(m_device);
    md().AMDeviceDisconnect(m_device);
    if (started != 0 || md().AFCConnectionOpen(m_socket, 0, &m_connection) != 0)
        m_connection = nullptr;
}

RawAfc::~RawAfc() {
    if (m_connection)
        md().AFCConnectionClose(m_connection);
    if (m_socket != INVALID_SOCKET)
        ::closesocket(m_socket);
    if (m_device)
        md().AMDeviceRelease(m_device);
}

std::map<std::string, std::string> RawAfc::Info(const char* path) const {
    std::map<std::string, std::string> pairs;
    afc_dictionary* list = nullptr;
    if (!m_connection || md().AFCFileInfoOpen(m_connection, path, &list) != 0)
        return pairs;
    char* key = nullptr;
    char* value = nullptr;
    while (md().AFCKeyValueRead(list, &key, &value) == 0 && key)
        pairs[key] = value ? value : "";
    md().AFCKeyValueClose(list);
    return pairs;
}

std::vector<std::string> RawAfc::List(const char* path) const {
    std::vector<std::string> names;
    afc_directory* folder = nullptr;
    if (!m_connection || md().AFCDirectoryOpen(m_connection, path, &folder) != 0)
        return names;
    char* name = nullptr;
    while (md().AFCDirectoryRead(m_connection, folder, &name) == 0 && name) {
        if (std::strcmp(name, ".") != 0 && std::strcmp(name, "..") != 0)
            names.push_back(name);
    }
    md().AFCDirectoryClose(m_connection, folder);
    return names;
}

int RawAfc::Write(const char* path, const std::string& bytes, unsigned chunk) const {
    afc_file_ref file = 0;
    int status = md().AFCFileRefOpen(m_connection, path, AFC_FOPEN_WRONLY, &file);
    if (status != 0)
        return status;
    for (size_t done = 0; done < bytes.size() && status == 0; done += chunk) {
        unsigned n = static_cast<unsigned>(std::min<size_t>(chunk, bytes.size() - done));
        status = md().AFCFileRefWrite(m_connection, file, bytes.data() + done, n);
    }
    int closed = md().AFCFileRefClose(m_connection, file);
    return status != 0 ? status : closed;
}

int RawAfc::Read(const char* path, std::string* bytes, unsigned chunk) const {
    afc_file_ref file = 0;
    int status = md().AFCFileRefOpen(m_connection, path, AFC_FOPEN_RW, &file);
    if (status != 0)
        return status;
    bytes->clear();
    std::vector<char> buffer(chunk);
    for (;;) {
        unsigned length = chunk;
        status = md().AFCFileRefRead(m_connection, file, buffer.data(), &length);
        if (status != 0 || length == 0)
            break;
        bytes->append(buffer.data(), length);
    }
    int closed = md().AFCFileRefClose(m_connection, file);
    return status != 0 ? status : closed;
}

} // namespace testfarm
