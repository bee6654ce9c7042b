// orvexctl's parts on their own: the command line, the JSON writer, the
// record tables and dates, device selection, progress arithmetic, the
// daily-log watch and the binding of the library's exports.
#include "tests/support/test_util.h"
#include "tools/orvexctl/command_line.h"
#include "tools/orvexctl/daily_log.h"
#include "tools/orvexctl/device_api.h"
#include "tools/orvexctl/devices.h"
#include "tools/orvexctl/doctor.h"
#include "tools/orvexctl/json.h"
#include "tools/orvexctl/progress.h"
#include "tools/orvexctl/records.h"
#include "tools/orvexctl/vendor_check.h"

#include <winsock2.h>

#include <gtest/gtest.h>
#include <shlobj.h>

#include <array>
#include <atomic>
#include <climits>
#include <cstring>
#include <thread>

namespace {

using namespace orvexctl;

std::string Narrow(const std::wstring& text) { return ToUtf8(text); }

// ---- command line -----------------------------------------------------------------

struct LineCase {
    std::vector<std::wstring> words;
    bool ok;
    std::wstring command, udid;
    std::vector<std::wstring> arguments;
    bool json, quiet;
    unsigned waitMilliseconds;
};

TEST(CommandLine, OptionsGoAnywhereBeforeTheEnd) {
    const LineCase cases[] = {
        {{L"list"}, true, L"list", L"", {}, false, false, 0},
        {{L"-u", L"abc", L"info", L"--json"}, true, L"info", L"abc", {}, true, false, 0},
        {{L"info", L"--udid=abc", L"-q"}, true, L"info", L"abc", {}, false, true, 0},
        {{L"--wait", L"2.5", L"list"}, true, L"list", L"", {}, false, false, 2500},
        {{L"--wait=0", L"list"}, true, L"list", L"", {}, false, false, 0},
        {{L"push", L"a", L"--", L"-b"}, true, L"push", L"", {L"a", L"-b"}, false, false, 0},
        {{L"rm", L"-"}, true, L"rm", L"", {L"-"}, false, false, 0},
        {{L"mv", L"/a", L"/b", L"--quiet"}, true, L"mv", L"", {L"/a", L"/b"}, false, true, 0},
        {{L"-u"}, false},
        {{L"-u", L"", L"info"}, false},
        {{L"--wait", L"soon", L"list"}, false},
        {{L"--wait", L"-1", L"list"}, false},
        {{L"--wait", L"100000", L"list"}, false},
        {{L"--json=yes", L"info"}, false},
        {{L"--verbose", L"info"}, false},
    };
    for (const LineCase& c : cases) {
        Options options;
        std::wstring error;
        std::string line;
        for (const auto& word : c.words)
            line += Narrow(word) + " ";
        ASSERT_EQ(ParseCommandLine(c.words, &options, &error), c.ok) << line;
        if (!c.ok) {
            EXPECT_FALSE(error.empty()) << line;
            continue;
        }
        EXPECT_EQ(options.command, c.command) << line;
        EXPECT_EQ(options.udid, c.udid) << line;
        EXPECT_EQ(options.arguments, c.arguments) << line;
        EXPECT_EQ(options.json, c.json) << line;
        EXPECT_EQ(options.quiet, c.quiet) << line;
        EXPECT_EQ(options.waitMilliseconds, c.waitMilliseconds) << line;
    }
}

// ---- JSON -----------------------------------------------------------------------------

TEST(Json, QuotesEverythingJsonCannotCarryRaw) {
    EXPECT_EQ(JsonQuote(L"a\"b\\c"), L"\"a\\\"b\\\\c\"");
    EXPECT_EQ(JsonQuote(L"1\n2\r3\t4\x01"), L"\"1\\n2\\r3\\t4\\u0001\"");
    EXPECT_EQ(JsonQuote(L"王小明 \U0001F600"), L"\"王小明 \U0001F600\""); // a pair stays a pair
    EXPECT_EQ(JsonQuote(std::wstring(1, wchar_t(0xD800)) + L"x"), L"\"\\ud800x\"");
    EXPECT_EQ(JsonQuote(std::wstring(1, wchar_t(0xDC00))), L"\"\\udc00\"");
}

TEST(Json, NestsWithCommasAndIndentation) {
    JsonWriter json;
    json.BeginObject();
    json.Key(L"a");
    json.Number(int64_t(-9223372036854775807LL - 1));
    json.Key(L"b");
    json.BeginArray(true);
    json.Number(uint64_t(18446744073709551615ULL));
    json.Bool(false);
    json.Null();
    json.EndArray();
    json.Key(L"c");
    json.BeginArray();
    json.EndArray();
    json.Key(L"d");
    json.BeginArray();
    json.BeginObject();
    json.EndObject();
    json.String(L"x");
    json.EndArray();
    json.EndObject();
    EXPECT_EQ(json.Text(), L"{\n"
                           L"  \"a\": -9223372036854775808,\n"
                           L"  \"b\": [18446744073709551615, false, null],\n"
                           L"  \"c\": [],\n"
                           L"  \"d\": [\n"
                           L"    {},\n"
                           L"    \"x\"\n"
                           L"  ]\n"
                           L"}\n");
}

// ---- records ---------------------------------------------------------------------------

TEST(Records, OleDatesBreakIntoCalendarTime) {
    struct {
        double date;
        const char* expected; // empty: out of range
    } cases[] = {
        {0.0, "1899-12-30T00:00:00"},
        {25569.0, "1970-01-01T00:00:00"},
        {41085.5, "2012-06-25T12:00:00"},
        {41085.0 + 45296.0 / 86400.0, "2012-06-25T12:34:56"},
        {41085.0 + 86399.9999 / 86400.0, "2012-06-26T00:00:00"}, // rounds into the next day
        {60.0, "1900-02-28T00:00:00"},
        {61.0, "1900-03-01T00:00:00"},
        {36585.0, "2000-02-29T00:00:00"},
        {-1.25, "1899-12-29T06:00:00"},
        {2958465.0, "9999-12-31T00:00:00"},
        {2958466.0, ""},
        {-700000.0, ""},
    };
    for (const auto& c : cases) {
        DateValue value{c.date, DateValueValid};
        EXPECT_EQ(Narrow(IsoDate(value)), c.expected) << c.date;
    }
    EXPECT_EQ(IsoDate(DateValue{41085.5, DateValueInvalid}), L"");
    EXPECT_EQ(ShortDate(DateValue{41085.5, DateValueValid}), L"2012-06-25 12:00");
    EXPECT_EQ(ShortDate(DateValue{0, DateValueInvalid}), L"-");
}

TEST(Records, EveryFieldIsWrittenWithItsType) {
    __IOS_FILE file{};
    std::wcscpy(file.Name, L"照片.jpg");
    std::wcscpy(file.Path, L"/var/mobile/照片.jpg");
    std::wcscpy(file.Extension, L"jpg");
    file.Type = 2;
    file.Size = INT64_MAX;
    file.Blocks = UINT32_MAX;
    file.LinkCount = 1;
    file.CreationTime = {41085.5, DateValueValid};
    file.ModificationTime = {0, DateValueInvalid};
    std::wcscpy(file.LinkTarget, L"../x");
    JsonWriter json;
    json.BeginObject();
    WriteFields(json, &file, kFileFields);
    json.EndObject();
    EXPECT_EQ(json.Text(), L"{\n"
                           L"  \"Name\": \"照片.jpg\",\n"
                           L"  \"Path\": \"/var/mobile/照片.jpg\",\n"
                           L"  \"Extension\": \"jpg\",\n"
                           L"  \"Type\": 2,\n"
                           L"  \"Size\": 9223372036854775807,\n"
                           L"  \"Blocks\": 4294967295,\n"
                           L"  \"LinkCount\": 1,\n"
                           L"  \"CreationTime\": \"2012-06-25T12:00:00\",\n"
                           L"  \"ModificationTime\": null,\n"
                           L"  \"LinkTarget\": \"../x\"\n"
                           L"}\n");
}

TEST(Records, TablesFollowTheRecordsAndTheirKinds) {
    auto device = std::make_unique<__IOS_DEVICE>();
    std::memset(device.get(), 0, sizeof(__IOS_DEVICE));
    device->IsJailbroken = 1;
    device->TotalDataCapacity = 9007199254740993LL; // not a double
    for (int i = 0; i < 48; ++i)
        device->ProximitySensorCalibration[i] = static_cast<uint8_t>(i * 5);
    // A text field filled to the brim, without a terminator, ends at the field.
    std::wmemset(device->UniqueChipID, L'7', std::size(device->UniqueChipID));
    std::wcscpy(device->DeviceName, L"x");
    EXPECT_EQ(FieldText(device.get(), *FindField(kDeviceFields, L"UniqueChipID")), std::wstring(40, L'7'));
    EXPECT_EQ(FieldText(device.get(), *FindField(kDeviceFields, L"IsJailbroken")), L"yes");
    EXPECT_EQ(FieldText(device.get(), *FindField(kDeviceFields, L"PasswordProtected")), L"no");
    EXPECT_EQ(FieldText(device.get(), *FindField(kDeviceFields, L"TotalDataCapacity")), L"9007199254740993");
    std::wstring hex = FieldText(device.get(), *FindField(kDeviceFields, L"ProximitySensorCalibration"));
    ASSERT_EQ(hex.size(), 96u);
    EXPECT_EQ(hex.substr(0, 8), L"00050a0f");
    EXPECT_EQ(hex.substr(94), L"eb");
    EXPECT_EQ(kDeviceFields.back().offset, offsetof(__IOS_DEVICE, WebAppCacheUsage));
    EXPECT_EQ(FindField(kDeviceFields, L"NoSuchField"), nullptr);

    __IOS_APP app{};
    app.SubgenreIds[0] = 6014;
    app.SubgenreIds[2] = 7001;
    EXPECT_EQ(FieldText(&app, *FindField(kAppFields, L"SubgenreIds")), L"6014,0,7001");
    EXPECT_EQ(FindField(kAppFields, L"SubgenreIds")->count, 20u);
    EXPECT_EQ(FindField(kAppFields, L"Subgenres")->count, 600u);

    __IOS_BATTERY battery{1, 87, 0, 1, 1};
    JsonWriter json;
    json.BeginObject();
    WriteFields(json, &battery, kBatteryFields);
    json.EndObject();
    EXPECT_EQ(json.Text(), L"{\n  \"FullyCharged\": true,\n  \"BatteryCurrentCapacity\": 87,\n"
                           L"  \"ExternalChargeCapable\": false,\n  \"BatteryIsCharging\": true,\n"
                           L"  \"ExternalConnected\": true\n}\n");
}

TEST(Records, ByteCountsForPeople) {
    EXPECT_EQ(FormatBytes(0), L"0 B");
    EXPECT_EQ(FormatBytes(1023), L"1023 B");
    EXPECT_EQ(FormatBytes(1024), L"1.00 KB");
    EXPECT_EQ(FormatBytes(1536), L"1.50 KB");
    EXPECT_EQ(FormatBytes(3 * 1024 * 1024), L"3.00 MB");
    EXPECT_EQ(FormatBytes(1ULL << 40), L"1.00 TB");
    EXPECT_EQ(FormatBytes(1ULL << 50), L"1024.00 TB");
}

// ---- device selection -------------------------------------------------------------------

TEST(Selection, OneAttachedDeviceNeedsNoName) {
    struct {
        std::vector<std::wstring> attached;
        std::wstring wanted;
        int exitCode;
        std::wstring udid;
    } cases[] = {
        {{L"aa"}, L"", 0, L"aa"},      {{L"aa", L"bb"}, L"bb", 0, L"bb"}, {{}, L"", 1, L""},
        {{}, L"aa", 1, L""},           {{L"aa"}, L"AA", 1, L""}, // matched exactly, as the library does
        {{L"aa", L"bb"}, L"", 2, L""},
    };
    for (const auto& c : cases) {
        Selection s = SelectDevice(c.attached, c.wanted);
        EXPECT_EQ(s.exitCode, c.exitCode) << Narrow(c.wanted);
        EXPECT_EQ(s.udid, c.udid);
        EXPECT_EQ(s.error.empty(), c.exitCode == 0);
    }
    Selection two = SelectDevice({L"aa", L"bb"}, L"");
    EXPECT_NE(two.error.find(L"\n  aa"), std::wstring::npos) << Narrow(two.error);
    EXPECT_NE(two.error.find(L"\n  bb"), std::wstring::npos);
    EXPECT_NE(SelectDevice({L"aa"}, L"cc").error.find(L"aa"), std::wstring::npos);
}

// ---- progress ------------------------------------------------------------------------------

TEST(Progress, PerFileCallsAddUpOverTheTransfer) {
    TransferTally tally;
    tally.AddFile(L"C:\\a", 1000);
    tally.AddFile(L"C:\\b", 3000);
    tally.AddFile(L"C:\\a", 1000); // named twice, counted once
    tally.AddFile(L"C:\\empty", 0);
    EXPECT_EQ(tally.total(), 4000u);
    EXPECT_EQ(tally.planned(), 3u);
    tally.Update(L"C:\\a", 50);
    EXPECT_EQ(tally.done(), 500u);
    tally.Update(L"C:\\a", 100);
    tally.Update(L"C:\\b", 10);
    EXPECT_EQ(tally.done(), 1300u);
    tally.Update(L"C:\\b", 250); // never more than the file
    EXPECT_EQ(tally.done(), 4000u);
    tally.Update(L"C:\\unplanned", 50);
    EXPECT_EQ(tally.done(), 4000u);
    EXPECT_EQ(tally.files(), 3u);
}

TEST(Progress, TextsAndTheBar) {
    EXPECT_EQ(ProgressSubject(L"上传文件 C:\\My Files\\a.txt"), L"C:\\My Files\\a.txt");
    EXPECT_EQ(ProgressSubject(L"Installing"), L"Installing");
    EXPECT_EQ(LastComponent(L"C:\\My Files\\a.txt"), L"a.txt");
    EXPECT_EQ(LastComponent(L"/var/mobile/照片/"), L"照片");
    EXPECT_EQ(LastComponent(L"/"), L"/");
    EXPECT_EQ(WholePercent(0.6), 60);
    EXPECT_EQ(WholePercent(3.0 / 5.0), 60);
    EXPECT_EQ(WholePercent(0.999), 99);
    EXPECT_EQ(WholePercent(1.5), 100);
    EXPECT_EQ(WholePercent(-1), 0);

    EXPECT_EQ(BarLine(0.5, L"1.00 MB/s", L"a.txt", 80), L"[############------------]  50%  1.00 MB/s  a.txt");
    EXPECT_EQ(BarLine(-1, L"", L"Removing", 80), L"Removing");
    // A long name is cut at its start so that the line never wraps; wide
    // characters count two columns.
    std::wstring name = L"上传文件 " + std::wstring(60, L'照') + L".jpg";
    std::wstring line = BarLine(1.0, L"", name, 60);
    EXPECT_LE(DisplayWidth(line), 59);
    EXPECT_EQ(line.substr(line.size() - 4), L".jpg");
    EXPECT_NE(line.find(L"\u2026"), std::wstring::npos);
    EXPECT_EQ(DisplayWidth(L"王小明的 iPhone"), 15);
    EXPECT_EQ(PadRight(L"王", 4), L"王  ");
}

// ---- daily log ----------------------------------------------------------------------------

TEST(DailyLog, LinesOfTheLogFile) {
    std::string bytes = "\xEF\xBB\xBF"
                        "2012-06-25 10:00:00: \xE8\xBF\x9E\xE6\x8E\xA5\r\n"
                        "\r\n"
                        "second\n"
                        "unended";
    std::vector<std::wstring> lines = SplitLogLines(bytes);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], L"2012-06-25 10:00:00: 连接");
    EXPECT_EQ(lines[1], L"second");
    EXPECT_EQ(lines[2], L"unended");
    EXPECT_TRUE(SplitLogLines("").empty());
}

