#include "win_ui/win_link_ctrl.h"

#include <windowsx.h>

#include <vector>

namespace quor {

namespace {

constexpr UINT_PTR SUBCLASS_ID = 1;
constexpr UINT_PTR TOOL_ID = 1;
constexpr int HELP_PROGRAM_CURSOR = 106;

bool shell_open(const std::wstring& target) {
    const HINSTANCE result =
        ShellExecuteW(nullptr, L"open", target.c_str(), nullptr, nullptr, SW_SHOW);
    return reinterpret_cast<INT_PTR>(result) > 32;
}

std::wstring window_text(HWND hwnd) {
    const int n = GetWindowTextLengthW(hwnd);
    std::vector<wchar_t> text(n + 1);
    GetWindowTextW(hwnd, text.data(), n + 1);
    return std::wstring(text.data());
}

}  // namespace

HCURSOR CHyperLink::s_hLinkCursor = nullptr;

CHyperLink::CHyperLink(std::wstring target) : m_strTarget(std::move(target)), m_open(shell_open) {}

CHyperLink::~CHyperLink() {
    if (m_hWnd) RemoveWindowSubclass(m_hWnd, SubclassProc, SUBCLASS_ID);
    if (m_tipLink) DestroyWindow(m_tipLink);
    if (m_fontLink) DeleteObject(m_fontLink);
}

void CHyperLink::SetLinkCursor(HCURSOR cursor) {
    if (cursor)
        s_hLinkCursor = cursor;
    else
        LoadDefaultLinkCursor();
}

// The hand of the Windows help program, where it exists.
void CHyperLink::LoadDefaultLinkCursor() {
    if (s_hLinkCursor) return;
    wchar_t dir[MAX_PATH];
    const UINT n = GetWindowsDirectoryW(dir, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return;
    const std::wstring path = std::wstring(dir) + L"\\winhlp32.exe";
    HMODULE help = LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (!help) return;
    if (HCURSOR cursor = LoadCursorW(help, MAKEINTRESOURCEW(HELP_PROGRAM_CURSOR)))
        s_hLinkCursor = CopyCursor(cursor);
    FreeLibrary(help);
}

void CHyperLink::Attach(HWND control) {
    m_hWnd = control;
    if (window_text(control).empty()) SetWindowTextW(control, m_strTarget.c_str());
    if (HFONT font = reinterpret_cast<HFONT>(SendMessageW(control, WM_GETFONT, 0, 0))) {
        LOGFONTW lf;
        if (GetObjectW(font, sizeof lf, &lf) == sizeof lf) {
            lf.lfUnderline = (m_nLinkStyle & LINK_UNDERLINE) ? TRUE : FALSE;
            m_fontLink = CreateFontIndirectW(&lf);
            if (m_fontLink)
                SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(m_fontLink), TRUE);
        }
        FitToText();
    } else {
        m_nLinkStyle &= ~LINK_FITTEXT;
    }
    if (!(m_nLinkStyle & LINK_KEEPCURSOR)) LoadDefaultLinkCursor();

    m_tipLink =
        CreateWindowExW(0, TOOLTIPS_CLASSW, nullptr, WS_POPUP, CW_USEDEFAULT, CW_USEDEFAULT,
                        CW_USEDEFAULT, CW_USEDEFAULT, control, nullptr, resource_module(), nullptr);
    if (m_tipLink) {
        TOOLINFOW tool{};
        tool.cbSize = sizeof tool;
        tool.hwnd = control;
        tool.uId = TOOL_ID;
        tool.lpszText = const_cast<wchar_t*>(m_strTarget.c_str());
        GetClientRect(control, &tool.rect);
        SendMessageW(m_tipLink, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
    }
    SetWindowSubclass(control, SubclassProc, SUBCLASS_ID, reinterpret_cast<DWORD_PTR>(this));
}

void CHyperLink::FitToText() {
    if (!(m_nLinkStyle & LINK_FITTEXT) || !m_hWnd) return;
    HWND parent = GetParent(m_hWnd);
    RECT window, client;
    GetWindowRect(m_hWnd, &window);
    MapWindowPoints(nullptr, parent, reinterpret_cast<POINT*>(&window), 2);
    GetClientRect(m_hWnd, &client);
    const int border_x = (window.right - window.left) - (client.right - client.left);
    const int border_y = (window.bottom - window.top) - (client.bottom - client.top);

    const std::wstring text = window_text(m_hWnd);
    HDC dc = GetDC(m_hWnd);
    HGDIOBJ old = SelectObject(
        dc, m_fontLink ? static_cast<HGDIOBJ>(m_fontLink) : GetStockObject(DEFAULT_GUI_FONT));
    SIZE extent{};
    GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &extent);
    SelectObject(dc, old);
    ReleaseDC(m_hWnd, dc);

    RECT r = client;
    OffsetRect(&r, window.left, window.top);
    const LONG style = GetWindowLongW(m_hWnd, GWL_STYLE);
    const int height = r.bottom - r.top;
    const int width = r.right - r.left;
    if (style & SS_CENTERIMAGE) {
        const int dy = (height - extent.cy) / 2;
        r.top += dy;
        r.bottom -= dy;
    } else {
        r.bottom = r.top + extent.cy;
    }
    const LONG align = style & SS_TYPEMASK;
    if (align == SS_CENTER) {
        const int dx = (width - extent.cx) / 2;
        r.left += dx;
        r.right -= dx;
    } else if (align == SS_RIGHT) {
        r.left = r.right - extent.cx;
    } else {
        r.right = r.left + extent.cx;
    }
    MoveWindow(m_hWnd, r.left, r.top, r.right - r.left + border_x, r.bottom - r.top + border_y,
               TRUE);
    Repaint();
}

void CHyperLink::RebuildFont() {
    HFONT font = reinterpret_cast<HFONT>(SendMessageW(m_hWnd, WM_GETFONT, 0, 0));
    if (!font) return;
    LOGFONTW lf;
    if (GetObjectW(font, sizeof lf, &lf) != sizeof lf) return;
    lf.lfUnderline = (m_nLinkStyle & LINK_UNDERLINE) ? TRUE : FALSE;
    HFONT rebuilt = CreateFontIndirectW(&lf);
    if (!rebuilt) return;
    ShowWindow(m_hWnd, SW_HIDE);
    SendMessageW(m_hWnd, WM_SETFONT, reinterpret_cast<WPARAM>(rebuilt), TRUE);
    if (m_fontLink) DeleteObject(m_fontLink);
    m_fontLink = rebuilt;
    FitToText();
    ShowWindow(m_hWnd, SW_SHOW);
}

BOOL CHyperLink::ModifyLinkStyle(int remove, int add, bool update) {
    if (remove & add) return FALSE;
    const int before = m_nLinkStyle;
    m_nLinkStyle = (m_nLinkStyle & ~remove) | add;
    if (!update || !m_hWnd) return TRUE;
    if ((before ^ m_nLinkStyle) & LINK_UNDERLINE) RebuildFont();
    if (add & LINK_FITTEXT) FitToText();
    if (remove & LINK_HOVERCOLOUR) Repaint();
    return TRUE;
}

void CHyperLink::ToggleHoverUnderline() {
    if (!(m_nLinkStyle & LINK_HOVERUNDERLINE)) return;
    if (m_nLinkStyle & LINK_UNDERLINE)
        ModifyLinkStyle(LINK_UNDERLINE, 0);
    else
        ModifyLinkStyle(0, LINK_UNDERLINE);
}

// The background shows through the text, so the parent repaints the spot.
void CHyperLink::Repaint() {
    HWND parent = GetParent(m_hWnd);
    RECT r;
    GetWindowRect(m_hWnd, &r);
    MapWindowPoints(nullptr, parent, reinterpret_cast<POINT*>(&r), 2);
    RedrawWindow(parent, &r, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN);
}

HBRUSH CHyperLink::OnCtlColor(HDC dc) {
    COLORREF colour;
    if (m_bHovering && (m_nLinkStyle & LINK_HOVERCOLOUR))
        colour = s_crHover;
    else if ((m_nLinkStyle & LINK_NOFOCUSCOLOUR) || !m_bFocus)
        colour = m_bFollowed ? s_crFollowed : s_crNormal;
    else
        colour = s_crFocus;
    SetTextColor(dc, colour);
    SetBkMode(dc, TRANSPARENT);
    return static_cast<HBRUSH>(GetStockObject(NULL_BRUSH));
}

void CHyperLink::FollowLink() {
    if (m_strTarget.empty()) return;
    if (!m_open(m_strTarget)) {
        MessageBeep(MB_ICONEXCLAMATION);
        return;
    }
    m_bFollowed = 1;
    Repaint();
}

void CHyperLink::RelayToTip(UINT message, WPARAM wparam, LPARAM lparam) {
    if (!m_tipLink) return;
    MSG msg{};
    msg.hwnd = m_hWnd;
    msg.message = message;
    msg.wParam = wparam;
    msg.lParam = lparam;
    msg.time = GetMessageTime();
    const DWORD pos = GetMessagePos();
    msg.pt.x = GET_X_LPARAM(pos);
    msg.pt.y = GET_Y_LPARAM(pos);
    SendMessageW(m_tipLink, TTM_RELAYEVENT, 0, reinterpret_cast<LPARAM>(&msg));
}

LRESULT CHyperLink::OnMessage(UINT message, WPARAM wparam, LPARAM lparam, bool* handled) {
    *handled = true;
    switch (message) {
        case WM_SETCURSOR:
            if (!s_hLinkCursor) break;
            SetCursor(s_hLinkCursor);
            return TRUE;
        case WM_NCHITTEST:
            return HTCLIENT;
        case WM_MOUSEMOVE: {
            if (!m_bHovering) {
                m_bHovering = 1;
                ToggleHoverUnderline();
                Repaint();
                SetCapture(m_hWnd);
                return 0;
            }
            RECT client;
            GetClientRect(m_hWnd, &client);
            const POINT p{GET_X_LPARAM(lparam), GET_Y_LPARAM(lparam)};
            if (PtInRect(&client, p)) return 0;
            m_bHovering = 0;
            ReleaseCapture();
            ToggleHoverUnderline();
            Repaint();
            return 0;
        }
        case WM_SETFOCUS:
            m_bFocus = 1;
            Repaint();
            return 0;
        case WM_KILLFOCUS:
            m_bHovering = 0;
            m_bFocus = 0;
            Repaint();
            return 0;
        case WM_LBUTTONDOWN:
            if (m_nLinkStyle & LINK_FOCUSONCLICK) SetFocus(m_hWnd);
            if (m_nLinkStyle & LINK_FOLLOWONDOWN) FollowLink();
            m_bFocus = 1;
            return 0;
        case WM_LBUTTONUP:
            if (m_bFocus && !(m_nLinkStyle & LINK_FOLLOWONDOWN)) FollowLink();
            return 0;
        case WM_KEYDOWN:
            if (wparam == VK_SPACE) {
                FollowLink();
                return 0;
            }
            break;
        default:
            break;
    }
    *handled = false;
    return 0;
}

LRESULT CALLBACK CHyperLink::SubclassProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam,
                                          UINT_PTR, DWORD_PTR data) {
    CHyperLink* self = reinterpret_cast<CHyperLink*>(data);
    if (message >= WM_MOUSEFIRST && message <= WM_MOUSELAST)
        self->RelayToTip(message, wparam, lparam);
    if (message == WM_NCDESTROY) {
        RemoveWindowSubclass(hwnd, SubclassProc, SUBCLASS_ID);
        self->m_hWnd = nullptr;
        self->m_tipLink = nullptr;  // destroyed with its parent, the control
        return DefSubclassProc(hwnd, message, wparam, lparam);
    }
    bool handled = false;
    const LRESULT result = self->OnMessage(message, wparam, lparam, &handled);
    return handled ? result : DefSubclassProc(hwnd, message, wparam, lparam);
}

}  // namespace quor
