#include "ui/message_box.h"

#include <QMessageBox>
#include <QPushButton>

#include "shell/resource_ids.h"

namespace quor {

namespace {

QMessageBox::Icon icon_for(int style) {
    switch (style & 0xF0) {
        case 0x10:
            return QMessageBox::Critical;
        case 0x20:
            return QMessageBox::Question;
        case 0x30:
            return QMessageBox::Warning;
        case 0x40:
            return QMessageBox::Information;
        default:
            return QMessageBox::NoIcon;
    }
}

}  // namespace

int show_message_box(QWidget* owner, const std::string& text, const std::string& caption,
                     int style) {
    QMessageBox box(icon_for(style), QString::fromStdString(caption), QString::fromStdString(text),
                    QMessageBox::NoButton, owner);
    // Texts carry what the phone or the update server sent: shown as they
    // are, never read as markup.
    box.setTextFormat(Qt::PlainText);
    // The main window stays on top of other windows; its boxes must too.
    box.setWindowFlag(Qt::WindowStaysOnTopHint);
    QMessageBox::StandardButton escape = QMessageBox::Ok;
    switch (style & 0x0F) {
        case 1:
            box.setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel);
            escape = QMessageBox::Cancel;
            break;
        case 4:
            box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
            escape = QMessageBox::No;
            break;
        default:
            box.setStandardButtons(QMessageBox::Ok);
            break;
    }
    box.setEscapeButton(escape);
    box.setDefaultButton((style & 0x0F) == 4 ? QMessageBox::Yes : QMessageBox::Ok);
    const int pressed = box.exec();
    switch (pressed) {
        case QMessageBox::Ok:
            return IDOK;
        case QMessageBox::Yes:
            return IDYES;
        case QMessageBox::No:
            return IDNO;
        case QMessageBox::Cancel:
            return IDCANCEL;
        default:
            break;
    }
    return escape == QMessageBox::Ok ? IDOK : escape == QMessageBox::No ? IDNO : IDCANCEL;
}

}  // namespace quor
