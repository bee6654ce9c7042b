// Shared pieces of the stand-in device library's tests: a farm with the
// library loaded, and short ways to open sessions and file connections
// through the library's exports.
#pragma once

#include "tests/support/farm.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace simtest {

// An owned value of the value library.
class Owned {
  public:
    Owned(const testfarm::ValueCalls& cf, CFTypeRef value) : m_cf(cf), m_value(value) {}
    ~Owned() {
        if (m_value)
            m_cf.CFRelease(m_value);
    }
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    CFTypeRef get() const { return m_value; }
    explicit operator bool() const { return m_value != nullptr; }

  private:
    const testfarm::ValueCalls& m_cf;
    CFTypeRef m_value;
};

// Collects the handles a subscription announces. Like the program, it
// keeps every announced handle retained (until ReleaseAll).
struct Announcements {
    CRITICAL_SECTION lock;
    HANDLE changed;
    const testfarm::DeviceCalls* md = nullptr;
    std::vector<std::pair<am_device*, unsigned>> events;
    std::vector<am_device*> retained;

    Announcements();
    ~Announcements();
    static void Callback(am_device_notification_callback_info* info, void* context);
    // Waits until `count` events have arrived or `milliseconds` have passed.
    bool WaitFor(size_t count, DWORD milliseconds);
    std::vector<std::pair<am_device*, unsigned>> Snapshot();
    void ReleaseAll();
};

class DeviceTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    const testfarm::DeviceCalls& md() const { return farm->device(); }
    const testfarm::ValueCalls& cf() const { return farm->values(); }

    // Subscribes and waits for the device `udid` to be announced.
    am_device* Announced(const std::wstring& udid);
    // Connect, pair when needed, validate, start a session.
    bool OpenSession(am_device* device);
    void CloseSession(am_device* device);
    // A session, the service started, the session closed, the connection
    // opened on the socket. Null on failure.
    afc_connection* OpenAfc(am_device* device, const char* service, SOCKET* socket = nullptr);
    void CloseAfc(afc_connection* connection, SOCKET socket);
    std::string Identifier(am_device* device);

    // Key/value list of an attribute or device-information read.
    std::map<std::string, std::string> ReadPairs(afc_dictionary* dict);
    std::map<std::string, std::string> Info(afc_connection* connection, const char* path, int* status = nullptr);
    std::vector<std::string> List(afc_connection* connection, const char* path, int* status = nullptr);
    int WriteFile(afc_connection* connection, const char* path, const std::string& bytes);
    int ReadFile(afc_connection* connection, const char* path, std::string* bytes, uint64_t mode = 2);

    std::unique_ptr<testfarm::SimulatedFarm> farm;
    Announcements announcements;
    am_device_notification* subscription = nullptr;
    std::vector<SOCKET> sockets;
};

} // namespace simtest
