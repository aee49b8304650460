// Fixed numbers of the window's commands, icons and menus; the states,
// timers, message-box codes and strings are in base/ids.h.
#pragma once

#include "base/ids.h"

namespace quor {

enum CommandId : int {
    ID_ABOUT_SYSMENU = 16,
    ID_SHOW_HIDE = 32771,
    ID_PAIR_SIGN_IN = 32773,
    ID_SETTING = 32775,
    ID_ABOUT = 32777,
    ID_EXIT = 32778,
    ID_SIGN_IN_BY_LYNC = 32780,
    ID_LOG_SERVICE = 32784,
    ID_LOGS_TO_PC = 32785,
    ID_LOGS_TO_PHONE = 32787,
};

enum IconId : int {
    ICON_PAIRED_SIGNED_OUT = 128,
    ICON_SIGNED_IN = 137,
    ICON_BUSY = 138,
    ICON_NOT_PAIRED = 140,
};

enum MenuId : int { MENU_TRAY = 129, MENU_TRAY_LOGS = 130 };

}  // namespace quor
