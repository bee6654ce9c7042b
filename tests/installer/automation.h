// A small automation of the installer for end-to-end tests: it starts
// InstallOrvex.exe, finds its window by its title, clicks its controls with
// the mouse, presses keys, and reads and answers its message boxes by their
// text, as a user would.
#pragma once

#include "platform/handles.h"

#include <windows.h>

#include <optional>
#include <string>

namespace automation {

// The installer's window title.
extern const wchar_t kWindowTitle[];

class Installer {
  public:
    Installer() = default;
    ~Installer(); // ends the process if it still runs
    Installer(const Installer&) = delete;
    Installer& operator=(const Installer&) = delete;

    // Starts build/bin/InstallOrvex.exe.
    bool Start();
    // The main window of this process, once it is there.
    HWND WaitForWindow(DWORD milliseconds);
    // Waits for the process to end; its exit status, or none on time-out.
    std::optional<DWORD> WaitForExit(DWORD milliseconds);
    bool Running() const;
    DWORD pid() const { return m_pid; }

  private:
    UniqueHandle m_process;
    DWORD m_pid = 0;
};

// A message box of process `pid` and the text it shows.
struct MessageBoxWindow {
    HWND hWnd;
    std::wstring text;
};
std::optional<MessageBoxWindow> WaitForMessageBox(DWORD pid, DWORD milliseconds);
// Presses the box's button `id` (IDOK, IDYES, IDNO, ...).
bool Answer(const MessageBoxWindow& box, int id);

// A left click with the mouse in the middle of `control`.
void Click(HWND control);
// Brings `window` forward and presses Enter, or Esc.
void PressEnter(HWND window);
void PressEscape(HWND window);
// Pumps nothing; polls `done` every 20 ms until it holds or time is up.
template <typename Predicate> bool WaitUntil(Predicate done, DWORD milliseconds) {
    DWORD start = ::GetTickCount();
    while (!done()) {
        if (::GetTickCount() - start > milliseconds)
            return done();
        ::Sleep(20);
    }
    return true;
}

} // namespace automation
