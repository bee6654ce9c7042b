#include "tests/sim/wire/wire_fixture.h"

#include "platform/text.h"

namespace wiretest {

void WireTest::SetUp() {
    simtest::DeviceTest::SetUp();
    if (HasFatalFailure())
        return;
    udid = farm->Create(testfarm::kIPhone4S);
    ASSERT_FALSE(udid.empty()) << WideToUtf8(farm->LastError().c_str());
}

std::string WireTest::udid8() const { return WideToUtf8(udid.c_str()); }

simwire::ServiceContext WireTest::Context() const { return simwire::ServiceContext{farm->folder(), udid8()}; }

std::unique_ptr<ServedConnection> WireTest::ServeFiles(bool privileged) {
    simwire::ServiceContext context = Context();
    auto served = std::make_unique<ServedConnection>(
        [context, privileged](simwire::Stream& stream) { simwire::ServeFileService(stream, context, privileged); });
    EXPECT_TRUE(served->ok());
    return served;
}

std::unique_ptr<ServedConnection> WireTest::ServeProxy() {
    simwire::ServiceContext context = Context();
    auto served = std::make_unique<ServedConnection>(
        [context](simwire::Stream& stream) { simwire::ServeInstallationProxy(stream, context); });
    EXPECT_TRUE(served->ok());
    return served;
}

std::unique_ptr<ServedConnection> WireTest::ServeMisagent() {
    simwire::ServiceContext context = Context();
    auto served = std::make_unique<ServedConnection>(
        [context](simwire::Stream& stream) { simwire::ServeMisagent(stream, context); });
    EXPECT_TRUE(served->ok());
    return served;
}

simfarm::Value WireTest::Description() const {
    simfarm::Value d;
    simfarm::Farm(farm->folder()).Load(udid8(), &d);
    return d;
}

} // namespace wiretest
