#include "tests/backend/served_farm.h"

#include "sim/farm/farm.h"
#include "tests/support/test_util.h"

#include <cstdlib>
#include <mutex>

namespace backendtest {
namespace {

ORVEX_AMD_CALLS(ORVEX_DECLARE_CALL_TYPE)

// The device the notification announced, handed from the backend's thread.
struct Arrival {
    std::mutex lock;
    am_device* device = nullptr;
    HANDLE arrived = nullptr;
};

void __cdecl OnNotification(am_device_notification_callback_info* info, void* context) {
    auto* arrival = static_cast<Arrival*>(context);
    if (!info || info->msg != ADNCI_MSG_CONNECTED)
        return;
    std::lock_guard<std::mutex> guard(arrival->lock);
    if (!arrival->device)
        arrival->device = Call<AMDeviceRetain_fn>("AMDeviceRetain")(info->dev);
    ::SetEvent(arrival->arrived);
}

} // namespace

ServedFarm::ServedFarm() {
    if (!m_farm.ok()) {
        m_error = "no farm: " + m_farm.error();
        return;
    }
    if (Start())
        WaitForDevice();
}

ServedFarm::~ServedFarm() {
    if (m_device)
        Call<AMDeviceRelease_fn>("AMDeviceRelease")(m_device);
    backend::Shutdown();
    m_input.reset(); // the server stops when its input closes
    if (m_process && ::WaitForSingleObject(m_process.get(), 20000) != WAIT_OBJECT_0)
        ::TerminateProcess(m_process.get(), 1);
}

// Starts devicesim serve with pipes for its input and output, and waits
// for the address it prints first (it makes its keys before).
bool ServedFarm::Start() {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE inRead = nullptr, inWrite = nullptr, outRead = nullptr, outWrite = nullptr;
    if (!::CreatePipe(&inRead, &inWrite, &inherit, 0) || !::CreatePipe(&outRead, &outWrite, &inherit, 0)) {
        m_error = "no pipes";
        return false;
    }
    UniqueHandle childInput(inRead), childOutput(outWrite);
    m_input.reset(inWrite);
    m_output.reset(outRead);
    ::SetHandleInformation(inWrite, HANDLE_FLAG_INHERIT, 0);
    ::SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);

    std::wstring command =
        L"\"" + testutil::ProgramFolder() + L"\\devicesim.exe\" --farm \"" + m_farm.folder() + L"\" serve";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = childInput.get();
    startup.hStdOutput = childOutput.get();
    startup.hStdError = childOutput.get();
    PROCESS_INFORMATION process{};
    if (!::CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr, &startup,
                          &process)) {
        m_error = "devicesim serve did not start";
        return false;
    }
    ::CloseHandle(process.hThread);
    m_process.reset(process.hProcess);
    childOutput.reset(); // the server's end only: the pipe ends with the server

    std::string line;
    const DWORD deadline = ::GetTickCount() + 120000;
    while (line.find('\n') == std::string::npos) {
        DWORD waiting = 0;
        if (!::PeekNamedPipe(m_output.get(), nullptr, 0, nullptr, &waiting, nullptr)) {
            m_error = "devicesim serve ended: " + line;
            return false;
        }
        if (waiting == 0) {
            if (::GetTickCount() > deadline) {
                m_error = "devicesim serve printed no address";
                return false;
            }
            ::Sleep(50);
            continue;
        }
        char c = 0;
        DWORD got = 0;
        if (!::ReadFile(m_output.get(), &c, 1, &got, nullptr) || got == 0)
            return false;
        line += c;
    }
    std::string address = line.substr(0, line.find_first_of("\r\n"));
    if (address.rfind("127.0.0.1:", 0) != 0) {
        m_error = "devicesim serve printed " + line;
        return false;
    }
    std::wstring wide(address.begin(), address.end());
    ::SetEnvironmentVariableW(L"USBMUXD_SOCKET_ADDRESS", wide.c_str());
    _wputenv_s(L"USBMUXD_SOCKET_ADDRESS", wide.c_str());
    return true;
}

bool ServedFarm::WaitForDevice() {
    static Arrival arrival; // the backend may call back until it shuts down
    if (!arrival.arrived)
        arrival.arrived = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    {
        std::lock_guard<std::mutex> guard(arrival.lock);
        arrival.device = nullptr;
        ::ResetEvent(arrival.arrived);
    }
    am_device_notification* subscription = nullptr;
    if (Call<AMDeviceNotificationSubscribe_fn>("AMDeviceNotificationSubscribe")(OnNotification, 0, 0, &arrival,
                                                                                &subscription) != 0) {
        m_error = "no notification subscription";
        return false;
    }
    const bool arrived = ::WaitForSingleObject(arrival.arrived, 30000) == WAIT_OBJECT_0;
    Call<AMDeviceNotificationUnsubscribe_fn>("AMDeviceNotificationUnsubscribe")(subscription);
    std::lock_guard<std::mutex> guard(arrival.lock);
    m_device = arrival.device;
    arrival.device = nullptr;
    if (!arrived || !m_device)
        m_error = "the farm's device was not announced";
    return m_device != nullptr;
}

simfarm::Value ServedFarm::Description() const {
    simfarm::Value d;
    simfarm::Farm(m_farm.folder()).Load(m_farm.udid(), &d);
    return d;
}

std::string ServedFarm::DeviceFile(const std::string& path) const {
    std::string bytes;
    simfarm::Farm(m_farm.folder()).Files(m_farm.udid()).ReadWholeFile(path, &bytes, 256u << 20);
    return bytes;
}

Session::Session(am_device* device) : m_device(device) {
    if (Call<AMDeviceConnect_fn>("AMDeviceConnect")(device) != 0)
        return;
    if (Call<AMDeviceIsPaired_fn>("AMDeviceIsPaired")(device) == 0)
        Call<AMDevicePair_fn>("AMDevicePair")(device);
    m_open = Call<AMDeviceValidatePairing_fn>("AMDeviceValidatePairing")(device) == 0 &&
             Call<AMDeviceStartSession_fn>("AMDeviceStartSession")(device) == 0;
    if (!m_open)
        Call<AMDeviceDisconnect_fn>("AMDeviceDisconnect")(device);
}

Session::~Session() {
    if (!m_open)
        return;
    Call<AMDeviceStopSession_fn>("AMDeviceStopSession")(m_device);
    Call<AMDeviceDisconnect_fn>("AMDeviceDisconnect")(m_device);
}

} // namespace backendtest
