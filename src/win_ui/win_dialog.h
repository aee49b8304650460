// A modal dialog run from a template of the executable's resources, in the
// run's language, with its messages handed to a virtual member.
#pragma once

#include "win_ui/win_resources.h"

namespace quor {

class CWinDialog {
  public:
    virtual ~CWinDialog() = default;

    // Runs dialog template ID modally with OWNER; the value given to
    // EndDialog, or -1 when the template is missing or the dialog could not
    // be created.
    INT_PTR DoModal(int id, HWND owner);
    HWND GetSafeHwnd() const { return m_hWnd; }

  protected:
    // WM_INITDIALOG; TRUE lets the dialog manager set the focus.
    virtual BOOL OnInitDialog() { return TRUE; }
    // Every other message; TRUE when handled (the dialog procedure's
    // meaning), with SetWindowLongPtr(DWLP_MSGRESULT) for results.
    virtual INT_PTR OnMessage(UINT message, WPARAM wparam, LPARAM lparam);

    HWND m_hWnd = nullptr;

  private:
    static INT_PTR CALLBACK DialogProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);
};

}  // namespace quor