TEST(DailyLog, TheWatchGivesOnlyWhatWasAddedAfterTheMark) {
    testutil::TempDir folder;
    LogWatch watch(folder.path());
    SYSTEMTIME now;
    ::GetLocalTime(&now);
    std::wstring file = watch.FileFor(now);
    EXPECT_EQ(file.substr(folder.path().size() + 1).size(), std::wstring(L"YYYYMMDD.log").size());

    watch.Mark(); // no file yet: all that comes is new
    ASSERT_TRUE(testutil::WriteFileBytes(file, "2012-06-25 10:00:00: first\r\n"));
    EXPECT_EQ(watch.NewLines(), std::vector<std::wstring>{L"2012-06-25 10:00:00: first"});

    watch.Mark();
    EXPECT_TRUE(watch.NewLines().empty());
    ASSERT_TRUE(testutil::WriteFileBytes(file, "2012-06-25 10:00:00: first\r\nsecond\r\nthird\r\n"));
    EXPECT_EQ(watch.NewLines(), (std::vector<std::wstring>{L"second", L"third"}));

    // A file that shrank was replaced: all of it is new.
    ASSERT_TRUE(testutil::WriteFileBytes(file, "new\r\n"));
    EXPECT_EQ(watch.NewLines(), std::vector<std::wstring>{L"new"});
}

