#include "installer/framework/button.h"

namespace {
const wchar_t kButtonProp[] = L"Orvex.CButton";
}

CButton::~CButton() { Unsubclass(); }

bool CButton::SubclassDlgItem(UINT id, HWND hParent) {
    if (m_hWnd)
        return false;
    HWND hWnd = ::GetDlgItem(hParent, static_cast<int>(id));
    if (!hWnd || ::GetPropW(hWnd, kButtonProp))
        return false;
    if (!::SetPropW(hWnd, kButtonProp, this))
        return false;
    m_hWnd = hWnd;
    m_pfnSuper = reinterpret_cast<WNDPROC>(
        ::SetWindowLongPtrW(hWnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&CButton::WindowProc)));
    return true;
}

void CButton::Unsubclass() {
    if (!m_hWnd)
        return;
    if (::IsWindow(m_hWnd)) {
        ::SetWindowLongPtrW(m_hWnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(m_pfnSuper));
        ::RemovePropW(m_hWnd, kButtonProp);
    }
    m_hWnd = nullptr;
    m_pfnSuper = nullptr;
}

LRESULT CButton::Default(UINT msg, WPARAM wParam, LPARAM lParam) {
    return ::CallWindowProcW(m_pfnSuper, m_hWnd, msg, wParam, lParam);
}

LRESULT CALLBACK CButton::WindowProc(HWND hWnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    auto* self = static_cast<CButton*>(::GetPropW(hWnd, kButtonProp));
    if (!self)
        return ::DefWindowProcW(hWnd, msg, wParam, lParam);
    try {
        if (msg == WM_NCDESTROY) {
            WNDPROC super = self->m_pfnSuper;
            self->Unsubclass();
            return ::CallWindowProcW(super, hWnd, msg, wParam, lParam);
        }
        LRESULT result = 0;
        if (self->OnMessage(msg, wParam, lParam, &result))
            return result;
        return self->Default(msg, wParam, lParam);
    } catch (...) {
        return 0;
    }
}
