#include "tests/device/file_fixture.h"

#include "platform/file.h"
#include "platform/loader_log.h"
#include "platform/text.h"

#include <shlobj.h>

#include <condition_variable>
#include <mutex>
#include <set>

namespace devfiles {
namespace {

// ---- devices the library announced ----------------------------------------

std::mutex g_arrivalLock;
std::condition_variable g_arrivalChanged;
std::set<std::wstring> g_arrived;

void OnArrived(const wchar_t* identifier) {
    {
        std::lock_guard<std::mutex> guard(g_arrivalLock);
        g_arrived.insert(identifier);
    }
    g_arrivalChanged.notify_all();
}

void OnRemoved(const wchar_t* identifier) {
    {
        std::lock_guard<std::mutex> guard(g_arrivalLock);
        g_arrived.erase(identifier);
    }
    g_arrivalChanged.notify_all();
}

// ---- the farm and the library, once per program -----------------------------

struct Shared {
    std::unique_ptr<testfarm::SimulatedFarm> farm;
    std::unique_ptr<testutil::DeviceDll> dll;
    std::wstring jailbroken;
    std::wstring stock;
    bool listening = false;
};

Shared& State() {
    static Shared shared;
    return shared;
}

class FarmEnvironment : public ::testing::Environment {
  public:
    void TearDown() override {
        Shared& s = State();
        if (s.dll && s.dll->ok()) {
            if (s.listening)
                s.dll->StopListeningDeviceConnections();
            s.dll->UnloadDllFunctions();
        }
        s.dll.reset();
        s.farm.reset();
    }
};

[[maybe_unused]] ::testing::Environment* const g_environment = ::testing::AddGlobalTestEnvironment(new FarmEnvironment);

std::vector<ProgressCall> g_progress;

const wchar_t* const kFileExportTexts[] = {
    L"打开文件目录",
    L"读取文件目录",
    L"提取文件",
    L"写入文件时打开失败！",
    L"文件上传时写入失败！",
    L"指定的文件路径错误！",
    L"创建本地",
    L"读取文件时打开失败！",
    L"文件内容读取失败！",
    L"本地文件",
    L"本地目录",
    L"设备文件名",
    L"创建设备目录",
    L"发生意外错误",
};

std::wstring TodaysLogFile() {
    wchar_t documents[MAX_PATH] = {};
    if (FAILED(::SHGetFolderPathW(nullptr, CSIDL_PERSONAL, nullptr, SHGFP_TYPE_CURRENT, documents)))
        return std::wstring();
    SYSTEMTIME now;
    ::GetLocalTime(&now);
    wchar_t name[32];
    swprintf(name, 32, L"%04u%02u%02u.log", now.wYear, now.wMonth, now.wDay);
    return std::wstring(documents) + L"\\Tevrin\\Logs\\" + name;
}

unsigned long long FileSize(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data))
        return 0;
    return (static_cast<unsigned long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

} // namespace

// ---- progress -----------------------------------------------------------------

void (*Progress::hook)(const ProgressCall& call) = nullptr;

void Progress::Record(const wchar_t* identifier, const wchar_t* text, unsigned int percent) {
    g_progress.push_back({identifier ? identifier : L"(null)", text ? text : L"(null)", percent});
    if (hook)
        hook(g_progress.back());
}

std::vector<ProgressCall>& Progress::Calls() { return g_progress; }

// ---- log ----------------------------------------------------------------------

void LogWatch::Reset() {
    m_file = TodaysLogFile();
    m_offset = FileSize(m_file);
}

std::vector<std::wstring> LogWatch::NewLines() const {
    std::string bytes;
    std::vector<std::wstring> lines;
    if (!testutil::ReadFileBytes(m_file, &bytes) || bytes.size() <= m_offset)
        return lines;
    std::wstring text = Utf8ToWide(bytes.data() + m_offset, bytes.size() - m_offset);
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find(L"\r\n", start);
        if (end == std::wstring::npos)
            end = text.size();
        std::wstring line = text.substr(start, end - start);
        // "YYYY-MM-DD HH:MM:SS: " comes first. The built-in backend's own
        // lines are left out: the library's lines are the ones tested.
        line = line.size() >= 21 ? line.substr(21) : line;
        if (line.rfind(kBackendDetailLogPrefix, 0) != 0)
            lines.push_back(line);
        start = end + 2;
    }
    return lines;
}

bool LogWatch::Has(const std::wstring& text) const {
    for (const std::wstring& line : NewLines()) {
        if (line == text)
            return true;
    }
    return false;
}

bool LogWatch::QuietAbout(const std::wstring& path) const {
    for (const std::wstring& line : NewLines()) {
        if (!path.empty() && line.find(path) != std::wstring::npos)
            return false;
        for (const wchar_t* text : kFileExportTexts) {
            if (line.find(text) != std::wstring::npos)
                return false;
        }
    }
    return true;
}

::testing::AssertionResult SameBytes(const std::string& actual, const std::string& expected) {
    if (actual == expected)
        return ::testing::AssertionSuccess();
    size_t at = 0;
    while (at < actual.size() && at < expected.size() && actual[at] == expected[at])
        ++at;
    return ::testing::AssertionFailure() << actual.size() << " bytes where " << expected.size()
                                         << " were expected, first difference at offset " << at;
}

std::string Pattern(size_t size, unsigned seed) {
    std::string bytes(size, '\0');
    uint32_t x = 2463534242u ^ (seed * 2654435761u);
    for (char& c : bytes) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        c = static_cast<char>(x);
    }
    return bytes;
}

