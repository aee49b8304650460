// The tray's context menus 129 (ordinary) and 130 (with the phone-log
// items), and how the connection state changes their items.
#pragma once

#include <string>
#include <vector>

namespace quor {

struct TrayMenuItem {
    int id = 0;  // 0: separator
    std::string text;
    bool active = true;   // choosing it runs its command
    bool greyed = false;  // drawn disabled
};

// The items of menu 129, or 130 when WITH_LOGS, in the current interface
// language, as the menu shows them in connection state STATE while the
// phone-log service runs (LOG_RUNNING) or not.
std::vector<TrayMenuItem> tray_menu_items(bool with_logs, unsigned state, bool log_running);

}  // namespace quor
