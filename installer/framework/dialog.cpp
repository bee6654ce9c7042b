#include "installer/framework/dialog.h"

#include "installer/framework/app.h"

namespace {

// Posted to the window when tasks are waiting for its thread.
constexpr UINT kRunTasksMessage = WM_APP + 0x3F0;

// Messages whose result a dialog procedure returns directly instead of
// through DWLP_MSGRESULT.
bool ReturnsResultDirectly(UINT msg) {
    switch (msg) {
    case WM_CTLCOLORMSGBOX:
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORLISTBOX:
    case WM_CTLCOLORBTN:
    case WM_CTLCOLORDLG:
    case WM_CTLCOLORSCROLLBAR:
    case WM_CTLCOLORSTATIC:
    case WM_COMPAREITEM:
    case WM_VKEYTOITEM:
    case WM_CHARTOITEM:
    case WM_QUERYDRAGICON:
    case WM_INITDIALOG:
        return true;
    default:
        return false;
    }
}

} // namespace

CDialog::CDialog(UINT nIDTemplate, HWND hParent) : m_nIDTemplate(nIDTemplate), m_hParent(hParent) {}

CDialog::~CDialog() {
    if (m_hWnd) {
        ::SetWindowLongPtrW(m_hWnd, DWLP_USER, 0);
        ::DestroyWindow(m_hWnd);
        m_hWnd = nullptr;
    }
}

INT_PTR CDialog::DoModal() {
    m_bModal = true;
    m_bCreateFailed = false;
    INT_PTR result = ::DialogBoxParamW(AppResourceModule(), MAKEINTRESOURCEW(m_nIDTemplate), m_hParent,
                                       &CDialog::DialogProc, reinterpret_cast<LPARAM>(this));
    m_bModal = false;
    return m_bCreateFailed ? -1 : result;
}

bool CDialog::CreateModeless() {
    m_bModal = false;
    m_bCreateFailed = false;
    HWND hWnd = ::CreateDialogParamW(AppResourceModule(), MAKEINTRESOURCEW(m_nIDTemplate), m_hParent,
                                     &CDialog::DialogProc, reinterpret_cast<LPARAM>(this));
    if (!hWnd)
        return false;
    if (m_bCreateFailed) {
        ::DestroyWindow(hWnd);
        return false;
    }
    return true;
}

void CDialog::EndDialog(INT_PTR result) {
    if (!m_hWnd)
        return;
    if (m_bModal)
        ::EndDialog(m_hWnd, result);
    else
        ::DestroyWindow(m_hWnd);
}

int CDialog::MessageBox(const wchar_t* text, UINT type) const { return AppMessageBox(m_hWnd, text, type); }

BOOL CDialog::OnInitDialog() {
    DoDataExchange();
    return TRUE;
}

void CDialog::OnOK() { EndDialog(IDOK); }

void CDialog::OnCancel() { EndDialog(IDCANCEL); }

INT_PTR CALLBACK CDialog::DialogProc(HWND hWnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    try {
        CDialog* self = nullptr;
        if (msg == WM_INITDIALOG) {
            self = reinterpret_cast<CDialog*>(lParam);
            ::SetWindowLongPtrW(hWnd, DWLP_USER, reinterpret_cast<LONG_PTR>(self));
            self->m_hWnd = hWnd;
            self->OpenTaskQueue(hWnd);
        } else {
            self = reinterpret_cast<CDialog*>(::GetWindowLongPtrW(hWnd, DWLP_USER));
        }
        if (!self)
            return FALSE;
        INT_PTR handled = self->Dispatch(msg, wParam, lParam);
        if (msg == WM_NCDESTROY) {
            ::SetWindowLongPtrW(hWnd, DWLP_USER, 0);
            self->CloseTaskQueue();
            self->OnFinalDestroy();
            self->m_hWnd = nullptr;
        }
        return handled;
    } catch (...) {
        return FALSE;
    }
}

INT_PTR CDialog::Dispatch(UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_INITDIALOG) {
        if (OnCreate() == -1) {
            m_bCreateFailed = true;
            if (m_bModal)
                ::EndDialog(m_hWnd, -1);
            return FALSE;
        }
        return OnInitDialog();
    }
    if (msg == kRunTasksMessage) {
        RunQueuedTasks();
        return TRUE;
    }
    if (msg == WM_COMMAND) {
        UINT id = LOWORD(wParam);
        UINT code = HIWORD(wParam);
        if (id == IDOK && code == BN_CLICKED) {
            OnOK();
            return TRUE;
        }
        if (id == IDCANCEL && code == BN_CLICKED) {
            OnCancel();
            return TRUE;
        }
        return OnCommand(id, code) ? TRUE : FALSE;
    }
    LRESULT result = 0;
    if (!OnMessage(msg, wParam, lParam, &result))
        return FALSE;
    if (ReturnsResultDirectly(msg))
        return static_cast<INT_PTR>(result);
    ::SetWindowLongPtrW(m_hWnd, DWLP_MSGRESULT, result);
    return TRUE;
}

void CDialog::RunOnWindowThread(std::function<void()> task) {
    if (IsWindowThread()) {
        RunQueuedTasks();
        task();
        return;
    }
    std::lock_guard<std::mutex> hold(m_taskLock);
    if (!m_hTaskWnd)
        return;
    m_tasks.push_back(std::move(task));
    if (m_tasks.size() == 1)
        ::PostMessageW(m_hTaskWnd, kRunTasksMessage, 0, 0);
}

bool CDialog::IsWindowThread() const {
    std::lock_guard<std::mutex> hold(m_taskLock);
    return m_hTaskWnd && m_nWindowThreadId == ::GetCurrentThreadId();
}

void CDialog::RunQueuedTasks() {
    for (;;) {
        std::function<void()> task;
        {
            std::lock_guard<std::mutex> hold(m_taskLock);
            if (m_tasks.empty())
                return;
            task = std::move(m_tasks.front());
            m_tasks.pop_front();
        }
        task();
    }
}

void CDialog::OpenTaskQueue(HWND hWnd) {
    std::lock_guard<std::mutex> hold(m_taskLock);
    m_hTaskWnd = hWnd;
    m_nWindowThreadId = ::GetCurrentThreadId();
}

void CDialog::CloseTaskQueue() {
    std::deque<std::function<void()>> dropped;
    {
        std::lock_guard<std::mutex> hold(m_taskLock);
        m_hTaskWnd = nullptr;
        m_nWindowThreadId = 0;
        dropped.swap(m_tasks);
    }
}
