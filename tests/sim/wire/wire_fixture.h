// A farm with the stand-in loaded (to check both ways in agree) and the
// device services served on in-process loopback connections.
#pragma once

#include "sim/farm/farm.h"
#include "tests/sim/farm/device_fixture.h"
#include "tests/sim/wire/wire_support.h"

#include <memory>

namespace wiretest {

class WireTest : public simtest::DeviceTest {
  protected:
    void SetUp() override;

    simwire::ServiceContext Context() const;
    std::unique_ptr<ServedConnection> ServeFiles(bool privileged);
    std::unique_ptr<ServedConnection> ServeProxy();
    std::unique_ptr<ServedConnection> ServeMisagent();

    // The device's description as the farm holds it now.
    simfarm::Value Description() const;
    std::string udid8() const;

    std::wstring udid; // a jailbroken handset, plugged in
};

} // namespace wiretest
