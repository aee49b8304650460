#include "ui/tooltip_ctrl.h"

#include <QCursor>
#include <QEvent>
#include <QScreen>

namespace quor {

namespace {
// The automatic delay also sets how long the tip stays up.
constexpr int AUTOPOP_FACTOR = 10;
// The tip sits this far below the pointer, clear of the cursor image.
constexpr int POINTER_OFFSET = 20;
}  // namespace

CToolTipCtrl::CToolTipCtrl(QWidget* tool, const QString& text, QObject* parent)
    : QObject(parent), m_tool(tool), m_strText(text) {
    m_initial.setSingleShot(true);
    m_autoPop.setSingleShot(true);
    connect(&m_initial, &QTimer::timeout, this, &CToolTipCtrl::Show);
    connect(&m_autoPop, &QTimer::timeout, this, &CToolTipCtrl::Hide);
    tool->installEventFilter(this);
}

CToolTipCtrl::~CToolTipCtrl() {
    delete m_tip;
}

void CToolTipCtrl::SetDelayTime(int delay_ms) {
    m_nDelay = delay_ms;
}

void CToolTipCtrl::SetTipTextColor(const QColor& colour) {
    m_crText = colour;
}

void CToolTipCtrl::SetTipBkColor(const QColor& colour) {
    m_crBk = colour;
}

void CToolTipCtrl::Activate(bool active) {
    m_bActive = active;
    if (!active) Hide();
}

bool CToolTipCtrl::eventFilter(QObject* watched, QEvent* event) {
    if (watched != m_tool) return false;
    switch (event->type()) {
        case QEvent::Enter:
        case QEvent::MouseMove:
            if (m_bActive && !IsShowing()) m_initial.start(m_nDelay);
            break;
        case QEvent::Leave:
        case QEvent::MouseButtonPress:
        case QEvent::Hide:
        case QEvent::ToolTip:  // the widget's own tooltip is not wanted
            Hide();
            return event->type() == QEvent::ToolTip;
        default:
            break;
    }
    return false;
}

void CToolTipCtrl::Show() {
    if (!m_tool || !m_bActive || m_strText.isEmpty()) return;
    if (!m_tip) {
        m_tip = new QLabel(nullptr, Qt::ToolTip | Qt::FramelessWindowHint);
        m_tip->setMargin(3);
        m_tip->setFrameStyle(QFrame::Box | QFrame::Plain);
    }
    QPalette palette = m_tip->palette();
    palette.setColor(QPalette::Window, m_crBk);
    palette.setColor(QPalette::WindowText, m_crText);
    m_tip->setPalette(palette);
    m_tip->setAutoFillBackground(true);
    m_tip->setFont(m_tool->font());
    m_tip->setText(m_strText);
    m_tip->adjustSize();
    QPoint at = QCursor::pos() + QPoint(0, POINTER_OFFSET);
    if (const QScreen* screen = m_tool->screen()) {
        const QRect avail = screen->availableGeometry();
        at.setX(qMin(at.x(), avail.right() - m_tip->width()));
        at.setY(qMin(at.y(), avail.bottom() - m_tip->height()));
    }
    m_tip->move(at);
    m_tip->show();
    m_autoPop.start(m_nDelay * AUTOPOP_FACTOR);
}

void CToolTipCtrl::Hide() {
    m_initial.stop();
    m_autoPop.stop();
    if (m_tip) m_tip->hide();
}

}  // namespace quor
