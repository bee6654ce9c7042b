// Device notifications of the stand-in library: devices attached before and
// after the subscription, removals, the end of a subscription, changes made
// by the devicesim tool in another process, and two devices used at once.
#include "tests/sim/farm/device_fixture.h"

#include "platform/handles.h"
#include "platform/text.h"

#include <algorithm>
#include <atomic>
#include <thread>

namespace simtest {
namespace {

using NotifyTest = DeviceTest;

// Runs devicesim.exe (beside the test program) on this test's farm; the
// exit code, or -1 when it could not run.
int RunDeviceSim(const std::wstring& farmFolder, const std::wstring& arguments, std::string* output = nullptr) {
    std::wstring program = testutil::ProgramFolder() + L"\\devicesim.exe";
    std::wstring command = L"\"" + program + L"\" ";
    if (!farmFolder.empty())
        command += L"--farm \"" + farmFolder + L"\" ";
    command += arguments;
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    if (!::CreatePipe(&readEnd, &writeEnd, &inherit, 0))
        return -1;
    UniqueHandle reader(readEnd), writer(writeEnd);
    ::SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = writeEnd;
    startup.hStdError = writeEnd;
    PROCESS_INFORMATION process = {};
    if (!::CreateProcessW(program.c_str(), command.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr,
                          &startup, &process))
        return -1;
    writer.reset();
    UniqueHandle processHandle(process.hProcess), thread(process.hThread);
    std::string text;
    char buffer[4096];
    DWORD got = 0;
    while (::ReadFile(readEnd, buffer, sizeof buffer, &got, nullptr) && got > 0)
        text.append(buffer, got);
    ::WaitForSingleObject(process.hProcess, 60000);
    DWORD code = 1;
    ::GetExitCodeProcess(process.hProcess, &code);
    if (output)
        *output = text;
    return static_cast<int>(code);
}

TEST_F(NotifyTest, AttachedDevicesFirstThenArrivalsAndRemovals) {
    std::wstring first = farm->Create(testfarm::kIPhone4S);
    std::wstring second = farm->Create(testfarm::kIPad2);
    std::wstring unplugged = farm->Create(testfarm::kIPod4, false);
    ASSERT_FALSE(unplugged.empty());
    ASSERT_EQ(md().AMDeviceNotificationSubscribe(&Announcements::Callback, 0, 0, &announcements, &subscription), 0);
    ASSERT_TRUE(announcements.WaitFor(2, 3000));
    ::Sleep(300);
    auto events = announcements.Snapshot();
    ASSERT_EQ(events.size(), 2u) << "the unplugged device is not announced";
    std::vector<std::string> ids;
    for (const auto& e : events) {
        EXPECT_EQ(e.second, ADNCI_MSG_CONNECTED);
        ids.push_back(Identifier(e.first));
    }
    std::sort(ids.begin(), ids.end());
    std::vector<std::string> expected = {WideToUtf8(first.c_str()), WideToUtf8(second.c_str())};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(ids, expected);

    ASSERT_TRUE(farm->Attach(unplugged));
    ASSERT_TRUE(announcements.WaitFor(3, 2000));
    auto arrival = announcements.Snapshot()[2];
    EXPECT_EQ(arrival.second, ADNCI_MSG_CONNECTED);
    EXPECT_EQ(Identifier(arrival.first), WideToUtf8(unplugged.c_str()));

    ASSERT_TRUE(farm->Detach(first));
    ASSERT_TRUE(announcements.WaitFor(4, 2000));
    auto removal = announcements.Snapshot()[3];
    EXPECT_EQ(removal.second, ADNCI_MSG_DISCONNECTED);
    EXPECT_EQ(Identifier(removal.first), WideToUtf8(first.c_str()));

    // A removed device's folder going away is a removal too.
    ASSERT_TRUE(farm->Remove(second));
    ASSERT_TRUE(announcements.WaitFor(5, 2000));
    EXPECT_EQ(announcements.Snapshot()[4].second, ADNCI_MSG_DISCONNECTED);
}

TEST_F(NotifyTest, NothingArrivesAfterUnsubscribe) {
    std::wstring id = farm->Create(testfarm::kIPhone4S);
    ASSERT_EQ(md().AMDeviceNotificationSubscribe(&Announcements::Callback, 0, 0, &announcements, &subscription), 0);
    ASSERT_TRUE(announcements.WaitFor(1, 3000));
    ASSERT_EQ(md().AMDeviceNotificationUnsubscribe(subscription), 0);
    EXPECT_NE(md().AMDeviceNotificationUnsubscribe(subscription), 0) << "ended already";
    subscription = nullptr;
    size_t before = announcements.Snapshot().size();
    ASSERT_TRUE(farm->Detach(id));
    ASSERT_TRUE(farm->Attach(id));
    ::Sleep(400);
    EXPECT_EQ(announcements.Snapshot().size(), before);
}

struct SelfEnding {
    const testfarm::DeviceCalls* md;
    am_device_notification* subscription = nullptr;
    std::atomic<int> calls{0};
    std::atomic<int> result{-1};

