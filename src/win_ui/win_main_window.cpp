#include "win_ui/win_main_window.h"

#include <commdlg.h>

#include <vector>

#include "base/diag_log.h"
#include "win_ui/win_about_dlg.h"
#include "win_ui/win_link_ctrl.h"

namespace quor {

namespace {

constexpr int AUTO_TIP_DELAY_MS = 500;
constexpr COLORREF AUTO_TIP_TEXT = RGB(50, 50, 50);
constexpr COLORREF AUTO_TIP_BACKGROUND = RGB(255, 255, 255);
constexpr const wchar_t* SAVE_EXTENSION = L"txt";

int show_message(HWND owner, const std::string& text, const std::string& caption, UINT style) {
    return MessageBoxW(owner, widen(text).c_str(), widen(caption).c_str(), style);
}

}  // namespace

CWinMainWindow::CWinMainWindow(Handlers handlers, CParameterDlg::Store settings)
    : m_handlers(std::move(handlers)), m_settings(std::move(settings)) {}

BOOL CWinMainWindow::OnInitDialog() {
    HICON big = static_cast<HICON>(
        LoadImageW(resource_module(), MAKEINTRESOURCEW(ICON_PAIRED_SIGNED_OUT), IMAGE_ICON,
                   GetSystemMetrics(SM_CXICON), GetSystemMetrics(SM_CYICON), 0));
    HICON small = static_cast<HICON>(
        LoadImageW(resource_module(), MAKEINTRESOURCEW(ICON_PAIRED_SIGNED_OUT), IMAGE_ICON,
                   GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON), 0));
    SendMessageW(m_hWnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(big));
    SendMessageW(m_hWnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(small));
    if (m_handlers.init) m_handlers.init();
    return TRUE;
}

// ------------------------------------------------------------ start-up

