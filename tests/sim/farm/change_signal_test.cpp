// The farm's shared change signal: every change made through the farm lock
// moves it, and every process (here: every reader) naming the same folder,
// in whatever letter case, sees the same counter.
#include "sim/farm/farm.h"
#include "tests/support/test_util.h"

#include <gtest/gtest.h>

#include <cwctype>

namespace {

std::wstring Upper(std::wstring text) {
    for (wchar_t& c : text)
        c = static_cast<wchar_t>(std::towupper(c));
    return text;
}

TEST(ChangeSignalTest, ChangesThroughTheFarmLockMoveTheSignalOfThatFarmOnly) {
    testutil::TempDir scratch;
    simfarm::Farm farm(scratch / L"farm");
    simfarm::Farm other(scratch / L"other");
    std::string error;
    ASSERT_TRUE(farm.Prepare(&error)) << error;
    ASSERT_TRUE(other.Prepare(&error)) << error;
    simfarm::ChangeSignal watch(farm.folder());
    simfarm::ChangeSignal sameFarmOtherCase(Upper(farm.folder()));
    simfarm::ChangeSignal otherWatch(other.folder());
    ASSERT_TRUE(watch.ok() && sameFarmOtherCase.ok() && otherWatch.ok());

    const long start = watch.Read();
    const long otherStart = otherWatch.Read();
    std::string id;
    ASSERT_TRUE(farm.Create("ipod4-jailbroken", "", &id, &error)) << error;
    EXPECT_EQ(watch.Read(), start + 1);
    ASSERT_TRUE(farm.Attach(id, &error)) << error;
    ASSERT_TRUE(farm.SetFault(id, simfarm::Fault::Connect, 1, &error)) << error;
    EXPECT_EQ(watch.Read(), start + 3);
    EXPECT_EQ(sameFarmOtherCase.Read(), watch.Read()) << "one counter per farm, whatever the letter case";
    EXPECT_EQ(otherWatch.Read(), otherStart) << "another farm's signal stays";

    // A change that fails stores nothing and signals nothing.
    EXPECT_FALSE(farm.Attach("no-such-device", &error));
    EXPECT_EQ(watch.Read(), start + 3);
    ASSERT_TRUE(farm.Remove(id, &error)) << error;
    EXPECT_EQ(watch.Read(), start + 4);
}

} // namespace
