// A dialog window created from a dialog template, run modally (or, for
// tests and tools, modelessly), with message and command dispatch to
// virtual handlers.
#pragma once

#include <windows.h>

#include <deque>
#include <functional>
#include <mutex>

class CDialog {
  public:
    explicit CDialog(UINT nIDTemplate, HWND hParent = nullptr);
    virtual ~CDialog();
    CDialog(const CDialog&) = delete;
    CDialog& operator=(const CDialog&) = delete;

    // Creates the dialog from its template and runs it until EndDialog.
    // Returns the value given to EndDialog, or -1 when the dialog could not
    // be created (its creation step failed or the template is missing).
    INT_PTR DoModal();
    // Creates the dialog without a modal loop of its own; the caller pumps
    // messages. False when the dialog could not be created.
    bool CreateModeless();
    // Ends the modal run with `result` (a modeless dialog is destroyed).
    void EndDialog(INT_PTR result);

    HWND GetDlgItem(int id) const { return m_hWnd ? ::GetDlgItem(m_hWnd, id) : nullptr; }
    // A message box owned by this dialog, captioned with the application's name.
    int MessageBox(const wchar_t* text, UINT type = MB_OK) const;

    // Runs `task` on the thread that owns the window, after every task
    // queued before it: at once when called on that thread, otherwise when
    // that thread next reads its messages. Never waits for the window's
    // thread. Tasks still queued when the window is destroyed are dropped.
    void RunOnWindowThread(std::function<void()> task);
    // The calling thread owns the window.
    bool IsWindowThread() const;

    HWND m_hWnd = nullptr;
    UINT m_nIDTemplate;

  protected:
    // Creation: runs before the dialog's initialisation; -1 ends the
    // dialog before it is ever shown. (Windows gives a template dialog's
    // procedure no WM_CREATE, so the framework runs this step first thing
    // on WM_INITDIALOG.)
    virtual int OnCreate() { return 0; }
    // Initialisation; the base binds the controls (DoDataExchange).
    virtual BOOL OnInitDialog();
    // Binds controls to their members (subclassing).
    virtual void DoDataExchange() {}
    // IDOK / IDCANCEL: the base ends the dialog with that id.
    virtual void OnOK();
    virtual void OnCancel();
    // WM_COMMAND other than IDOK / IDCANCEL. True when handled.
    virtual bool OnCommand(UINT id, UINT code) { return false; }
    // Any other message. True when handled; *result is the message's result.
    virtual bool OnMessage(UINT msg, WPARAM wParam, LPARAM lParam, LRESULT* result) { return false; }
    // Last message the window gets (WM_NCDESTROY); m_hWnd is cleared after it.
    virtual void OnFinalDestroy() {}

  private:
    static INT_PTR CALLBACK DialogProc(HWND hWnd, UINT msg, WPARAM wParam, LPARAM lParam);
    INT_PTR Dispatch(UINT msg, WPARAM wParam, LPARAM lParam);
    void RunQueuedTasks();
    void OpenTaskQueue(HWND hWnd);
    void CloseTaskQueue();

    HWND m_hParent;
    bool m_bModal = false;
    bool m_bCreateFailed = false;

    mutable std::mutex m_taskLock;
    std::deque<std::function<void()>> m_tasks; // guarded by m_taskLock
    HWND m_hTaskWnd = nullptr;                 // guarded by m_taskLock
    DWORD m_nWindowThreadId = 0;               // guarded by m_taskLock
};
