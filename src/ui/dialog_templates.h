// Layouts of the program's dialogs in each interface language, in dialog
// units of the dialog font, with their controls in template order (which is
// also the tab order).
#pragma once

#include <vector>

#include "base/strings.h"
#include "ui/parameter_values.h"

namespace quor {

enum DialogId : int { IDD_ABOUTBOX = 100, IDD_MAIN = 102, IDD_SETTINGS = 106 };

enum ControlId : int {
    IDC_STATIC = -1,
    IDC_OK = 1,  // the about box's OK, the main window's Pair button
    IDC_PHONE_IP = 1000,
    IDC_STATUS = 1001,
    IDC_CONTACT = 1004,
    IDC_SET = 1021,
    IDC_HELP = 1022,
    IDC_T = 1029,
    IDC_AUTO_IP = 1030,
};

constexpr int IDB_BANNER = 131;
constexpr int IDC_LINK_CURSOR = 132;

enum class CtlKind {
    DefPushButton,
    PushButton,
    Label,        // left-aligned static text
    SunkenLabel,  // static text with a sunken frame, several lines
    StatusText,   // static text with a border, centred both ways
    GroupBox,
    Bitmap,  // shows bitmap IDB_BANNER scaled to fill its box, keeping its shape
    CheckBox,
    Edit,
    IpAddress,
};

enum CtlFlag : unsigned {
    CTL_TABSTOP = 1u << 0,
    CTL_HIDDEN = 1u << 1,
    CTL_DIGITS = 1u << 2,  // the keyboard enters digits only
};

struct ControlTemplate {
    int id;
    CtlKind kind;
    const char* text;  // UTF-8
    int x, y, cx, cy;  // dialog units
    unsigned flags;
};

struct DialogTemplate {
    int id;
    const char* caption;
    int cx, cy;  // client size in dialog units
    std::vector<ControlTemplate> controls;
};

const DialogTemplate& dialog_template(DialogId id, UiLanguage language);

}  // namespace quor
