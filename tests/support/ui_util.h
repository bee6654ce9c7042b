// Helpers for tests that make windows: GDI+ for the test's lifetime, a
// message-box recorder in place of the real box, and a message pump.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace testutil {

// Starts GDI+ and shuts it down again.
class GdiplusSession {
  public:
    GdiplusSession();
    ~GdiplusSession();
    GdiplusSession(const GdiplusSession&) = delete;
    GdiplusSession& operator=(const GdiplusSession&) = delete;
    bool ok() const { return m_token != 0; }

  private:
    ULONG_PTR m_token = 0;
};

// One message box that the program asked for.
struct ShownBox {
    HWND owner;
    std::wstring text;
    std::wstring caption;
    UINT type;
};

// Installs seams hooks that record every message box (answering with
// `answer`, or by the box's text through SetAnswerFor) and every shell open,
// and restores the production hooks when destroyed.
class SeamRecorder {
  public:
    explicit SeamRecorder(int answer = IDOK);
    ~SeamRecorder();
    SeamRecorder(const SeamRecorder&) = delete;
    SeamRecorder& operator=(const SeamRecorder&) = delete;

    void SetAnswerFor(const std::wstring& text, int answer);
    std::vector<ShownBox> boxes() const;
    std::vector<std::wstring> texts() const;
    std::vector<std::wstring> opened() const;
    void Clear();
};

// Dispatches the thread's waiting messages for about `milliseconds`.
void PumpMessages(DWORD milliseconds = 0);
// Pumps until `done()` or the time is up; returns done().
template <typename Predicate> bool PumpUntil(Predicate done, DWORD milliseconds) {
    DWORD start = ::GetTickCount();
    while (!done()) {
        if (::GetTickCount() - start > milliseconds)
            return done();
        PumpMessages(10);
    }
    return true;
}

} // namespace testutil
