// The notification-area icon of the main window: its record, its picture,
// tip and balloon, and the context menus 129 and 130.
#pragma once

#include <string>

#include "win_ui/win_resources.h"

namespace quor {

class CWinTray {
  public:
    static constexpr UINT BALLOON_TIMEOUT_MS = 10000;

    // Fills the record for OWNER (icon ICON, tip TIP, no balloon) and adds
    // the icon; false when the shell refused it.
    bool Add(HWND owner, int icon, const std::string& tip);
    // Changes the picture, tip and balloon text (empty: no balloon).
    void Modify(int icon, const std::string& tip, const std::string& balloon);
    // Adds the icon again from the record (the shell was restarted).
    void Readd();
    void Remove();

    // The context menu at the pointer: menu 130 when WITH_LOGS, else 129,
    // its items as connection state STATE and the log service (LOG_RUNNING)
    // want them. The chosen command reaches the owner as WM_COMMAND.
    void ShowMenu(bool with_logs, unsigned state, bool log_running);

    // The message id of "TaskbarCreated".
    static UINT TaskbarCreatedMessage();

    const NOTIFYICONDATAW& Record() const { return m_nid; }

  private:
    NOTIFYICONDATAW m_nid{};
    bool m_bAdded = false;
};

// Loads menu 129 or 130 and sets its items for STATE and LOG_RUNNING;
// the caller destroys the returned menu (its first submenu is the one shown).
HMENU load_tray_menu(bool with_logs, unsigned state, bool log_running);

}  // namespace quor