// ---- the library's exports ------------------------------------------------------------------

TEST(DeviceApi, BindsAllExportsOfTheLibraryByTheirDecoratedNames) {
    std::wstring error;
    DeviceLibrary library;
    ASSERT_TRUE(library.Load(testutil::ProgramFolder() + L"\\OrvexDevice.dll", &error)) << Narrow(error);
    const DeviceApi& api = library.api();
    const void* const* slots = reinterpret_cast<const void* const*>(&api);
    for (size_t i = 0; i < sizeof(DeviceApi) / sizeof(void*); ++i)
        EXPECT_NE(slots[i], nullptr) << i;
    // GetDllVersion and GetCopyRight are one function under two names.
    EXPECT_EQ(reinterpret_cast<const void*>(api.GetDllVersion), reinterpret_cast<const void*>(api.GetCopyRight));

    DeviceLibrary other;
    EXPECT_FALSE(other.Load(testutil::ProgramFolder() + L"\\CoreFoundation.dll", &error));
    EXPECT_NE(error.find(L"?LoadDllFunctions@@YAHXZ"), std::wstring::npos) << Narrow(error);
    EXPECT_FALSE(other.Load(testutil::ProgramFolder() + L"\\NoSuchLibrary.dll", &error));
    EXPECT_NE(error.find(L"NoSuchLibrary.dll"), std::wstring::npos);
}

