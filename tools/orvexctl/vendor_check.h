// What orvexctl checks around the binding of the vendor's libraries, so that
// it never sits on a message box nobody can see:
//  - before: the vendor's folders and both libraries are where the device
//    library looks for them;
//  - during: a message box the device library shows on this thread is read
//    and closed at once, its text handed back to be printed.
#pragma once

#include <windows.h>

#include <string>

namespace orvexctl {

// Empty when the vendor's installation of this edition is in place, else
// one line naming the missing folder or file and what to install.
std::wstring MissingVendorInstallation();
// The same check under a given common files folder ("" = none).
std::wstring MissingVendorInstallation(std::wstring commonFiles);

// While alive, every message box that the calling thread opens is closed as
// soon as it appears (as if its OK button were pressed); its text is kept.
class MessageBoxCatcher {
  public:
    MessageBoxCatcher();
    ~MessageBoxCatcher();
    MessageBoxCatcher(const MessageBoxCatcher&) = delete;
    MessageBoxCatcher& operator=(const MessageBoxCatcher&) = delete;

    // The texts of the boxes closed so far, in order.
    const std::wstring& texts() const { return m_texts; }

  private:
    static LRESULT CALLBACK Hook(int code, WPARAM wParam, LPARAM lParam);
    HHOOK m_hook = nullptr;
    std::wstring m_texts;
};

} // namespace orvexctl
