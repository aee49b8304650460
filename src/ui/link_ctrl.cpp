#include "ui/link_ctrl.h"

#include <QApplication>
#include <QDesktopServices>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QUrl>

namespace quor {

const QColor CButtonLink::s_crNormal = QColor(0, 0, 255);
const QColor CButtonLink::s_crFollowed = QColor(128, 0, 128);
const QColor CButtonLink::s_crFocus = QColor(0, 128, 128);
const QColor CButtonLink::s_crHover = QColor(255, 0, 0);
std::optional<QCursor> CButtonLink::s_hLinkCursor;

CButtonLink::CButtonLink(QWidget* parent) : QLabel(parent) {
    setMouseTracking(true);
    // Reachable by clicking only: a link is no tab stop.
    setFocusPolicy(Qt::NoFocus);
}

void CButtonLink::SetLinkCursor(std::optional<QCursor> cursor) {
    if (cursor)
        s_hLinkCursor = std::move(cursor);
    else
        LoadDefaultLinkCursor();
}

void CButtonLink::LoadDefaultLinkCursor() {
    if (!s_hLinkCursor) s_hLinkCursor = QCursor(Qt::PointingHandCursor);
}

std::optional<QCursor> CButtonLink::LinkCursor() {
    return s_hLinkCursor;
}

void CButtonLink::PreSubclassWindow() {
    m_fontLink = font();
    m_fontLink.setUnderline(m_nLinkStyle & LINK_UNDERLINE);
    m_bHasFont = true;
    setFont(m_fontLink);
    FitToText();
    if (!(m_nLinkStyle & LINK_KEEPCURSOR)) LoadDefaultLinkCursor();
    if (s_hLinkCursor) setCursor(*s_hLinkCursor);
    RefreshColour();
}

bool CButtonLink::ModifyLinkStyle(int remove, int add, bool update) {
    if (remove & add) return false;
    const int old = m_nLinkStyle;
    m_nLinkStyle = (m_nLinkStyle & ~remove) | add;
    if (!update) return true;
    if ((old ^ m_nLinkStyle) & LINK_UNDERLINE) RebuildFont();
    if (add & LINK_FITTEXT) FitToText();
    if (remove & LINK_HOVERCOLOUR) RefreshColour();
    return true;
}

void CButtonLink::RebuildFont() {
    if (!m_bHasFont) return;
    m_fontLink.setUnderline(m_nLinkStyle & LINK_UNDERLINE);
    setFont(m_fontLink);
    FitToText();
}

void CButtonLink::FitToText() {
    if (!(m_nLinkStyle & LINK_FITTEXT)) return;
    const QFontMetrics metrics(m_fontLink);
    const int text_w = metrics.horizontalAdvance(text());
    const int text_h = metrics.height();
    const int border = frameWidth() + margin();
    QRect box = geometry().adjusted(border, border, -border, -border);
    const Qt::Alignment align = alignment();
    if (align & Qt::AlignVCenter) {
        const int shrink = (box.height() - text_h) / 2;
        box.adjust(0, shrink, 0, -shrink);
    } else {
        box.setHeight(text_h);
    }
    if (align & Qt::AlignHCenter) {
        const int shrink = (box.width() - text_w) / 2;
        box.adjust(shrink, 0, -shrink, 0);
    } else if (align & Qt::AlignRight) {
        box.setLeft(box.right() + 1 - text_w);
    } else {
        box.setWidth(text_w);
    }
    setGeometry(box.adjusted(-border, -border, border, border));
    update();
}

void CButtonLink::ToggleHoverUnderline() {
    if (!(m_nLinkStyle & LINK_HOVERUNDERLINE)) return;
    if (m_nLinkStyle & LINK_UNDERLINE)
        ModifyLinkStyle(LINK_UNDERLINE, 0);
    else
        ModifyLinkStyle(0, LINK_UNDERLINE);
}

QColor CButtonLink::TextColour() const {
    if (m_bHovering && (m_nLinkStyle & LINK_HOVERCOLOUR)) return s_crHover;
    if ((m_nLinkStyle & LINK_NOFOCUSCOLOUR) || !m_bFocus)
        return m_bFollowed ? s_crFollowed : s_crNormal;
    return s_crFocus;
}

void CButtonLink::RefreshColour() {
    QPalette palette = this->palette();
    palette.setColor(QPalette::WindowText, TextColour());
    setPalette(palette);
    update();
}

void CButtonLink::SetHovering(bool hovering) {
    if (bool(m_bHovering) == hovering) return;
    m_bHovering = hovering;
    ToggleHoverUnderline();
    RefreshColour();
}

void CButtonLink::mouseMoveEvent(QMouseEvent* event) {
    SetHovering(rect().contains(event->position().toPoint()));
    QLabel::mouseMoveEvent(event);
}

void CButtonLink::leaveEvent(QEvent* event) {
    SetHovering(false);
    QLabel::leaveEvent(event);
}

void CButtonLink::focusInEvent(QFocusEvent* event) {
    m_bFocus = 1;
    RefreshColour();
    QLabel::focusInEvent(event);
}

void CButtonLink::focusOutEvent(QFocusEvent* event) {
    m_bFocus = 0;
    SetHovering(false);
    RefreshColour();
    QLabel::focusOutEvent(event);
}

// ------------------------------------------------------------- CHyperLink

CHyperLink::CHyperLink(const std::string& target, QWidget* parent)
    : CButtonLink(parent), m_strTarget(target), m_opener([](const std::string& t) {
          return QDesktopServices::openUrl(QUrl(QString::fromStdString(t)));
      }) {
    m_nLinkStyle |= LINK_FOCUSONCLICK;
}

void CHyperLink::PreSubclassWindow() {
    if (text().isEmpty()) setText(QString::fromStdString(m_strTarget));
    CButtonLink::PreSubclassWindow();
    setToolTip(QString::fromStdString(m_strTarget));
}

void CHyperLink::FollowLink() {
    if (m_strTarget.empty()) return;
    if (!m_opener(m_strTarget)) {
        QApplication::beep();
        return;
    }
    m_bFollowed = 1;
    RefreshColour();
}

void CHyperLink::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) return QLabel::mousePressEvent(event);
    if (m_nLinkStyle & LINK_FOCUSONCLICK) setFocus(Qt::MouseFocusReason);
    if (m_nLinkStyle & LINK_FOLLOWONDOWN) FollowLink();
    m_bFocus = 1;
    RefreshColour();
}

void CHyperLink::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) return QLabel::mouseReleaseEvent(event);
    // A button let go after the pointer left the link belongs to whatever is
    // under the pointer now, not to the link.
    if (!rect().contains(event->position().toPoint())) return;
    if (m_bFocus && !(m_nLinkStyle & LINK_FOLLOWONDOWN)) FollowLink();
}

void CHyperLink::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Space)
        FollowLink();
    else
        QLabel::keyPressEvent(event);
}

}  // namespace quor
