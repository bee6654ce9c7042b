// What every device export shares: finding an attached device by its
// identifier, opening a session on it, and opening its file service. Internal
// to the library (not exported).
//
// A device export runs like this:
//
//     DeviceRef device = FindDevice(identifier);
//     if (!device)
//         return 0;                      // unknown device: no log line
//     DeviceSession session(device.get());
//     if (!session.Open())
//         return 0;                      // logged by Open
//     ... lockdown reads ...
//     FileService afc;
//     if (!OpenFileService(session, &afc))
//         return 0;                      // logged; the session is closed either way
//     ... file traffic on afc.connection() ...
//     return 1;                          // afc and session close themselves
#pragma once

#include "platform/vendor_abi.h"

#include <memory>
#include <string>

// ---- the device list -----------------------------------------------------------

// A device of the list. Holding it keeps the vendor handle valid (retained),
// even when the device is removed from the list meanwhile.
class DeviceRef {
  public:
    DeviceRef() = default;
    explicit DeviceRef(std::shared_ptr<am_device> handle) : m_handle(std::move(handle)) {}
    am_device* get() const { return m_handle.get(); }
    explicit operator bool() const { return m_handle != nullptr; }

  private:
    std::shared_ptr<am_device> m_handle;
};

// The attached device whose unique identifier equals `identifier` code unit
// by code unit (case-sensitive); none for null or empty text or no match.
DeviceRef FindDevice(const wchar_t* identifier);

// The unique identifier of a device, read from the handle (never stored).
std::wstring CopyDeviceIdentifier(am_device* device);

// The callback given to the vendor library's notification subscription.
void OnDeviceNotification(am_device_notification_callback_info* info, void* context);

// Stops listening (if listening) and forgets every listed device, releasing
// its handle. Called before the vendor libraries are unloaded: the handles
// and the subscription belong to them.
void ForgetDevices();

// ---- sessions ------------------------------------------------------------------

// Connect, pair when not paired, validate the pairing, start a session.
// Logs "连接设备失败！", "设备配对失败。" or "开始会话失败。" on failure
// (and disconnects when it had connected).
bool OpenDeviceSession(am_device* device);
// AMDeviceStopSession, then AMDeviceDisconnect.
void CloseDeviceSession(am_device* device);

// A session that closes itself.
class DeviceSession {
  public:
    explicit DeviceSession(am_device* device) : m_device(device) {}
    ~DeviceSession() { Close(); }
    DeviceSession(const DeviceSession&) = delete;
    DeviceSession& operator=(const DeviceSession&) = delete;

    bool Open() {
        Close();
        m_open = OpenDeviceSession(m_device);
        return m_open;
    }
    void Close() {
        if (m_open)
            CloseDeviceSession(m_device);
        m_open = false;
    }
    bool IsOpen() const { return m_open; }
    am_device* device() const { return m_device; }

  private:
    am_device* m_device;
    bool m_open = false;
};

// ---- the file service ----------------------------------------------------------

// An open file-service connection with its socket; closes both when it goes
// away (CloseFileService).
class FileService {
  public:
    FileService() = default;
    ~FileService();
    FileService(const FileService&) = delete;
    FileService& operator=(const FileService&) = delete;

    afc_connection* connection() const { return m_connection; }
    // The privileged service "com.apple.afc2" was obtained.
    bool privileged() const { return m_privileged; }
    // One of the two services was started. After a failed OpenFileService
    // this and privileged() still tell how far it got (the jailbreak test
    // needs to know even when the file connection then failed).
    bool started() const { return m_started; }
    bool IsOpen() const { return m_connection != nullptr; }

  private:
    friend bool OpenFileService(DeviceSession& session, FileService* service);
    friend void CloseFileService(FileService* service);
    afc_connection* m_connection = nullptr;
    SOCKET m_socket = INVALID_SOCKET;
    bool m_privileged = false;
    bool m_started = false;
};

// Run inside an open session: starts "com.apple.afc2", else "com.apple.afc",
// ends the session (on success and failure alike), then opens the file
// connection on the service's socket. Logs "建立文件服务失败." or
// "建立文件连接失败." on failure.
bool OpenFileService(DeviceSession& session, FileService* service);
// AFCConnectionClose, then closesocket.
void CloseFileService(FileService* service);
