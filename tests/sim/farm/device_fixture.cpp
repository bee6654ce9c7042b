#include "tests/sim/farm/device_fixture.h"

#include "platform/text.h"

namespace simtest {

Announcements::Announcements() {
    ::InitializeCriticalSection(&lock);
    changed = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
}

Announcements::~Announcements() {
    ::CloseHandle(changed);
    ::DeleteCriticalSection(&lock);
}

void Announcements::Callback(am_device_notification_callback_info* info, void* context) {
    auto* self = static_cast<Announcements*>(context);
    ::EnterCriticalSection(&self->lock);
    self->events.emplace_back(info->dev, info->msg);
    if (info->msg == ADNCI_MSG_CONNECTED && self->md && self->md->AMDeviceRetain(info->dev))
        self->retained.push_back(info->dev);
    ::LeaveCriticalSection(&self->lock);
    ::SetEvent(self->changed);
}

bool Announcements::WaitFor(size_t count, DWORD milliseconds) {
    DWORD start = ::GetTickCount();
    for (;;) {
        if (Snapshot().size() >= count)
            return true;
        DWORD spent = ::GetTickCount() - start;
        if (spent >= milliseconds)
            return false;
        ::WaitForSingleObject(changed, milliseconds - spent);
    }
}

std::vector<std::pair<am_device*, unsigned>> Announcements::Snapshot() {
    ::EnterCriticalSection(&lock);
    auto copy = events;
    ::LeaveCriticalSection(&lock);
    return copy;
}

void Announcements::ReleaseAll() {
    ::EnterCriticalSection(&lock);
    std::vector<am_device*> handles;
    handles.swap(retained);
    ::LeaveCriticalSection(&lock);
    for (am_device* handle : handles)
        md->AMDeviceRelease(handle);
}

void DeviceTest::SetUp() {
    farm = std::make_unique<testfarm::SimulatedFarm>();
    ASSERT_TRUE(farm->ok()) << WideToUtf8(farm->error().c_str());
    announcements.md = &farm->device();
}

void DeviceTest::TearDown() {
    if (subscription)
        md().AMDeviceNotificationUnsubscribe(subscription);
    subscription = nullptr;
    if (announcements.md)
        announcements.ReleaseAll();
    for (SOCKET s : sockets)
        ::closesocket(s);
    farm.reset();
}

std::string DeviceTest::Identifier(am_device* device) {
    Owned id(cf(), md().AMDeviceCopyDeviceIdentifier(device));
    return cf().Utf8(id.get());
}

am_device* DeviceTest::Announced(const std::wstring& udid) {
    if (!subscription &&
        md().AMDeviceNotificationSubscribe(&Announcements::Callback, 0, 0, &announcements, &subscription) != 0)
        return nullptr;
    std::string wanted = WideToUtf8(udid.c_str());
    DWORD start = ::GetTickCount();
    while (::GetTickCount() - start < 5000) {
        for (const auto& event : announcements.Snapshot()) {
            if (event.second == ADNCI_MSG_CONNECTED && Identifier(event.first) == wanted)
                return event.first;
        }
        ::WaitForSingleObject(announcements.changed, 100);
    }
    return nullptr;
}

bool DeviceTest::OpenSession(am_device* device) {
    if (md().AMDeviceConnect(device) != 0)
        return false;
    if (!md().AMDeviceIsPaired(device))
        md().AMDevicePair(device);
    if (md().AMDeviceValidatePairing(device) != 0 || md().AMDeviceStartSession(device) != 0) {
        md().AMDeviceDisconnect(device);
        return false;
    }
    return true;
}

void DeviceTest::CloseSession(am_device* device) {
    md().AMDeviceStopSession(device);
    md().AMDeviceDisconnect(device);
}

afc_connection* DeviceTest::OpenAfc(am_device* device, const char* service, SOCKET* socket) {
    if (!OpenSession(device))
        return nullptr;
    Owned name(cf(), cf().String(service));
    SOCKET s = INVALID_SOCKET;
    int status = md().AMDeviceStartService(device, static_cast<CFStringRef>(name.get()), &s, nullptr);
    CloseSession(device);
    if (status != 0)
        return nullptr;
    afc_connection* connection = nullptr;
    if (md().AFCConnectionOpen(s, 0, &connection) != 0) {
        ::closesocket(s);
        return nullptr;
    }
    if (socket)
        *socket = s;
    else
        sockets.push_back(s);
    return connection;
}

void DeviceTest::CloseAfc(afc_connection* connection, SOCKET socket) {
    md().AFCConnectionClose(connection);
    ::closesocket(socket);
}

std::map<std::string, std::string> DeviceTest::ReadPairs(afc_dictionary* dict) {
    std::map<std::string, std::string> pairs;
    char* key = nullptr;
    char* value = nullptr;
    while (md().AFCKeyValueRead(dict, &key, &value) == 0 && key)
        pairs[key] = value ? value : "";
    md().AFCKeyValueClose(dict);
    return pairs;
}

std::map<std::string, std::string> DeviceTest::Info(afc_connection* connection, const char* path, int* status) {
    afc_dictionary* dict = nullptr;
    int result = md().AFCFileInfoOpen(connection, path, &dict);
    if (status)
        *status = result;
    if (result != 0)
        return {};
    return ReadPairs(dict);
}

std::vector<std::string> DeviceTest::List(afc_connection* connection, const char* path, int* status) {
    afc_directory* dir = nullptr;
    int result = md().AFCDirectoryOpen(connection, path, &dir);
    if (status)
        *status = result;
    std::vector<std::string> names;
    if (result != 0)
        return names;
    char* name = nullptr;
    while (md().AFCDirectoryRead(connection, dir, &name) == 0 && name)
        names.push_back(name);
    md().AFCDirectoryClose(connection, dir);
    return names;
}

int DeviceTest::WriteFile(afc_connection* connection, const char* path, const std::string& bytes) {
    afc_file_ref ref = 0;
    int status = md().AFCFileRefOpen(connection, path, AFC_FOPEN_WRONLY, &ref);
    if (status != 0)
        return status;
    for (size_t done = 0; done < bytes.size() && status == 0; done += 2048) {
        unsigned n = static_cast<unsigned>(std::min<size_t>(2048, bytes.size() - done));
        status = md().AFCFileRefWrite(connection, ref, bytes.data() + done, n);
    }
    int closed = md().AFCFileRefClose(connection, ref);
    return status != 0 ? status : closed;
}

int DeviceTest::ReadFile(afc_connection* connection, const char* path, std::string* bytes, uint64_t mode) {
    afc_file_ref ref = 0;
    int status = md().AFCFileRefOpen(connection, path, mode, &ref);
    if (status != 0)
        return status;
    bytes->clear();
    char buffer[2048];
    for (;;) {
        unsigned length = sizeof buffer;
        status = md().AFCFileRefRead(connection, ref, buffer, &length);
        if (status != 0 || length == 0)
            break;
        bytes->append(buffer, length);
    }
    int closed = md().AFCFileRefClose(connection, ref);
    return status != 0 ? status : closed;
}

} // namespace simtest
