// Sessions on a device and its file service, the same steps in every device
// export. The session is held only while lockdown values are read or a
// service is started; file traffic runs after it has ended.
#include "device/device_access.h"
#include "platform/cf_ref.h"
#include "platform/log.h"

bool OpenDeviceSession(am_device* device) {
    if (!device)
        return false;
    if (vendor::AMDeviceConnect(device) != 0) {
        WriteDailyLog(L"连接设备失败！");
        return false;
    }
    if (vendor::AMDeviceIsPaired(device) == 0)
        vendor::AMDevicePair(device); // the validation below tells whether it worked
    if (vendor::AMDeviceValidatePairing(device) != 0) {
        WriteDailyLog(L"设备配对失败。");
        vendor::AMDeviceDisconnect(device);
        return false;
    }
    if (vendor::AMDeviceStartSession(device) != 0) {
        WriteDailyLog(L"开始会话失败。");
        vendor::AMDeviceDisconnect(device);
        return false;
    }
    return true;
}

void CloseDeviceSession(am_device* device) {
    if (!device)
        return;
    vendor::AMDeviceStopSession(device);
    vendor::AMDeviceDisconnect(device);
}

namespace {

bool StartService(am_device* device, const char* name, SOCKET* socket) {
    *socket = INVALID_SOCKET;
    return vendor::AMDeviceStartService(device, CFConstant(name), socket, nullptr) == 0;
}

} // namespace

bool OpenFileService(DeviceSession& session, FileService* service) {
    if (!service || !session.IsOpen())
        return false;
    CloseFileService(service);
    am_device* device = session.device();
    SOCKET socket = INVALID_SOCKET;
    bool privileged = StartService(device, "com.apple.afc2", &socket);
    if (!privileged && !StartService(device, "com.apple.afc", &socket)) {
        WriteDailyLog(L"建立文件服务失败.");
        session.Close();
        return false;
    }
    service->m_started = true;
    service->m_privileged = privileged;
    // The service socket stays usable after the session ends.
    session.Close();
    afc_connection* connection = nullptr;
    if (vendor::AFCConnectionOpen(socket, 0, &connection) != 0 || !connection) {
        WriteDailyLog(L"建立文件连接失败.");
        ::closesocket(socket);
        return false;
    }
    service->m_connection = connection;
    service->m_socket = socket;
    return true;
}

void CloseFileService(FileService* service) {
    if (!service)
        return;
    if (service->m_connection)
        vendor::AFCConnectionClose(service->m_connection);
    if (service->m_socket != INVALID_SOCKET)
        ::closesocket(service->m_socket);
    service->m_connection = nullptr;
    service->m_socket = INVALID_SOCKET;
    service->m_privileged = false;
    service->m_started = false;
}

FileService::~FileService() { CloseFileService(this); }
