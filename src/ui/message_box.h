// Message boxes in the style numbers of the program's texts: the low four
// bits choose the buttons (0 OK, 1 OK and Cancel, 4 Yes and No), the next
// four the icon (0x10 stop, 0x20 question, 0x30 exclamation, 0x40
// information). The result is the button pressed (IDOK, IDCANCEL, IDYES,
// IDNO); closing the box counts as Cancel, or as OK when there is none.
#pragma once

#include <QWidget>
#include <functional>
#include <string>

namespace quor {

using MessageBoxFn = std::function<int(QWidget* owner, const std::string& text,
                                       const std::string& caption, int style)>;

// Shows a modal QMessageBox owned by OWNER.
int show_message_box(QWidget* owner, const std::string& text, const std::string& caption,
                     int style);

}  // namespace quor
