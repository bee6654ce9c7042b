// The skinned push button: it tells its owner when the pointer enters and
// leaves it, so that the owner can light the button's picture up.
#pragma once

#include "installer/framework/button.h"

// Private window messages of the installer window. wParam points to the
// sending button's role number (an int); lParam is 0.
constexpr UINT WM_BUTTON_HOVER = WM_USER + 1;
constexpr UINT WM_BUTTON_LEAVE = WM_USER + 2;

// Role numbers carried by the notices.
constexpr int kRoleMinimize = 1;
constexpr int kRoleClose = 2;
constexpr int kRoleInstall = 3;

class CMyButton : public CButton {
  public:
    HWND m_pOwner = nullptr; // receives the notices
    int m_nRole = 0;
    bool m_bHover = false;

  protected:
    bool OnMessage(UINT msg, WPARAM wParam, LPARAM lParam, LRESULT* result) override;
};
