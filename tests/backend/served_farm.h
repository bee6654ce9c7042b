// `devicesim serve` on a farm of its own, for tests of the backend: the
// server started in the background with the multiplexer variable pointing
// at it, and the farm's device as the backend announces it.
#pragma once

#include "platform/handles.h"
#include "platform/vendor_abi.h"
#include "sim/farm/plist.h"
#include "tests/sim/wire/wire_support.h"

#include <memory>
#include <string>

namespace backendtest {

// The backend's implementation of the device library's call `name`.
template <typename Function> Function Call(const char* name);

class ServedFarm {
  public:
    ServedFarm();
    ~ServedFarm(); // closes the server's input, which stops it
    ServedFarm(const ServedFarm&) = delete;
    ServedFarm& operator=(const ServedFarm&) = delete;

    bool ok() const { return m_device != nullptr; }
    const std::string& error() const { return m_error; }
    const wiretest::ScratchFarm& farm() const { return m_farm; }
    am_device* device() const { return m_device; }

    // The device's description as the farm holds it now.
    simfarm::Value Description() const;
    // A file of the device's tree, as the farm holds it.
    std::string DeviceFile(const std::string& path) const;

  private:
    bool Start();
    bool WaitForDevice();

    wiretest::ScratchFarm m_farm;
    UniqueHandle m_process, m_input, m_output;
    am_device* m_device = nullptr;
    std::string m_error;
};

// A lockdown session on the device, open for the object's life, as the
// device library opens one around a service start.
class Session {
  public:
    explicit Session(am_device* device);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;
    bool ok() const { return m_open; }

  private:
    am_device* m_device;
    bool m_open = false;
};

} // namespace backendtest

#include "backend/backend.h"

template <typename Function> Function backendtest::Call(const char* name) {
    return reinterpret_cast<Function>(const_cast<void*>(backend::DeviceAddress(name)));
}