// ---- doctor ------------------------------------------------------------------

#ifdef _WIN64
constexpr int kOwnBits = 64, kOtherBits = 32;
#else
constexpr int kOwnBits = 32, kOtherBits = 64;
#endif

// A file with just the headers of a Windows library of `bits`.
bool WriteImage(const std::wstring& path, int bits) {
    std::string bytes(0x80, '\0');
    bytes[0] = 'M';
    bytes[1] = 'Z';
    bytes[0x3C] = 0x40;
    std::memcpy(&bytes[0x40], "PE\0\0", 4);
    const uint16_t machine = bits == 64 ? IMAGE_FILE_MACHINE_AMD64 : IMAGE_FILE_MACHINE_I386;
    std::memcpy(&bytes[0x44], &machine, 2);
    return testutil::WriteFileBytes(path, bytes);
}

std::wstring g_commonFiles;
std::wstring CommonFiles(int) { return g_commonFiles; }

// A host that sees a scratch common files folder and no registry entry.
vendor_search::Host ScratchHost(const std::wstring& common) {
    g_commonFiles = common;
    vendor_search::Host host;
    host.shellFolder = CommonFiles;
    host.registryRoot = HKEY_CURRENT_USER;
    host.registryBase = L"Software\\OrvexTests\\doctor-none-" + std::to_wstring(::GetCurrentProcessId()) + L"\\";
    return host;
}

