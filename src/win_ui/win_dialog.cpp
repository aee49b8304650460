#include "win_ui/win_dialog.h"

namespace quor {

INT_PTR CWinDialog::DoModal(int id, HWND owner) {
    const DLGTEMPLATE* dialog = find_dialog(id);
    if (!dialog) return -1;
    return DialogBoxIndirectParamW(resource_module(), dialog, owner, DialogProc,
                                   reinterpret_cast<LPARAM>(this));
}

INT_PTR CWinDialog::OnMessage(UINT, WPARAM, LPARAM) {
    return FALSE;
}

INT_PTR CALLBACK CWinDialog::DialogProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
    CWinDialog* self;
    if (message == WM_INITDIALOG) {
        self = reinterpret_cast<CWinDialog*>(lparam);
        SetWindowLongPtrW(hwnd, DWLP_USER, lparam);
        self->m_hWnd = hwnd;
        return self->OnInitDialog();
    }
    self = reinterpret_cast<CWinDialog*>(GetWindowLongPtrW(hwnd, DWLP_USER));
    if (!self) return FALSE;
    const INT_PTR result = self->OnMessage(message, wparam, lparam);
    if (message == WM_NCDESTROY) self->m_hWnd = nullptr;
    return result;
}

}  // namespace quor
