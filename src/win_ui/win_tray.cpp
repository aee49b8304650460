#include "win_ui/win_tray.h"

#include <cwchar>

#include "base/diag_log.h"
#include "base/ids.h"
#include "ui/tray_menus.h"

namespace quor {

namespace {

void copy_text(wchar_t* dst, size_t size, const std::string& text) {
    const std::wstring wide = widen(text);
    wcsncpy(dst, wide.c_str(), size - 1);
    dst[size - 1] = L'\0';
}

HICON load_icon(int id, int size) {
    return static_cast<HICON>(
        LoadImageW(resource_module(), MAKEINTRESOURCEW(id), IMAGE_ICON, size, size, 0));
}

}  // namespace

UINT CWinTray::TaskbarCreatedMessage() {
    static const UINT message = RegisterWindowMessageW(L"TaskbarCreated");
    return message;
}

bool CWinTray::Add(HWND owner, int icon, const std::string& tip) {
    m_nid = {};
    m_nid.cbSize = sizeof m_nid;
    m_nid.hWnd = owner;
    m_nid.uID = 0;
    m_nid.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP | NIF_INFO;
    // Mouse events on the icon arrive as WM_COMMAND with id 0 and the mouse
    // message in lParam.
    m_nid.uCallbackMessage = WM_COMMAND;
    m_nid.hIcon = load_icon(icon, GetSystemMetrics(SM_CXSMICON));
    copy_text(m_nid.szTip, ARRAYSIZE(m_nid.szTip), tip);
    m_nid.uTimeout = BALLOON_TIMEOUT_MS;
    copy_text(m_nid.szInfoTitle, ARRAYSIZE(m_nid.szInfoTitle), LoadString(IDS_BALLOON_TITLE));
    m_nid.dwInfoFlags = NIIF_INFO;
    m_bAdded = Shell_NotifyIconW(NIM_ADD, &m_nid);
    if (!m_bAdded) quor_log("Quor ERR: the notification area refused the icon\n");
    return m_bAdded;
}

void CWinTray::Modify(int icon, const std::string& tip, const std::string& balloon) {
    if (!m_nid.hWnd) return;
    if (icon) m_nid.hIcon = load_icon(icon, GetSystemMetrics(SM_CXSMICON));
    copy_text(m_nid.szTip, ARRAYSIZE(m_nid.szTip), tip);
    copy_text(m_nid.szInfo, ARRAYSIZE(m_nid.szInfo), balloon);
    Shell_NotifyIconW(NIM_MODIFY, &m_nid);
}

void CWinTray::Readd() {
    if (!m_nid.hWnd) return;
    m_bAdded = Shell_NotifyIconW(NIM_ADD, &m_nid);
}

void CWinTray::Remove() {
    if (!m_nid.hWnd) return;
    Shell_NotifyIconW(NIM_DELETE, &m_nid);
    m_bAdded = false;
}

HMENU load_tray_menu(bool with_logs, unsigned state, bool log_running) {
    HMENU menu = load_menu(with_logs ? MENU_TRAY_LOGS : MENU_TRAY);
    if (!menu) return nullptr;
    HMENU sub = GetSubMenu(menu, 0);
    for (const TrayMenuItem& item : tray_menu_items(with_logs, state, log_running)) {
        if (item.id == 0) continue;
        wchar_t loaded[256] = L"";
        GetMenuStringW(sub, item.id, loaded, ARRAYSIZE(loaded), MF_BYCOMMAND);
        const std::wstring text = widen(item.text);
        if (text != loaded)
            ModifyMenuW(sub, item.id, MF_BYCOMMAND | MF_STRING, item.id, text.c_str());
        UINT enable = MF_ENABLED;
        if (!item.active) enable = item.greyed ? MF_DISABLED | MF_GRAYED : MF_DISABLED;
        EnableMenuItem(sub, item.id, MF_BYCOMMAND | enable);
    }
    return menu;
}

void CWinTray::ShowMenu(bool with_logs, unsigned state, bool log_running) {
    HMENU menu = load_tray_menu(with_logs, state, log_running);
    if (!menu) {
        quor_log("Quor ERR: tray menu %d is missing\n", with_logs ? MENU_TRAY_LOGS : MENU_TRAY);
        return;
    }
    POINT p;
    GetCursorPos(&p);
    SetForegroundWindow(m_nid.hWnd);
    TrackPopupMenu(GetSubMenu(menu, 0), TPM_LEFTALIGN | TPM_LEFTBUTTON, p.x, p.y, 0, m_nid.hWnd,
                   nullptr);
    DestroyMenu(menu);
}

}  // namespace quor
