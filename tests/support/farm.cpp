#include "tests/support/farm.h"

#include "platform/file.h"
#include "platform/text.h"
#include "sim/mobiledevice/devicesim_control.h"

#include <shlobj.h>

#include <cstring>

namespace testfarm {

const wchar_t kIPhone4S[] = L"iphone4s-jailbroken";
const wchar_t kIPad2[] = L"ipad2-stock";
const wchar_t kIPod4[] = L"ipod4-jailbroken";
const wchar_t kIPhone5[] = L"iphone5-jailbroken";

namespace {

const wchar_t kFarmVariable[] = L"DEVICESIM_FARM";
const wchar_t kLibraryName[] = L"iTunesMobileDevice.dll";
const wchar_t kBackendVariable[] = L"ORVEX_TEST_BACKEND";
const wchar_t kMultiplexerVariable[] = L"USBMUXD_SOCKET_ADDRESS";
// How long the server may take to start: on a new farm it makes its host
// keys first, which takes a while under Wine.
const DWORD kServerStartMilliseconds = 120000;

bool ReadVariable(const wchar_t* name, std::wstring* value) {
    wchar_t buffer[MAX_PATH * 2] = {};
    DWORD n = ::GetEnvironmentVariableW(name, buffer, MAX_PATH * 2);
    if (n == 0 || n >= MAX_PATH * 2)
        return false;
    value->assign(buffer, n);
    return true;
}

// devicesim.exe of this build: beside the test program, or in its parent
// folder for the programs in build/bin/caller.
std::wstring ServerProgram() {
    std::wstring folder = testutil::ProgramFolder();
    std::wstring beside = folder + L"\\devicesim.exe";
    if (IsLocalFile(beside))
        return beside;
    return folder.substr(0, folder.find_last_of(L'\\')) + L"\\devicesim.exe";
}

// Reads the server's output until its first line is complete (the address
// it listens on) or the time is up; false when the server ended first.
bool ReadFirstLine(HANDLE output, HANDLE process, std::string* line) {
    std::string text;
    const DWORD start = ::GetTickCount();
    while (::GetTickCount() - start < kServerStartMilliseconds) {
        DWORD available = 0;
        if (!::PeekNamedPipe(output, nullptr, 0, nullptr, &available, nullptr))
            return false;
        if (available == 0) {
            if (::WaitForSingleObject(process, 20) == WAIT_OBJECT_0)
                return false;
            continue;
        }
        char buffer[256];
        DWORD got = 0;
        if (!::ReadFile(output, buffer, available < sizeof buffer ? available : sizeof buffer, &got, nullptr))
            return false;
        text.append(buffer, got);
        size_t end = text.find('\n');
        if (end != std::string::npos) {
            *line = text.substr(0, end);
            while (!line->empty() && (line->back() == '\r' || line->back() == ' '))
                line->pop_back();
            return true;
        }
    }
    return false;
}

} // namespace

std::unique_ptr<SimulatedFarm> MakeFarmAndBind(const std::function<int()>& bind, int* bound) {
    std::unique_ptr<SimulatedFarm> farm;
    if (SimulatedFarm::Served())
        farm = std::make_unique<SimulatedFarm>();
    *bound = bind();
    if (!farm)
        farm = std::make_unique<SimulatedFarm>();
    return farm;
}

bool SimulatedFarm::Served() {
    std::wstring value;
    return ReadVariable(kBackendVariable, &value) && value == L"builtin";
}

bool DeviceCalls::Bind(HMODULE module) {
    bool ok = module != nullptr;
#define ORVEX_TESTFARM_BIND(result, name, params)                                                                      \
    name = module ? reinterpret_cast<name##_fn>(reinterpret_cast<void*>(::GetProcAddress(module, #name))) : nullptr;   \
    ok = ok && name != nullptr;
    ORVEX_AMD_CALLS(ORVEX_TESTFARM_BIND)
#undef ORVEX_TESTFARM_BIND
    return ok;
}

bool ValueCalls::Bind(HMODULE module) {
    bool ok = module != nullptr;
#define ORVEX_TESTFARM_BIND(result, name, params)                                                                      \
    name = module ? reinterpret_cast<name##_fn>(reinterpret_cast<void*>(::GetProcAddress(module, #name))) : nullptr;   \
    ok = ok && name != nullptr;
    ORVEX_CF_CALLS(ORVEX_TESTFARM_BIND)
#undef ORVEX_TESTFARM_BIND
    return ok;
}

CFStringRef ValueCalls::String(const char* utf8) const {
    return CFStringCreateWithBytes(nullptr, reinterpret_cast<const uint8_t*>(utf8),
                                   static_cast<CFIndex>(std::strlen(utf8)), kCFStringEncodingUTF8, false);
}

std::string ValueCalls::Utf8(CFTypeRef string) const {
    if (!string || CFGetTypeID(string) != CFStringGetTypeID())
        return std::string();
    CFStringRef text = static_cast<CFStringRef>(string);
    CFIndex length = CFStringGetLength(text);
    CFIndex used = 0;
    CFStringGetBytes(text, CFRange{0, length}, kCFStringEncodingUTF8, 0, false, nullptr, 0, &used);
    std::string bytes(static_cast<size_t>(used), '\0');
    if (used > 0)
        CFStringGetBytes(text, CFRange{0, length}, kCFStringEncodingUTF8, 0, false,
                         reinterpret_cast<uint8_t*>(bytes.data()), used, &used);
    return bytes;
}

long long ValueCalls::Number(CFTypeRef number) const {
    long long value = 0;
    if (number && CFGetTypeID(number) == CFNumberGetTypeID())
        CFNumberGetValue(static_cast<CFNumberRef>(number), kCFNumberSInt64Type, &value);
    return value;
}

std::wstring SimulatedFarm::LibraryPath() {
    std::wstring folder = testutil::ProgramFolder();
    std::wstring beside = folder + L"\\" + kLibraryName;
    if (IsLocalFile(beside))
        return beside;
    // The served run's prefix has no vendor installation: the stand-in, only
    // managing the farm there, comes from build/bin.
    if (Served())
        return folder.substr(0, folder.find_last_of(L'\\')) + L"\\" + kLibraryName;
    std::wstring common = testutil::VendorCommonFiles();
    if (common.empty())
        return beside;
    return common + L"\\Apple\\Mobile Device Support\\" + kLibraryName;
}

SimulatedFarm::SimulatedFarm() {
    wchar_t previous[MAX_PATH * 2] = {};
    DWORD n = ::GetEnvironmentVariableW(kFarmVariable, previous, MAX_PATH * 2);
    m_hadPreviousFarm = n > 0 && n < MAX_PATH * 2;
    if (m_hadPreviousFarm)
        m_previousFarm.assign(previous, n);
    ::SetEnvironmentVariableW(kFarmVariable, m_folder.path().c_str());

    std::wstring path = LibraryPath();
    m_module = ::LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (!m_module) {
        m_error = L"cannot load " + path + L" (error " + std::to_wstring(::GetLastError()) + L")";
        return;
    }
    if (!m_device.Bind(m_module)) {
        m_error = L"a device call is missing from " + path;
        ::FreeLibrary(m_module);
        m_module = nullptr;
        return;
    }
    if (!m_values.Bind(::GetModuleHandleW(L"CoreFoundation.dll"))) {
        m_error = L"the value library is missing or incomplete";
        ::FreeLibrary(m_module);
        m_module = nullptr;
        return;
    }
    if (Served() && !StartServer()) {
        ::FreeLibrary(m_module);
        m_module = nullptr;
    }
}

bool SimulatedFarm::StartServer() {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE inputRead = nullptr, outputRead = nullptr, outputWrite = nullptr;
    if (!::CreatePipe(&inputRead, &m_serverInput, &inherit, 0)) {
        m_error = L"cannot make the server's input pipe";
        return false;
    }
    ::SetHandleInformation(m_serverInput, HANDLE_FLAG_INHERIT, 0);
    if (!::CreatePipe(&outputRead, &outputWrite, &inherit, 0)) {
        ::CloseHandle(inputRead);
        m_error = L"cannot make the server's output pipe";
        return false;
    }
    ::SetHandleInformation(outputRead, HANDLE_FLAG_INHERIT, 0);

    std::wstring program = ServerProgram();
    std::wstring command = L"\"" + program + L"\" --farm \"" + m_folder.path() + L"\" serve";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = inputRead;
    startup.hStdOutput = outputWrite;
    startup.hStdError = outputWrite;
    PROCESS_INFORMATION process{};
    BOOL started = ::CreateProcessW(program.c_str(), command.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr,
                                    nullptr, &startup, &process);
    ::CloseHandle(inputRead);
    ::CloseHandle(outputWrite);
    if (!started) {
        ::CloseHandle(outputRead);
        m_error = L"cannot start " + program + L" (error " + std::to_wstring(::GetLastError()) + L")";
        return false;
    }
    ::CloseHandle(process.hThread);
    m_server = process.hProcess;

    std::string line;
    bool read = ReadFirstLine(outputRead, m_server, &line);
    // The server writes little more (a second line, and one as it stops):
    // the pipe's buffer holds it unread.
    ::CloseHandle(outputRead);
    if (!read || line.rfind("127.0.0.1:", 0) != 0) {
        m_error = L"devicesim serve did not give its address: " + Utf8ToWide(line.c_str());
        StopServer();
        return false;
    }
    m_address = line;
    m_hadPreviousAddress = ReadVariable(kMultiplexerVariable, &m_previousAddress);
    ::SetEnvironmentVariableW(kMultiplexerVariable, Utf8ToWide(m_address.c_str()).c_str());
    return true;
}

void SimulatedFarm::StopServer() {
    if (m_serverInput) {
        ::CloseHandle(m_serverInput);
        m_serverInput = nullptr;
    }
    if (m_server) {
        if (::WaitForSingleObject(m_server, 20000) != WAIT_OBJECT_0)
            ::TerminateProcess(m_server, 1);
        ::CloseHandle(m_server);
        m_server = nullptr;
    }
    if (!m_address.empty()) {
        ::SetEnvironmentVariableW(kMultiplexerVariable, m_hadPreviousAddress ? m_previousAddress.c_str() : nullptr);
        m_address.clear();
    }
}

SimulatedFarm::~SimulatedFarm() {
    StopServer();
    if (m_module)
        ::FreeLibrary(m_module);
    ::SetEnvironmentVariableW(kFarmVariable, m_hadPreviousFarm ? m_previousFarm.c_str() : nullptr);
    // A notification thread may still be reading the farm for a moment.
    for (int attempt = 0; attempt < 20 && !RemoveLocalTree(m_folder.path()); ++attempt)
        ::Sleep(50);
}

FARPROC SimulatedFarm::Function(const char* name) const {
    return m_module ? ::GetProcAddress(m_module, name) : nullptr;
}

std::wstring SimulatedFarm::Create(const wchar_t* templateName, bool attach, const wchar_t* udid) {
    auto create = Get<DeviceSimCreateDevice_fn>("DeviceSimCreateDevice");
    wchar_t created[100] = {};
    if (!create || create(templateName, udid, created, 100) != 0)
        return std::wstring();
    if (attach && !Attach(created))
        return std::wstring();
    return created;
}

bool SimulatedFarm::Remove(const std::wstring& udid) {
    auto f = Get<DeviceSimRemoveDevice_fn>("DeviceSimRemoveDevice");
    return f && f(udid.c_str()) == 0;
}

bool SimulatedFarm::Attach(const std::wstring& udid) {
    auto f = Get<DeviceSimAttach_fn>("DeviceSimAttach");
    return f && f(udid.c_str()) == 0;
}

bool SimulatedFarm::Detach(const std::wstring& udid) {
    auto f = Get<DeviceSimDetach_fn>("DeviceSimDetach");
    return f && f(udid.c_str()) == 0;
}

bool SimulatedFarm::SetPaired(const std::wstring& udid, bool paired) {
    auto f = Get<DeviceSimSetPaired_fn>("DeviceSimSetPaired");
    return f && f(udid.c_str(), paired ? 1 : 0) == 0;
}

bool SimulatedFarm::SetFault(const std::wstring& udid, const wchar_t* fault, long long amount) {
    auto f = Get<DeviceSimSetFault_fn>("DeviceSimSetFault");
    return f && f(udid.c_str(), fault, amount) == 0;
}

bool SimulatedFarm::ClearFaults(const std::wstring& udid) {
    auto f = Get<DeviceSimClearFaults_fn>("DeviceSimClearFaults");
    return f && f(udid.c_str()) == 0;
}

bool SimulatedFarm::SetValue(const std::wstring& udid, const wchar_t* key, const wchar_t* text, const wchar_t* type,
                             const wchar_t* domain) {
    auto f = Get<DeviceSimSetValue_fn>("DeviceSimSetValue");
    return f && text && f(udid.c_str(), domain, key, type, text) == 0;
}

bool SimulatedFarm::RemoveValue(const std::wstring& udid, const wchar_t* key, const wchar_t* domain) {
    auto f = Get<DeviceSimSetValue_fn>("DeviceSimSetValue");
    return f && f(udid.c_str(), domain, key, nullptr, nullptr) == 0;
}

std::wstring SimulatedFarm::Value(const std::wstring& udid, const wchar_t* key, const wchar_t* domain) const {
    auto f = Get<DeviceSimGetValue_fn>("DeviceSimGetValue");
    if (!f)
        return std::wstring();
    std::wstring buffer(65536, L'\0');
    if (f(udid.c_str(), domain, key, buffer.data(), static_cast<unsigned>(buffer.size())) != 0)
        return std::wstring();
    return buffer.c_str();
}

bool SimulatedFarm::HasValue(const std::wstring& udid, const wchar_t* key, const wchar_t* domain) const {
    auto f = Get<DeviceSimGetValue_fn>("DeviceSimGetValue");
    std::wstring buffer(65536, L'\0');
    return f && f(udid.c_str(), domain, key, buffer.data(), static_cast<unsigned>(buffer.size())) == 0;
}

bool SimulatedFarm::MakeLink(const std::wstring& udid, const wchar_t* target, const wchar_t* devicePath) {
    auto f = Get<DeviceSimMakeLink_fn>("DeviceSimMakeLink");
    return f && f(udid.c_str(), target, devicePath) == 0;
}

std::wstring SimulatedFarm::HostPath(const std::wstring& udid, const wchar_t* devicePath) const {
    auto f = Get<DeviceSimHostPath_fn>("DeviceSimHostPath");
    std::wstring buffer(32768, L'\0');
    if (!f || f(udid.c_str(), devicePath, buffer.data(), static_cast<unsigned>(buffer.size())) != 0)
        return std::wstring();
    return buffer.c_str();
}

std::wstring SimulatedFarm::LastError() const {
    auto f = Get<DeviceSimLastError_fn>("DeviceSimLastError");
    wchar_t buffer[1024] = {};
    if (!f || f(buffer, 1024) != 0)
        return std::wstring();
    return buffer;
}

} // namespace testfarm
