#include "win_ui/win_parameter_dlg.h"

#include <utility>

namespace quor {

namespace {

// The caption of the integer prompt: the program's name, as the dialog
// framework's own prompts have it.
constexpr const char* PROMPT_CAPTION = "KestrowQuorConnector";
// The edits hold at most this many characters that are read.
constexpr int EDIT_READ_CHARS = 63;

}  // namespace

CParameterDlg::CParameterDlg(Store store, MessageFn message)
    : m_store(std::move(store)), m_message(std::move(message)) {}

BOOL CParameterDlg::OnInitDialog() {
    if (m_store.load) m_store.load(this);
    UpdateData(false);
    SetFocus(GetDlgItem(m_hWnd, IDC_OK_SETTINGS));
    OnRepairClicked();
    return FALSE;  // the focus is set
}

bool CParameterDlg::ExchangeEdit(int id, int* member, bool save) {
    HWND edit = GetDlgItem(m_hWnd, id);
    if (!save) {
        SetWindowTextW(edit, std::to_wstring(*member).c_str());
        return true;
    }
    wchar_t text[EDIT_READ_CHARS + 1] = L"";
    GetWindowTextW(edit, text, EDIT_READ_CHARS + 1);
    if (scan_int(narrow(text), member) == 0) return true;
    m_message(m_hWnd, integer_prompt_text(), PROMPT_CAPTION, MB_ICONEXCLAMATION | MB_OK);
    SetFocus(edit);
    SendMessageW(edit, EM_SETSEL, 0, -1);
    return false;
}

bool CParameterDlg::UpdateData(bool save) {
    for (const auto& [id, value] : PARAMETER_CHECKS) {
        int* const member = &(this->*value);
        if (save) {
            const UINT state = IsDlgButtonChecked(m_hWnd, id);
            *member = state == BST_CHECKED ? 1 : state == BST_INDETERMINATE ? 2 : 0;
            continue;
        }
        // A stored 2 shows as the third state; anything else outside 0..2
        // becomes 0.
        if (*member < 0 || *member > 2) *member = 0;
        const UINT state = *member == 1   ? BST_CHECKED
                           : *member == 2 ? BST_INDETERMINATE
                                          : BST_UNCHECKED;
        if (state == BST_INDETERMINATE)
            SendDlgItemMessageW(m_hWnd, id, BM_SETSTYLE, BS_AUTO3STATE, FALSE);
        CheckDlgButton(m_hWnd, id, state);
    }
    for (const auto& [id, value] : PARAMETER_EDITS)
        if (!ExchangeEdit(id, &(this->*value), save)) return false;
    return true;
}

void CParameterDlg::OnRepairClicked() {
    if (!UpdateData(true)) return;
    EnableWindow(GetDlgItem(m_hWnd, IDC_REPAIR_TIME), m_nAutoRepair != 0);
    EnableWindow(GetDlgItem(m_hWnd, IDC_RETRY_TIMES), m_nAutoRepair != 0);
}

int CParameterDlg::SaveConfig() {
    if (!UpdateData(true)) return -1;
    if (!m_store.save) return -1;
    return m_store.save(*this, [this] {
        m_message(m_hWnd, LoadString(IDS_AUTORUN_FAILED), LoadString(IDS_HINT_CAPTION),
                  MB_ICONEXCLAMATION | MB_OK);
    });
}

void CParameterDlg::OnOK() {
    if (SaveConfig() == 0) {
        m_message(m_hWnd, LoadString(IDS_SAVE_SETTINGS_OK), LoadString(IDS_HINT_CAPTION),
                  MB_ICONEXCLAMATION | MB_OK);
        if (UpdateData(true)) EndDialog(m_hWnd, IDOK);
    } else {
        m_message(m_hWnd, LoadString(IDS_SAVE_SETTINGS_FAILED), LoadString(IDS_HINT_CAPTION),
                  MB_ICONEXCLAMATION | MB_OK);
        EndDialog(m_hWnd, IDCANCEL);
    }
}

INT_PTR CParameterDlg::OnMessage(UINT message, WPARAM wparam, LPARAM) {
    if (message != WM_COMMAND) return FALSE;
    const int id = LOWORD(wparam);
    const int code = HIWORD(wparam);
    switch (id) {
        case IDC_OK_SETTINGS:
        case IDOK:  // Enter
            if (code == BN_CLICKED) OnOK();
            return TRUE;
        case IDC_CANCEL_SETTINGS:
        case IDCANCEL:  // Escape
            if (code == BN_CLICKED) EndDialog(m_hWnd, IDCANCEL);
            return TRUE;
        case IDC_AUTO_MIN:
        case IDC_AUTO_PAIR:
        case IDC_AUTO_RUN:
        case IDC_AUTO_REPAIR:
        case IDC_AS_NM_DEV:
            if (code != BN_CLICKED) return TRUE;
            // Once clicked, a box that showed a stored 2 is an ordinary
            // two-state box again.
            SendDlgItemMessageW(m_hWnd, id, BM_SETSTYLE, BS_AUTOCHECKBOX, FALSE);
            if (id == IDC_AUTO_REPAIR) OnRepairClicked();
            return TRUE;
        default:
            return FALSE;
    }
}

}  // namespace quor