// What the common files folder holds decides what doctor reports and
// whether a command may go on: either of the classic layouts, the newer
// one, wrong bitness, nothing.
TEST(Doctor, TellsTheCommonFilesLayoutsApart) {
    const std::wstring aas = L"Apple\\Apple Application Support\\CoreFoundation.dll";
    const std::wstring mds = L"Apple\\Mobile Device Support\\";
    const struct {
        const char* what;
        std::vector<std::pair<std::wstring, int>> files; // relative path, bits
        int chosen;                                      // -1 none
        size_t libraries;                                // found, each once
        bool wrongBitness;
        const wchar_t* adviceWord;
    } cases[] = {
        {"classic", {{aas, kOwnBits}, {mds + L"iTunesMobileDevice.dll", kOwnBits}}, 0, 2, false, L"Service"},
        {"newer: MobileDevice.dll with its value library beside",
         {{mds + L"MobileDevice.dll", kOwnBits}, {mds + L"CoreFoundation.dll", kOwnBits}},
         -2,
         2,
         false,
         L"Service"},
        {"MobileDevice.dll alone", {{mds + L"MobileDevice.dll", kOwnBits}}, -1, 1, false, L"install iTunes"},
        {"the other bitness",
         {{mds + L"MobileDevice.dll", kOtherBits}, {mds + L"CoreFoundation.dll", kOtherBits}},
         -1,
         1,
         true,
         L"edition of this program"}, // the device library is refused before its value library is looked for
        {"nothing", {}, -1, 0, false, L"install iTunes"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        testutil::TempDir common;
        for (const auto& [path, bits] : c.files) {
            const std::wstring full = common / path;
            ::SHCreateDirectoryExW(nullptr, full.substr(0, full.find_last_of(L'\\')).c_str(), nullptr);
            ASSERT_TRUE(WriteImage(full, bits));
        }
        const vendor_search::Host host = ScratchHost(common.path());
        DoctorReport report = Examine(host, 300);
        if (c.chosen == -2) {
            ASSERT_GE(report.chosen, 1);
            EXPECT_EQ(report.candidates[static_cast<size_t>(report.chosen)].source, vendor_search::Source::CommonFiles);
        } else {
            EXPECT_EQ(report.chosen, c.chosen);
        }
        EXPECT_EQ(report.wrongBitnessSeen, c.wrongBitness);
        EXPECT_EQ(report.libraries.size(), c.libraries);
        EXPECT_NE(report.advice.find(c.adviceWord), std::wstring::npos) << Narrow(report.advice);
        EXPECT_EQ(DoctorExitCode(report), c.chosen == -1 ? 1 : 0);
        EXPECT_EQ(MissingVendorInstallation(host).empty(), c.chosen != -1);

        // Every candidate is one line of text with its state, and one JSON object.
        const std::wstring text = DoctorText(report);
        for (const auto& candidate : report.candidates)
            EXPECT_NE(text.find(L"] " + candidate.label), std::wstring::npos) << Narrow(candidate.label);
        JsonWriter json;
        WriteDoctorJson(json, report);
        EXPECT_NE(json.Text().find(L"\"wrongBitnessSeen\": " + std::wstring(c.wrongBitness ? L"true" : L"false")),
                  std::wstring::npos)
            << Narrow(json.Text());
    }
}

TEST(Doctor, AdviceFollowsWhatWasFound) {
    const struct {
        bool found, wrongBitness, answered;
        int devices;
        const wchar_t* expected;
    } cases[] = {
        {false, false, false, 0, L"No vendor device support"},
        {false, true, false, 1, L"-bit vendor libraries were found"},
        {false, true, true, 1, L"with its built-in backend."},
        {false, false, true, 0, L"No device is attached"},
        {true, true, false, 0, L"does not answer"},
        {true, false, true, 0, L"no device is attached"},
        {true, false, true, 2, L"All in place."},
    };
    for (const auto& c : cases) {
        DoctorReport report;
        report.editionBits = kOwnBits;
        report.chosen = c.found ? 0 : -1;
        report.wrongBitnessSeen = c.wrongBitness;
        report.multiplexer.answered = c.answered;
        report.multiplexer.devices = c.devices;
        EXPECT_NE(Advice(report).find(c.expected), std::wstring::npos) << Narrow(Advice(report));
    }
}

// A message box opened on the thread while the catcher lives closes at once
// with OK, and its text is kept; once the catcher is gone, nothing is caught.
TEST(VendorCheck, MessageBoxesAreClosedAndRead) {
    MessageBoxCatcher catcher;
    const DWORD start = ::GetTickCount();
    EXPECT_EQ(::MessageBoxW(nullptr, L"\u51fd\u6570CFRelease\u672a\u80fd\u52a0\u8f7d", nullptr, MB_OK), IDOK);
    EXPECT_EQ(::MessageBoxW(nullptr, L"second", L"title", MB_OK | MB_ICONERROR), IDOK);
    EXPECT_LT(::GetTickCount() - start, 5000u);
    EXPECT_EQ(catcher.texts(), L"\u51fd\u6570CFRelease\u672a\u80fd\u52a0\u8f7d; second");
}

} // namespace
