#include "win_ui/win_about_dlg.h"

namespace quor {

CAboutDlg::CAboutDlg() : m_linkContact(load_text(IDS_SUPPORT_LINK)) {}

BOOL CAboutDlg::OnInitDialog() {
    m_linkContact.Attach(GetDlgItem(m_hWnd, IDC_CONTACT));
    return TRUE;
}

INT_PTR CAboutDlg::OnMessage(UINT message, WPARAM wparam, LPARAM lparam) {
    switch (message) {
        case WM_CTLCOLORSTATIC:
            if (reinterpret_cast<HWND>(lparam) == m_linkContact.GetSafeHwnd())
                return reinterpret_cast<INT_PTR>(
                    m_linkContact.OnCtlColor(reinterpret_cast<HDC>(wparam)));
            return FALSE;
        case WM_COMMAND:
            if (LOWORD(wparam) == IDOK || LOWORD(wparam) == IDCANCEL) {
                EndDialog(m_hWnd, LOWORD(wparam));
                return TRUE;
            }
            return FALSE;
        default:
            return FALSE;
    }
}

}  // namespace quor
