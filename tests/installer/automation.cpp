#include "tests/installer/automation.h"

#include "tests/support/test_util.h"

#include <vector>

namespace automation {

const wchar_t kWindowTitle[] = L"Orvex助手安装器";

namespace {

struct Search {
    DWORD pid;
    bool wantMain;
    HWND found;
};

std::wstring TextOf(HWND hWnd) {
    wchar_t text[1024] = {};
    ::GetWindowTextW(hWnd, text, 1024);
    return text;
}

bool IsDialogOf(HWND hWnd, DWORD pid) {
    DWORD owner = 0;
    ::GetWindowThreadProcessId(hWnd, &owner);
    if (owner != pid || !::IsWindowVisible(hWnd))
        return false;
    wchar_t cls[64] = {};
    ::GetClassNameW(hWnd, cls, 64);
    return std::wstring(cls) == L"#32770";
}

BOOL CALLBACK FindWindowOf(HWND hWnd, LPARAM param) {
    auto* search = reinterpret_cast<Search*>(param);
    if (!IsDialogOf(hWnd, search->pid))
        return TRUE;
    bool isMain = TextOf(hWnd) == kWindowTitle;
    if (isMain == search->wantMain) {
        search->found = hWnd;
        return FALSE;
    }
    return TRUE;
}

HWND FindDialog(DWORD pid, bool wantMain) {
    Search search = {pid, wantMain, nullptr};
    ::EnumWindows(FindWindowOf, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

void SendMouse(DWORD flags) {
    INPUT input = {};
    input.type = INPUT_MOUSE;
    input.mi.dwFlags = flags;
    ::SendInput(1, &input, sizeof input);
}

void SendKey(WORD key, bool up) {
    INPUT input = {};
    input.type = INPUT_KEYBOARD;
    input.ki.wVk = key;
    input.ki.dwFlags = up ? KEYEVENTF_KEYUP : 0;
    ::SendInput(1, &input, sizeof input);
}

} // namespace

Installer::~Installer() {
    if (Running()) {
        ::TerminateProcess(m_process.get(), 255);
        ::WaitForSingleObject(m_process.get(), 5000);
    }
}

bool Installer::Start() {
    std::wstring exe = testutil::ProgramFolder() + L"\\InstallOrvex.exe";
    std::wstring commandLine = L"\"" + exe + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    if (!::CreateProcessW(exe.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr,
                          testutil::ProgramFolder().c_str(), &startup, &info))
        return false;
    ::CloseHandle(info.hThread);
    m_process.reset(info.hProcess);
    m_pid = info.dwProcessId;
    return true;
}

HWND Installer::WaitForWindow(DWORD milliseconds) {
    HWND found = nullptr;
    WaitUntil([&] { return (found = FindDialog(m_pid, true)) != nullptr || !Running(); }, milliseconds);
    return found;
}

std::optional<DWORD> Installer::WaitForExit(DWORD milliseconds) {
    if (!m_process || ::WaitForSingleObject(m_process.get(), milliseconds) != WAIT_OBJECT_0)
        return std::nullopt;
    DWORD status = 0;
    ::GetExitCodeProcess(m_process.get(), &status);
    return status;
}

bool Installer::Running() const { return m_process && ::WaitForSingleObject(m_process.get(), 0) == WAIT_TIMEOUT; }

std::optional<MessageBoxWindow> WaitForMessageBox(DWORD pid, DWORD milliseconds) {
    HWND box = nullptr;
    if (!WaitUntil([&] { return (box = FindDialog(pid, false)) != nullptr; }, milliseconds))
        return std::nullopt;
    // The message box keeps its text in the static control 0xFFFF.
    wchar_t text[1024] = {};
    ::GetDlgItemTextW(box, 0xFFFF, text, 1024);
    return MessageBoxWindow{box, text};
}

bool Answer(const MessageBoxWindow& box, int id) {
    HWND button = ::GetDlgItem(box.hWnd, id);
    if (!button)
        return false;
    ::PostMessageW(box.hWnd, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(button));
    return WaitUntil([&] { return !::IsWindow(box.hWnd); }, 3000);
}

void Click(HWND control) {
    RECT rect;
    ::GetWindowRect(control, &rect);
    ::SetCursorPos((rect.left + rect.right) / 2, (rect.top + rect.bottom) / 2);
    ::Sleep(50);
    SendMouse(MOUSEEVENTF_LEFTDOWN);
    ::Sleep(30);
    SendMouse(MOUSEEVENTF_LEFTUP);
}

namespace {

void PressKey(HWND window, WORD key) {
    ::SetForegroundWindow(window);
    ::Sleep(50);
    SendKey(key, false);
    SendKey(key, true);
}

} // namespace

void PressEnter(HWND window) { PressKey(window, VK_RETURN); }

void PressEscape(HWND window) { PressKey(window, VK_ESCAPE); }

} // namespace automation
