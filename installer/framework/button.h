// A push button of a dialog, subclassed so that a derived class sees its
// window messages before the system button does.
#pragma once

#include <windows.h>

class CButton {
  public:
    CButton() = default;
    virtual ~CButton();
    CButton(const CButton&) = delete;
    CButton& operator=(const CButton&) = delete;

    // Takes over control `id` of `hParent`. False when there is no such
    // control or it is already taken.
    bool SubclassDlgItem(UINT id, HWND hParent);
    // Gives the control back its own window procedure.
    void Unsubclass();

    HWND m_hWnd = nullptr;

  protected:
    // A message for the button. True when handled (*result is its result);
    // false passes it on to the system button.
    virtual bool OnMessage(UINT msg, WPARAM wParam, LPARAM lParam, LRESULT* result) { return false; }
    // The system button's processing of a message.
    LRESULT Default(UINT msg, WPARAM wParam, LPARAM lParam);

  private:
    static LRESULT CALLBACK WindowProc(HWND hWnd, UINT msg, WPARAM wParam, LPARAM lParam);

    WNDPROC m_pfnSuper = nullptr;
};
