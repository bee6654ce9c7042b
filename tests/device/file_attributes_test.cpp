// The value rules of a device entry's attributes and the path rules of the
// file exports, at their edges.
#include "device/file_attributes.h"
#include "device/file_trees.h"
#include "platform/localtime.h"
#include "platform/text.h"

#include <gtest/gtest.h>
#include <oleauto.h>

#include <cstdint>
#include <cstring>

namespace {

// The OLE automation date of a count of seconds since 1970 (UTC) in local
// time, computed by the system's own conversions.
double ExpectedLocalDate(int64_t seconds) {
    ULARGE_INTEGER t;
    t.QuadPart = (uint64_t(seconds) + 11644473600ULL) * 10000000ULL;
    FILETIME utc{t.LowPart, t.HighPart};
    SYSTEMTIME u, local;
    EXPECT_TRUE(::FileTimeToSystemTime(&utc, &u));
    EXPECT_TRUE(::SystemTimeToTzSpecificLocalTime(nullptr, &u, &local));
    double date = 0;
    EXPECT_TRUE(::SystemTimeToVariantTime(&local, &date));
    return date;
}

TEST(DeviceTimeValue, SecondsBelowTenToTheFifteenthNanosecondsFromThere) {
    struct Case {
        const char* text;
        int64_t seconds; // -1: rejected
    } cases[] = {
        {"0", 0},
        {"1341302400", 1341302400},          // 2012-07-03, seconds
        {"1341302400123456789", 1341302400}, // the same instant in nanoseconds
        {"1000000000000000", 1000000},       // 10^15: nanoseconds
        {"999999999999999", -1},             // just below: seconds, far beyond 3000
        {"32535215999", 32535215999},        // 3000-12-31 23:59:59 UTC
        {"32535216000", -1},                 // one second later
        {"9223372036854775807", 9223372036}, // the largest value, in nanoseconds
        {"9223372036854775808", -1},         // beyond the 64-bit range
        {"-1", -1},                          // before 1970
        {"-1341302400000000000", -1},        // negative nanoseconds
        {"", -1},
        {"soon", -1},
        {"12abc", -1}, // not a number
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        DateValue date = DateFromDeviceTime(c.text, LocalTimeZone());
        if (c.seconds < 0) {
            EXPECT_EQ(date.Status, DateValueInvalid);
            EXPECT_EQ(date.Date, 0.0);
        } else {
            EXPECT_EQ(date.Status, DateValueValid);
            EXPECT_NEAR(date.Date, ExpectedLocalDate(c.seconds), 0.5 / 86400);
        }
    }
}

TEST(DeviceTimeValue, TheCallsZoneBreaksDownAsTheSystemDoes) {
    // Every hour across two years, standard and daylight time alike.
    const LocalTimeZone zone;
    for (int64_t seconds = 1325376000; seconds < 1325376000 + 2 * 366 * 86400LL; seconds += 3600) {
        SYSTEMTIME mine, system;
        ASSERT_TRUE(zone.ToLocalTime(seconds, &mine));
        ASSERT_TRUE(UnixSecondsToLocalTime(seconds, &system));
        ASSERT_EQ(std::memcmp(&mine, &system, sizeof mine), 0) << seconds;
    }
    SYSTEMTIME unused;
    EXPECT_FALSE(zone.ToLocalTime(-1, &unused));
    EXPECT_FALSE(zone.ToLocalTime(kLatestLocalTimeSeconds + 1, &unused));
    EXPECT_TRUE(zone.ToLocalTime(kLatestLocalTimeSeconds, &unused));
}

TEST(DeviceNumbers, SizeIsAWholeSignedNumberCountsSaturate) {
    EXPECT_EQ(ParseDeviceSize("0"), 0);
    EXPECT_EQ(ParseDeviceSize("67108864"), 67108864);
    EXPECT_EQ(ParseDeviceSize("9223372036854775807"), INT64_MAX);
    EXPECT_EQ(ParseDeviceSize("9223372036854775808"), 0);
    EXPECT_EQ(ParseDeviceSize("-9223372036854775808"), INT64_MIN);
    EXPECT_EQ(ParseDeviceSize("-5"), -5);
    EXPECT_EQ(ParseDeviceSize("12 bytes"), 0);
    EXPECT_EQ(ParseDeviceSize(""), 0);
    EXPECT_EQ(ParseDeviceSize(nullptr), 0);

    EXPECT_EQ(ParseDeviceCount("8"), 8u);
    EXPECT_EQ(ParseDeviceCount("4294967295"), 4294967295u);
    EXPECT_EQ(ParseDeviceCount("4294967296"), 4294967295u);
    EXPECT_EQ(ParseDeviceCount("123456789012345678901234567890"), 4294967295u);
    EXPECT_EQ(ParseDeviceCount("17x"), 17u);
    EXPECT_EQ(ParseDeviceCount("x17"), 0u);
}

TEST(ChunkProgress, SixtyFourBitShareCappedAt100) {
    EXPECT_EQ(ChunkPercent(2048, 5000), 40u);
    EXPECT_EQ(ChunkPercent(5000, 5000), 100u);
    EXPECT_EQ(ChunkPercent(6000, 5000), 100u) << "grew meanwhile";
    EXPECT_EQ(ChunkPercent(0, 0), 100u);
    // Beyond what 32 bits hold, before and after the multiplication.
    EXPECT_EQ(ChunkPercent(50000000, 64LL << 20), 74u);
    EXPECT_EQ(ChunkPercent(3LL << 30, 4LL << 30), 75u);
    EXPECT_EQ(ChunkPercent((6LL << 30) - 1, 6LL << 30), 99u);
}

TEST(DevicePathRules, JoinNameAndExtension) {
    EXPECT_EQ(JoinDevicePath(L"/", L"var"), L"/var");
    EXPECT_EQ(JoinDevicePath(L"/var/", L"mobile"), L"/var/mobile");
    EXPECT_EQ(JoinDevicePath(L"Media", L"a"), L"Media/a");
    // One left-to-right pass: a tripled separator keeps two.
    EXPECT_EQ(CollapseDoubleSlashes(L"///a////b"), L"//a//b");

    EXPECT_EQ(NameOfDevicePath(L"/var/mobile/"), L"mobile");
    EXPECT_EQ(NameOfDevicePath(L"/var/mobile//"), L"mobile");
    EXPECT_EQ(NameOfDevicePath(L"Documents"), L"Documents");
    EXPECT_EQ(NameOfDevicePath(L"/"), L"");

    EXPECT_EQ(ExtensionOf(L"archive.tar.gz"), L"gz");
    EXPECT_EQ(ExtensionOf(L".profile"), L"profile");
    EXPECT_EQ(ExtensionOf(L"notes."), L"");
    EXPECT_EQ(ExtensionOf(L"README"), L"");

    EXPECT_TRUE(IsPlainEntryName("a b"));
    EXPECT_TRUE(IsStorableLocalName(L"照片 (1).jpg"));
    EXPECT_TRUE(IsStorableLocalName(L".profile"));
    for (const wchar_t* name : {L"", L".", L"..", L"...", L". .", L"a\\b", L"..\\x", L"a/b", L"C:x", L"a:stream", L"a*",
                                L"a?", L"a|b", L"a\"b", L"a<b", L"a>b", L"tab\t"})
        EXPECT_FALSE(IsStorableLocalName(name)) << WideToUtf8(name);
    for (const char* name : {"", ".", "..", "a/b", "/"})
        EXPECT_FALSE(IsPlainEntryName(name)) << name;
}

} // namespace