    static void Callback(am_device_notification_callback_info* info, void* context) {
        auto* self = static_cast<SelfEnding*>(context);
        if (self->calls++ == 0)
            self->result = self->md->AMDeviceNotificationUnsubscribe(info->subscription);
    }
};

TEST_F(NotifyTest, ASubscriptionCanEndFromItsOwnCallback) {
    farm->Create(testfarm::kIPhone4S);
    farm->Create(testfarm::kIPad2);
    SelfEnding ending{&md()};
    ASSERT_EQ(md().AMDeviceNotificationSubscribe(&SelfEnding::Callback, 0, 0, &ending, &ending.subscription), 0);
    DWORD start = ::GetTickCount();
    while (ending.result < 0 && ::GetTickCount() - start < 3000)
        ::Sleep(20);
    EXPECT_EQ(ending.result, 0);
    ::Sleep(300);
    EXPECT_EQ(ending.calls, 1) << "no message after the end, not even the second device";
}

TEST_F(NotifyTest, DeviceSimInAnotherProcessIsSeenWithinHalfASecond) {
    ASSERT_EQ(md().AMDeviceNotificationSubscribe(&Announcements::Callback, 0, 0, &announcements, &subscription), 0);
    const char* templates[] = {"iphone4s-jailbroken", "ipad2-stock", "ipod4-jailbroken", "iphone5-jailbroken"};
    std::vector<std::string> udids;
    for (const char* name : templates) {
        std::string output;
        ASSERT_EQ(RunDeviceSim(farm->folder(), L"create --template " + Utf8ToWide(name), &output), 0) << output;
        udids.push_back(output.substr(0, output.find_first_of("\r\n")));
        ASSERT_EQ(udids.back().size(), 40u);
    }
    ::Sleep(300);
    EXPECT_TRUE(announcements.Snapshot().empty()) << "created unplugged";

    // Each plug-in and unplug by the tool is announced within half a second.
    size_t expected = 0;
    for (const std::string& udid : udids) {
        for (const wchar_t* command : {L"attach ", L"detach "}) {
            ASSERT_EQ(RunDeviceSim(farm->folder(), command + Utf8ToWide(udid.c_str())), 0);
            DWORD done = ::GetTickCount();
            ASSERT_TRUE(announcements.WaitFor(++expected, 2000)) << udid;
            EXPECT_LE(::GetTickCount() - done, 500u);
            auto events = announcements.Snapshot();
            auto event = events[expected - 1];
            if (command[0] == L'a') {
                EXPECT_EQ(event.second, ADNCI_MSG_CONNECTED);
                EXPECT_EQ(Identifier(event.first), udid);
            } else {
                EXPECT_EQ(event.second, ADNCI_MSG_DISCONNECTED);
                EXPECT_EQ(event.first, events[expected - 2].first);
                EXPECT_EQ(Identifier(event.first), udid) << "a retained handle still names its device";
            }
        }
    }

    // The tool sees what the device sees, and sets what the device answers.
    std::string udid = udids[2];
    std::wstring id = Utf8ToWide(udid.c_str());
    ASSERT_EQ(RunDeviceSim(farm->folder(), L"attach " + id), 0);
    ASSERT_TRUE(announcements.WaitFor(++expected, 2000));
    am_device* device = announcements.Snapshot().back().first;
    std::string output;
    ASSERT_EQ(RunDeviceSim(farm->folder(), L"list", &output), 0);
    EXPECT_NE(output.find(udid + "  attached  ipod4-jailbroken  iPod4,1"), std::string::npos) << output;
    ASSERT_EQ(RunDeviceSim(farm->folder(),
                           L"set --device " + id + L" --domain com.apple.mobile.battery BatteryCurrentCapacity 7"),
              0);
    EXPECT_EQ(farm->Value(id, L"BatteryCurrentCapacity", L"com.apple.mobile.battery"), L"7");
    ASSERT_EQ(RunDeviceSim(farm->folder(), L"fault --device " + id + L" connect"), 0);
    EXPECT_NE(md().AMDeviceConnect(device), 0);
    ASSERT_EQ(RunDeviceSim(farm->folder(), L"fault --device " + id + L" clear"), 0);
    EXPECT_EQ(md().AMDeviceConnect(device), 0);
    md().AMDeviceDisconnect(device);
    EXPECT_NE(RunDeviceSim(farm->folder(), L"attach no-such-device"), 0);
    EXPECT_NE(RunDeviceSim(farm->folder(), L"fault connect"), 0) << "several devices: the tool asks which";
}

TEST_F(NotifyTest, ToolAndLibraryAgreeOnTheDefaultFarm) {
    // Without a chosen farm, both use the installed one.
    wchar_t saved[MAX_PATH * 2] = {};
    ::GetEnvironmentVariableW(L"DEVICESIM_FARM", saved, MAX_PATH * 2);
    ::SetEnvironmentVariableW(L"DEVICESIM_FARM", nullptr);
    auto getFarm = reinterpret_cast<int(__cdecl*)(wchar_t*, unsigned)>(
        reinterpret_cast<void*>(farm->Function("DeviceSimGetFarm")));
    wchar_t library[MAX_PATH * 2] = {};
    int status = getFarm ? getFarm(library, MAX_PATH * 2) : -1;
    std::string output;
    int tool = RunDeviceSim(L"", L"farm", &output);
    ::SetEnvironmentVariableW(L"DEVICESIM_FARM", saved);
    ASSERT_EQ(status, 0);
    ASSERT_EQ(tool, 0);
    EXPECT_EQ(output.substr(0, output.find_first_of("\r\n")), WideToUtf8(library));
    EXPECT_NE(output.find("Mobile Device Support\\DeviceFarm"), std::string::npos) << output;
}

TEST_F(NotifyTest, TwoThreadsUseTwoDevicesAtOnce) {
    std::wstring ids[2] = {farm->Create(testfarm::kIPhone4S), farm->Create(testfarm::kIPhone5)};
    am_device* devices[2] = {Announced(ids[0]), Announced(ids[1])};
    ASSERT_NE(devices[0], nullptr);
    ASSERT_NE(devices[1], nullptr);
    std::atomic<int> failures{0};
    auto work = [&](int which) {
        for (int round = 0; round < 5; ++round) {
            afc_connection* connection = OpenAfc(devices[which], "com.apple.afc2");
            if (!connection) {
                ++failures;
                return;
            }
            std::string name = "/var/mobile/Media/thread" + std::to_string(which) + "-" + std::to_string(round);
            std::string content(20000 + round * 1000, static_cast<char>('a' + which));
            std::string back;
            if (WriteFile(connection, name.c_str(), content) != 0 || ReadFile(connection, name.c_str(), &back) != 0 ||
                back != content)
                ++failures;
            md().AFCConnectionClose(connection);
        }
    };
    std::thread one(work, 0), two(work, 1);
    one.join();
    two.join();
    EXPECT_EQ(failures, 0);
    EXPECT_FALSE(testutil::ListFolder(farm->HostPath(ids[0], L"/var/mobile/Media")).empty());
    std::string stray;
    EXPECT_FALSE(testutil::ReadFileBytes(farm->HostPath(ids[1], L"/var/mobile/Media/thread0-0"), &stray))
        << "each device keeps its own files";
}

} // namespace
} // namespace simtest
