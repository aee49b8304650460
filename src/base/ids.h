// Numbers shared by the controller and the subsystems below it: the
// connection states, the controller's timers, the message-box styles and
// answers, and the user-visible strings.
#pragma once

namespace quor {

enum ConnState : unsigned {
    STATE_NOT_PAIRED = 0,
    STATE_PAIRING = 1,
    STATE_PAIRED_SIGNED_OUT = 2,
    STATE_PAIRED_SIGNED_IN = 3,
    STATE_UNPAIRING = 4,
    STATE_WAITING = 5,
    STATE_FINDING_ADDRESS = 6,
};

// True for the two paired states, 2 and 3.
inline bool is_paired_state(unsigned state) {
    return state == STATE_PAIRED_SIGNED_OUT || state == STATE_PAIRED_SIGNED_IN;
}

enum TimerId : int {
    TIMER_PAIR = 1125,
    TIMER_REPAIR_TICK = 1126,
    TIMER_GRUU = 1127,
    TIMER_HT = 1128,
    TIMER_KEEPALIVE = 1129,
    TIMER_LINK = 1130,
    TIMER_MEDIA_IDLE = 1131,
};

// Message-box styles and answers.
enum MessageBoxStyle : int {
    MB_YESNO = 0x04,
    MB_EXCLAMATION_OK = 0x30,
    MB_EXCLAMATION_OKCANCEL = 0x31,
};
enum MessageBoxAnswer : int { IDOK = 1, IDCANCEL = 2, IDYES = 6, IDNO = 7 };

// Strings by number.
enum StringId : int {
    IDS_ABOUT_MENU = 101,
    IDS_BALLOON_TITLE = 102,
    IDS_NOT_PAIRED = 103,
    IDS_HINT_CAPTION = 104,
    IDS_QUIT_QUESTION = 105,
    IDS_NETWORK_ERROR = 106,
    IDS_PAIRING = 107,
    IDS_PAIR = 108,
    IDS_UNPAIR = 109,
    IDS_UNPAIRING = 110,
    IDS_PAIRED_SIGNED_OUT = 111,
    IDS_PAIRED_SIGNED_IN = 112,
    IDS_SUPPORT_LINK = 113,
    IDS_TRAY_TIP = 114,
    IDS_MENU_PAIR = 115,
    IDS_MENU_UNPAIR = 116,
    IDS_MENU_UNSIGN_UNPAIR = 117,
    IDS_NO_README = 118,
    IDS_SAVE_SETTINGS_OK = 119,
    IDS_SAVE_SETTINGS_FAILED = 120,
    IDS_AUTORUN_FAILED = 121,
    IDS_WAITING = 122,
    IDS_STOP = 123,
    IDS_MENU_STOP = 124,
    IDS_FORCE_CONNECT = 125,
    IDS_TAKEN_OVER = 126,
    IDS_DRIVER_FAILED = 127,
    IDS_SRTP_INIT_FAILED = 128,
    IDS_SRTP_LOAD_FAILED = 129,
    IDS_STARTED = 130,
    IDS_AUTO_TIP = 131,
    IDS_MENU_STOP_LOGGING = 132,
    IDS_LOG_FILTER = 133,
    IDS_LOG_SAVED = 134,
    IDS_UPDATE_QUESTION = 135,
    IDS_UPDATE_CAPTION = 136,
};

}  // namespace quor
