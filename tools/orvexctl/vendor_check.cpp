#include "tools/orvexctl/vendor_check.h"

#include <string>

namespace orvexctl {

namespace {

// The thread's one catcher (boxes are caught on the thread that made it).
thread_local MessageBoxCatcher* t_catcher = nullptr;

} // namespace

MessageBoxCatcher::MessageBoxCatcher() {
    if (t_catcher)
        return; // one at a time per thread
    m_hook = ::SetWindowsHookExW(WH_CBT, Hook, nullptr, ::GetCurrentThreadId());
    if (m_hook)
        t_catcher = this;
}

MessageBoxCatcher::~MessageBoxCatcher() {
    if (!m_hook)
        return;
    ::UnhookWindowsHookEx(m_hook);
    t_catcher = nullptr;
}

LRESULT CALLBACK MessageBoxCatcher::Hook(int code, WPARAM wParam, LPARAM lParam) {
    MessageBoxCatcher* self = t_catcher;
    HHOOK hook = self ? self->m_hook : nullptr;
    try {
        if (self && code == HCBT_ACTIVATE) {
            HWND window = reinterpret_cast<HWND>(wParam);
            wchar_t className[16] = {};
            ::GetClassNameW(window, className, 16);
            if (std::wstring(className) == L"#32770") {
                // A message box keeps its text in the static control 0xFFFF.
                wchar_t text[1024] = {};
                if (!::GetDlgItemTextW(window, 0xFFFF, text, 1024))
                    ::GetWindowTextW(window, text, 1024);
                if (!self->m_texts.empty())
                    self->m_texts += L"; ";
                self->m_texts += text;
                ::PostMessageW(window, WM_COMMAND, IDOK, 0);
            }
        }
    } catch (...) {
        // A text is lost; the box is still closed by the next activation.
    }
    return ::CallNextHookEx(hook, code, wParam, lParam);
}

} // namespace orvexctl
