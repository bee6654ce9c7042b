#include "skin/my_button.h"

bool CMyButton::OnMessage(UINT msg, WPARAM wParam, LPARAM lParam, LRESULT* result) {
    switch (msg) {
    case WM_MOUSEMOVE:
        if (!m_bHover) {
            // The themed button asks for WM_MOUSELEAVE itself; asking again
            // costs nothing and keeps every hover notice paired with a leave
            // notice where it does not.
            TRACKMOUSEEVENT track = {sizeof track, TME_LEAVE, m_hWnd, 0};
            ::TrackMouseEvent(&track);
            if (m_pOwner)
                ::SendMessageW(m_pOwner, WM_BUTTON_HOVER, reinterpret_cast<WPARAM>(&m_nRole), 0);
            m_bHover = true;
        }
        return false;
    case WM_MOUSELEAVE:
        if (m_bHover && m_pOwner)
            ::SendMessageW(m_pOwner, WM_BUTTON_LEAVE, reinterpret_cast<WPARAM>(&m_nRole), 0);
        m_bHover = false;
        return false;
    default:
        return false;
    }
}