void CWinMainWindow::init_window() {
    CHyperLink::SetLinkCursor(static_cast<HCURSOR>(
        LoadImageW(resource_module(), MAKEINTRESOURCEW(132), IMAGE_CURSOR, 0, 0, LR_DEFAULTSIZE)));
    SetWindowPos(m_hWnd, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
    m_tray.Add(m_hWnd, ICON_NOT_PAIRED, LoadString(IDS_NOT_PAIRED));
    InitToolTip();
    const std::wstring about = load_text(IDS_ABOUT_MENU);
    if (!about.empty()) {
        HMENU system = GetSystemMenu(m_hWnd, FALSE);
        AppendMenuW(system, MF_SEPARATOR, 0, nullptr);
        AppendMenuW(system, MF_STRING, ID_ABOUT_SYSMENU, about.c_str());
    }
}

void CWinMainWindow::InitToolTip() {
    m_tipAuto = CreateWindowExW(0, TOOLTIPS_CLASSW, nullptr, WS_POPUP | TTS_ALWAYSTIP,
                                CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, m_hWnd,
                                nullptr, resource_module(), nullptr);
    if (!m_tipAuto) return;
    static std::wstring text;
    text = load_text(IDS_AUTO_TIP);
    TOOLINFOW tool{};
    tool.cbSize = sizeof tool;
    // The tool subclasses the check box to see the pointer's moves.
    tool.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
    tool.hwnd = m_hWnd;
    tool.uId = reinterpret_cast<UINT_PTR>(GetDlgItem(m_hWnd, IDC_AUTO_IP));
    tool.lpszText = text.data();
    SendMessageW(m_tipAuto, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
    SendMessageW(m_tipAuto, TTM_SETDELAYTIME, TTDT_AUTOMATIC, AUTO_TIP_DELAY_MS);
    SendMessageW(m_tipAuto, TTM_SETTIPTEXTCOLOR, AUTO_TIP_TEXT, 0);
    SendMessageW(m_tipAuto, TTM_SETTIPBKCOLOR, AUTO_TIP_BACKGROUND, 0);
    SendMessageW(m_tipAuto, TTM_ACTIVATE, TRUE, 0);
}

// ------------------------------------------------------------- showing

void CWinMainWindow::apply_state(const StateEffects& fx) {
    if (fx.address_enabled) EnableWindow(GetDlgItem(m_hWnd, IDC_PHONE_IP), *fx.address_enabled);
    if (fx.auto_enabled) EnableWindow(GetDlgItem(m_hWnd, IDC_AUTO_IP), *fx.auto_enabled);
    if (fx.pair_enabled) EnableWindow(GetDlgItem(m_hWnd, IDOK), *fx.pair_enabled);
    if (fx.pair_text) SetDlgItemTextW(m_hWnd, IDOK, widen(*fx.pair_text).c_str());
    if (!fx.status) return;
    m_tray.Modify(fx.icon, fx.tip, fx.balloon);
    SetDlgItemTextW(m_hWnd, IDC_STATUS, widen(*fx.status).c_str());
}

void CWinMainWindow::show_auto_checked(bool checked) {
    CheckDlgButton(m_hWnd, IDC_AUTO_IP, checked ? BST_CHECKED : BST_UNCHECKED);
}

void CWinMainWindow::show_address(uint32_t addr, bool blank) {
    m_bSettingAddress = true;
    if (blank)
        SendDlgItemMessageW(m_hWnd, IDC_PHONE_IP, IPM_CLEARADDRESS, 0, 0);
    else
        SendDlgItemMessageW(m_hWnd, IDC_PHONE_IP, IPM_SETADDRESS, 0, addr);
    m_bSettingAddress = false;
}

void CWinMainWindow::enable_address(bool enabled) {
    EnableWindow(GetDlgItem(m_hWnd, IDC_PHONE_IP), enabled);
}

bool CWinMainWindow::is_minimized() {
    WINDOWPLACEMENT placement{};
    placement.length = sizeof placement;
    if (!m_hWnd || !GetWindowPlacement(m_hWnd, &placement)) return false;
    return placement.showCmd == SW_SHOWMINIMIZED;
}

void CWinMainWindow::show_hide(int mode) {
    if (mode == 2) mode = is_minimized() ? 0 : 1;
    if (mode == 0) {
        ShowWindow(m_hWnd, SW_SHOWNORMAL);
        SetForegroundWindow(m_hWnd);
    } else {
        ShowWindow(m_hWnd, SW_MINIMIZE);
        ShowWindow(m_hWnd, SW_HIDE);
    }
}

// ------------------------------------------------------------ the tray

void CWinMainWindow::OpenTrayMenu() {
    const bool with_logs = GetAsyncKeyState(VK_CONTROL) < 0;
    m_tray.ShowMenu(with_logs, m_handlers.state ? m_handlers.state() : STATE_NOT_PAIRED,
                    m_handlers.log_running && m_handlers.log_running());
}

void CWinMainWindow::OnTrayEvent(UINT mouse_message) {
    switch (mouse_message) {
        case WM_LBUTTONDOWN:
        case WM_LBUTTONDBLCLK:
            show_hide(2);
            break;
        case WM_RBUTTONUP:
            OpenTrayMenu();
            break;
        default:
            break;
    }
}

// ------------------------------------------------------------ messages

void CWinMainWindow::OnCommand(int id, int code) {
    switch (id) {
        case IDOK:
            if (code == BN_CLICKED && m_handlers.pair) m_handlers.pair();
            return;
        case IDCANCEL:
            if (m_handlers.cancel) m_handlers.cancel();
            return;
        case IDC_AUTO_IP:
            if (code == BN_CLICKED && m_handlers.auto_toggled)
                m_handlers.auto_toggled(IsDlgButtonChecked(m_hWnd, IDC_AUTO_IP) == BST_CHECKED);
            return;
        case IDC_SET_BUTTON:
            if (code == BN_CLICKED && m_handlers.set_clicked) m_handlers.set_clicked();
            return;
        case IDC_HELP_BUTTON:
            if (code == BN_CLICKED && m_handlers.help_clicked) m_handlers.help_clicked();
            return;
        case IDC_PHONE_IP:
            if (code == EN_CHANGE && !m_bSettingAddress && m_handlers.address_edited) {
                DWORD addr = 0;
                const int fields = static_cast<int>(SendDlgItemMessageW(
                    m_hWnd, IDC_PHONE_IP, IPM_GETADDRESS, 0, reinterpret_cast<LPARAM>(&addr)));
                m_handlers.address_edited(addr, fields);
            }
            return;
        default:
            if (id >= ID_SHOW_HIDE && m_handlers.command) m_handlers.command(id);
            return;
    }
}

INT_PTR CWinMainWindow::OnMessage(UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == CWinTray::TaskbarCreatedMessage()) {
        m_tray.Readd();
        return FALSE;
    }
    switch (message) {
        case WM_COMMAND:
            // The icon's mouse events: id 0, the mouse message in lParam.
            if (wparam == 0)
                OnTrayEvent(static_cast<UINT>(lparam));
            else
                OnCommand(LOWORD(wparam), HIWORD(wparam));
            return TRUE;
        case WM_SYSCOMMAND: {
            const int id = static_cast<int>(wparam & 0xFFF0);
            if (id != ID_ABOUT_SYSMENU && id != SC_MINIMIZE) return FALSE;
            if (m_handlers.sys_command)
                m_handlers.sys_command(id == SC_MINIMIZE ? SC_MINIMIZE : static_cast<int>(wparam));
            return TRUE;
        }
        case WM_DESTROY:
            m_tray.Remove();
            return FALSE;
        default:
            return FALSE;
    }
}

// -------------------------------------------------------------- dialogs

bool CWinMainWindow::run_settings_dialog() {
    CParameterDlg dlg(m_settings, show_message);
    return dlg.DoModal(m_hWnd) == IDOK;
}

void CWinMainWindow::run_about_box() {
    CAboutDlg dlg;
    dlg.DoModal(m_hWnd);
}

bool CWinMainWindow::open_document(const std::string& file) {
    const HINSTANCE result =
        ShellExecuteW(nullptr, L"open", widen(file).c_str(), nullptr, nullptr, SW_SHOWNORMAL);
    return reinterpret_cast<INT_PTR>(result) > 32;
}

std::string CWinMainWindow::ask_save_path(const std::string& default_name,
                                          const std::string& filter) {
    // "Text file(*.txt)|*.txt|All file(*.*)|*.*||" with NULs for the bars.
    std::wstring filters = widen(filter);
    for (wchar_t& c : filters)
        if (c == L'|') c = L'\0';
    filters.push_back(L'\0');
    std::vector<wchar_t> path(MAX_PATH, L'\0');
    const std::wstring name = widen(default_name) + L"." + SAVE_EXTENSION;
    wcsncpy(path.data(), name.c_str(), path.size() - 1);
    OPENFILENAMEW ofn{};
    ofn.lStructSize = sizeof ofn;
    ofn.hwndOwner = m_hWnd;
    ofn.lpstrFilter = filters.c_str();
    ofn.lpstrFile = path.data();
    ofn.nMaxFile = static_cast<DWORD>(path.size());
    ofn.lpstrDefExt = SAVE_EXTENSION;
    ofn.Flags = OFN_OVERWRITEPROMPT | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY;
    if (!GetSaveFileNameW(&ofn)) return {};
    return narrow(path.data());
}

// Any thread: a worker's message box is owned by the main window, as the
// UI thread's are.
int CWinMainWindow::message_box(const std::string& text, const std::string& caption, int style) {
    return show_message(m_hWnd, text, caption, static_cast<UINT>(style));
}

// --------------------------------------------------------------- ending

void CWinMainWindow::end_dialog() {
    if (m_bEnded || !m_hWnd) return;
    m_bEnded = true;
    EndDialog(m_hWnd, IDOK);
}

}  // namespace quor
