// What orvexctl checks around the binding of the vendor's libraries, so that
// it never sits on a message box nobody can see:
//  - before: the device library would find the vendor's libraries
//    (MissingVendorInstallation in tools/orvexctl/doctor.h);
//  - during: a message box the device library shows on this thread is read
//    and closed at once, its text handed back to be printed.
#pragma once

#include <windows.h>

#include <string>

namespace orvexctl {

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