// ---- fixture --------------------------------------------------------------------

void FileExportsTest::SetUpTestSuite() {
    Shared& s = State();
    if (s.dll)
        return;
    s.dll = std::make_unique<testutil::DeviceDll>();
    ASSERT_TRUE(s.dll->ok());
    int bound = 0;
    s.farm = testfarm::MakeFarmAndBind([&] { return s.dll->LoadDllFunctions(); }, &bound);
    ASSERT_TRUE(s.farm->ok()) << WideToUtf8(s.farm->error().c_str());
    ASSERT_EQ(bound, 1);
    ASSERT_EQ(s.dll->StartListeningDeviceConnections(OnArrived, OnRemoved), 1);
    s.listening = true;
    s.jailbroken = s.farm->Create(testfarm::kIPhone4S);
    s.stock = s.farm->Create(testfarm::kIPad2);
    ASSERT_FALSE(s.jailbroken.empty());
    ASSERT_FALSE(s.stock.empty());
    ASSERT_TRUE(WaitForArrival(s.jailbroken));
    ASSERT_TRUE(WaitForArrival(s.stock));
}

void FileExportsTest::TearDownTestSuite() {}

bool FileExportsTest::WaitForArrival(const std::wstring& udid) {
    std::unique_lock<std::mutex> lock(g_arrivalLock);
    return g_arrivalChanged.wait_for(lock, std::chrono::seconds(10), [&] { return g_arrived.count(udid) > 0; });
}

bool FileExportsTest::WaitForDeparture(const std::wstring& udid) {
    std::unique_lock<std::mutex> lock(g_arrivalLock);
    return g_arrivalChanged.wait_for(lock, std::chrono::seconds(10), [&] { return g_arrived.count(udid) == 0; });
}

std::wstring FileExportsTest::PlugInNewDevice() {
    std::wstring udid = farm().Create(testfarm::kIPhone4S);
    if (udid.empty() || !WaitForArrival(udid))
        return std::wstring();
    return udid;
}

std::wstring FileExportsTest::DeviceFor(const std::wstring& fault) {
    return fault.compare(0, 6, L"unplug") == 0 ? PlugInNewDevice() : Jailbroken();
}

void FileExportsTest::Retire(const std::wstring& udid) {
    farm().ClearFaults(udid);
    if (udid == Jailbroken())
        return;
    farm().Detach(udid);
    farm().Remove(udid);
}

testutil::DeviceDll& FileExportsTest::dll() { return *State().dll; }
testfarm::SimulatedFarm& FileExportsTest::farm() { return *State().farm; }
const std::wstring& FileExportsTest::Jailbroken() { return State().jailbroken; }
const std::wstring& FileExportsTest::Stock() { return State().stock; }

void FileExportsTest::SetUp() {
    ASSERT_TRUE(State().farm && State().farm->ok() && State().dll && State().dll->ok())
        << "the farm could not be set up";
    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    scratch = L"/var/mobile/Media/" + Utf8ToWide(info->test_suite_name()) + L"-" + Utf8ToWide(info->name());
    RemoveLocalTree(Host(scratch));
    ASSERT_TRUE(MakeDeviceFolder(scratch));
    Progress::Calls().clear();
    Progress::hook = nullptr;
    log.Reset();
}

void FileExportsTest::TearDown() {
    Progress::hook = nullptr;
    farm().ClearFaults(Jailbroken());
    RemoveLocalTree(Host(scratch));
}

std::wstring FileExportsTest::Host(const std::wstring& devicePath, const std::wstring& udid) const {
    return farm().HostPath(udid.empty() ? Jailbroken() : udid, devicePath.c_str());
}

bool FileExportsTest::PutDeviceFile(const std::wstring& devicePath, const std::string& bytes,
                                    const std::wstring& udid) const {
    return testutil::WriteFileBytes(Host(devicePath, udid), bytes);
}

bool FileExportsTest::MakeDeviceFolder(const std::wstring& devicePath, const std::wstring& udid) const {
    return ::CreateDirectoryW(Host(devicePath, udid).c_str(), nullptr) != 0;
}

std::wstring FileExportsTest::FreshFolder(const std::wstring& udid, const std::wstring& name,
                                          const std::map<std::wstring, std::string>& files) const {
    const std::wstring folder = (udid == Jailbroken() ? scratch : L"/var/mobile/Media") + L"/" + name;
    RemoveLocalTree(Host(folder, udid));
    if (!MakeDeviceFolder(folder, udid))
        return std::wstring();
    for (const auto& file : files) {
        if (!PutDeviceFile(folder + L"/" + file.first, file.second, udid))
            return std::wstring();
    }
    return folder;
}

bool FileExportsTest::DeviceBytes(const std::wstring& devicePath, std::string* bytes, const std::wstring& udid) const {
    std::wstring host = Host(devicePath, udid);
    return IsLocalFile(host) && testutil::ReadFileBytes(host, bytes);
}

bool FileExportsTest::DeviceEntryExists(const std::wstring& devicePath, const std::wstring& udid) const {
    std::wstring host = Host(devicePath, udid);
    return !host.empty() && ::GetFileAttributesW(host.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool FileExportsTest::DeviceFileReleased(const std::wstring& devicePath, const std::wstring& udid) const {
    UniqueHandle file(::CreateFileW(Host(devicePath, udid).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    OPEN_EXISTING, 0, nullptr));
    return static_cast<bool>(file);
}

} // namespace devfiles
