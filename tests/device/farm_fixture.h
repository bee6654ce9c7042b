// The device library against a private device farm: one farm per test
// program (tests/support/farm.h), the library loaded from OrvexDevice.dll,
// bound first (so its loader finds the stand-ins on its own) and listening,
// devices made from the farm's templates and plugged in. The descriptions
// and file systems of the devices are read and changed directly through
// the farm's own code (sim/farm).
#pragma once

#include "sim/farm/farm.h"
#include "tests/device/device_dll.h"
#include "tests/support/farm.h"

#include <memory>
#include <string>

namespace devtest {

class FarmLibrary {
  public:
    // The program's farm and library (made on first use).
    static FarmLibrary& Get();

    testutil::DeviceDll& dll() { return m_dll; }
    testfarm::SimulatedFarm& simulated() { return *m_simulated; }
    const simfarm::Farm& farm() const { return *m_farm; }

    // A new device from `templateName`, plugged in; returns once the library
    // has announced it. Empty on failure.
    std::string Plug(const std::string& templateName);
    // Unplugs a device; returns once the library has announced the removal
    // and no longer finds the device.
    bool Unplug(const std::string& udid);

    simfarm::Value Description(const std::string& udid) const;
    // Changes the description under the farm's lock.
    bool Change(const std::string& udid, const simfarm::Farm::Change& change) const;
    bool SetFault(const std::string& udid, simfarm::Fault fault, int64_t amount = 1);
    bool ClearFaults(const std::string& udid);
    // A property-list file of the device's file system (Null when missing or unreadable).
    simfarm::Value DevicePlist(const std::string& udid, const std::string& path) const;

    // Stops listening, unbinds and removes the farm (at the end of the program).
    static void Shutdown();

  private:
    FarmLibrary();
    ~FarmLibrary();

    testutil::DeviceDll m_dll;
    std::unique_ptr<testfarm::SimulatedFarm> m_simulated;
    std::unique_ptr<simfarm::Farm> m_farm;
    bool m_listening = false;
};

std::wstring Wide(const std::string& utf8);

} // namespace devtest
