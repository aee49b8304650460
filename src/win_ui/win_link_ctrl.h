// A static text of a dialog made into a hyperlink: link colours, its own
// pointer, an underline while the pointer is over it, a tooltip naming the
// target, a size that follows its text, and the target opened with the
// shell's "open" on a click or the space bar.
#pragma once

#include <string>

#include "win_ui/win_resources.h"

namespace quor {

class CHyperLink {
  public:
    enum LinkStyle : int {
        LINK_UNDERLINE = 0x01,
        LINK_HOVERCOLOUR = 0x02,
        LINK_FITTEXT = 0x04,
        LINK_FOLLOWONDOWN = 0x08,
        LINK_FOCUSONCLICK = 0x10,
        LINK_KEEPCURSOR = 0x20,
        LINK_NOFOCUSCOLOUR = 0x40,
        LINK_HOVERUNDERLINE = 0x80,
    };
    static constexpr COLORREF s_crNormal = RGB(0, 0, 255);
    static constexpr COLORREF s_crFollowed = RGB(128, 0, 128);
    static constexpr COLORREF s_crFocus = RGB(0, 128, 128);
    static constexpr COLORREF s_crHover = RGB(255, 0, 0);

    explicit CHyperLink(std::wstring target);
    ~CHyperLink();
    CHyperLink(const CHyperLink&) = delete;
    CHyperLink& operator=(const CHyperLink&) = delete;

    // Takes over the static control CONTROL (a dialog's, so it has the
    // dialog's font).
    void Attach(HWND control);
    HWND GetSafeHwnd() const { return m_hWnd; }

    // The parent's WM_CTLCOLORSTATIC for this control: the text colour of
    // the link's state, a transparent background.
    HBRUSH OnCtlColor(HDC dc);

    // Removes the bits REMOVE and adds the bits ADD; FALSE (and nothing
    // changed) when a bit is in both.
    BOOL ModifyLinkStyle(int remove, int add, bool update = true);
    int GetLinkStyle() const { return m_nLinkStyle; }

    // The pointer over every link; null loads the default link cursor.
    static void SetLinkCursor(HCURSOR cursor);
    static HCURSOR GetLinkCursor() { return s_hLinkCursor; }

    void FollowLink();
    bool Followed() const { return m_bFollowed != 0; }
    bool Hovering() const { return m_bHovering != 0; }

    // How the target is opened; ShellExecuteW "open" unless replaced. True
    // when it opened.
    using OpenFn = bool (*)(const std::wstring& target);
    void SetOpener(OpenFn open) { m_open = open; }

  private:
    static LRESULT CALLBACK SubclassProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam,
                                         UINT_PTR id, DWORD_PTR data);
    LRESULT OnMessage(UINT message, WPARAM wparam, LPARAM lparam, bool* handled);
    static void LoadDefaultLinkCursor();
    void RebuildFont();
    void FitToText();
    void ToggleHoverUnderline();
    void Repaint();
    void RelayToTip(UINT message, WPARAM wparam, LPARAM lparam);

    HWND m_hWnd = nullptr;
    int m_bFocus = 0;
    int m_bHovering = 0;
    int m_bFollowed = 0;
    int m_nLinkStyle = LINK_HOVERCOLOUR | LINK_FITTEXT | LINK_HOVERUNDERLINE | LINK_FOCUSONCLICK;
    HFONT m_fontLink = nullptr;
    HWND m_tipLink = nullptr;
    std::wstring m_strTarget;
    OpenFn m_open;

    static HCURSOR s_hLinkCursor;
};

}  // namespace quor
