#include "ui/ip_address_ctrl.h"

#include <QKeyEvent>
#include <QLabel>
#include <QRegularExpressionValidator>

namespace quor {

namespace {
constexpr int MAX_FIELD = 255;
}

CIpAddressCtrl::CIpAddressCtrl(QWidget* parent) : QFrame(parent) {
    setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
    setBackgroundRole(QPalette::Base);
    setAutoFillBackground(true);
    setFocusPolicy(Qt::StrongFocus);
    auto* digits = new QRegularExpressionValidator(QRegularExpression("[0-9]{0,3}"), this);
    for (int i = 0; i < 4; ++i) {
        auto* edit = new QLineEdit(this);
        edit->setFrame(false);
        edit->setAlignment(Qt::AlignCenter);
        edit->setValidator(digits);
        edit->setMaxLength(3);
        edit->setTextMargins(0, 0, 0, 0);
        edit->setContentsMargins(0, 0, 0, 0);
        // Only the control as a whole takes part in the tab order.
        edit->setFocusPolicy(Qt::ClickFocus);
        edit->installEventFilter(this);
        connect(edit, &QLineEdit::textEdited, this, [this, i] { OnFieldEdited(i); });
        m_fields[size_t(i)] = edit;
        if (i < 3) {
            auto* dot = new QLabel(QStringLiteral("."), this);
            dot->setAlignment(Qt::AlignCenter);
            m_dots[size_t(i)] = dot;
        }
    }
    setFocusProxy(m_fields[0]);
}

int CIpAddressCtrl::GetAddress(uint32_t* addr) const {
    uint32_t value = 0;
    int nonblank = 0;
    for (QLineEdit* edit : m_fields) {
        value <<= 8;
        if (edit->text().isEmpty()) continue;
        value |= uint32_t(edit->text().toInt()) & 0xFF;
        ++nonblank;
    }
    *addr = value;
    return nonblank;
}

void CIpAddressCtrl::SetAddress(uint32_t addr) {
    for (int i = 0; i < 4; ++i)
        m_fields[size_t(i)]->setText(QString::number((addr >> (24 - 8 * i)) & 0xFF));
}

void CIpAddressCtrl::ClearAddress() {
    for (QLineEdit* edit : m_fields) edit->clear();
}

void CIpAddressCtrl::OnFieldEdited(int index) {
    QLineEdit* edit = m_fields[size_t(index)];
    if (edit->text().toInt() > MAX_FIELD) edit->setText(QString::number(MAX_FIELD));
    if (edit->text().size() == 3 && index < 3) {
        FocusField(index + 1, false);
        m_enteredByDigit = index + 1;
    }
    uint32_t addr = 0;
    const int nonblank = GetAddress(&addr);
    emit addressEdited(addr, nonblank);
}

void CIpAddressCtrl::FocusField(int index, bool at_end) {
    QLineEdit* edit = m_fields[size_t(index)];
    edit->setFocus(Qt::OtherFocusReason);
    if (at_end)
        edit->end(false);
    else
        edit->selectAll();
}

bool CIpAddressCtrl::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() != QEvent::KeyPress) return QFrame::eventFilter(watched, event);
    int index = 0;
    while (index < 4 && m_fields[size_t(index)] != watched) ++index;
    if (index == 4) return false;
    QLineEdit* edit = m_fields[size_t(index)];
    const auto* key = static_cast<QKeyEvent*>(event);
    // A dot typed after a field's third digit ends that field, which the
    // digit already left: "192.168.1.20" fills the fields in turn.
    const bool entered_by_digit = m_enteredByDigit == index;
    m_enteredByDigit = -1;
    switch (key->key()) {
        case Qt::Key_Period:
        case Qt::Key_Space:
            if (!entered_by_digit && index < 3 && !edit->text().isEmpty())
                FocusField(index + 1, false);
            return true;
        case Qt::Key_Backspace:
            if (edit->text().isEmpty() && index > 0) {
                FocusField(index - 1, true);
                return true;
            }
            break;
        case Qt::Key_Left:
            if (edit->cursorPosition() == 0 && index > 0) {
                FocusField(index - 1, true);
                return true;
            }
            break;
        case Qt::Key_Right:
            if (edit->cursorPosition() == edit->text().size() && index < 3) {
                FocusField(index + 1, false);
                m_fields[size_t(index + 1)]->setCursorPosition(0);
                return true;
            }
            break;
        default:
            break;
    }
    return false;
}

void CIpAddressCtrl::resizeEvent(QResizeEvent* event) {
    QFrame::resizeEvent(event);
    const QRect area = contentsRect();
    const int dot_width = fontMetrics().horizontalAdvance(QLatin1Char('.')) + 2;
    const int field_width = (area.width() - 3 * dot_width) / 4;
    int x = area.left();
    for (int i = 0; i < 4; ++i) {
        m_fields[size_t(i)]->setGeometry(x, area.top(), field_width, area.height());
        x += field_width;
        if (i < 3) {
            m_dots[size_t(i)]->setGeometry(x, area.top(), dot_width, area.height());
            x += dot_width;
        }
    }
}

}  // namespace quor
