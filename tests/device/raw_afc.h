// The stand-in device library's file service reached directly, without the
// device library: the reference the file exports are compared with (device
// order of a listing, raw transfer speed).
#pragma once

#include "tests/support/farm.h"

#include <map>
#include <string>
#include <vector>

namespace testfarm {

class RawAfc {
  public:
    // A session on the device `udid` of `farm`, the service started, the
    // session ended and the connection opened, as the vendor's callers do.
    RawAfc(const SimulatedFarm& farm, const std::wstring& udid, const char* service = "com.apple.afc2");
    ~RawAfc();
    RawAfc(const RawAfc&) = delete;
    RawAfc& operator=(const RawAfc&) = delete;

    bool ok() const { return m_connection != nullptr; }
    afc_connection* connection() const { return m_connection; }
    const DeviceCalls& md() const { return m_farm.device(); }

    // The attributes of an entry as the device gives them; empty when it
    // refuses.
    std::map<std::string, std::string> Info(const char* path) const;
    // Entry names in the order the device gives them, "." and ".." left out.
    std::vector<std::string> List(const char* path) const;
    // Whole files moved in chunks of `chunk` bytes; 0 on success.
    int Write(const char* path, const std::string& bytes, unsigned chunk = 2048) const;
    int Read(const char* path, std::string* bytes, unsigned chunk = 2048) const;

  private:
    const SimulatedFarm& m_farm;
    am_device* m_device = nullptr;
    SOCKET m_socket = INVALID_SOCKET;
    afc_connection* m_connection = nullptr;
};

} // namespace testfarm
