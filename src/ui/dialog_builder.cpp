#include "ui/dialog_builder.h"

#include <QApplication>
#include <QCheckBox>
#include <QFontMetrics>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QProxyStyle>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QStyle>

#include "ui/ip_address_ctrl.h"
#include "ui/ui_images.h"

namespace quor {

namespace {

constexpr double DIALOG_FONT_POINTS = 9.0;
// Rounded a * b / c, as the platform's dialog unit arithmetic does it.
int mul_div(int a, int b, int c) {
    const long long p = static_cast<long long>(a) * b;
    return int(p >= 0 ? (p + c / 2) / c : (p - c / 2) / c);
}

// The templates were laid out for check boxes with a 13-pixel box and a
// 3-pixel gap before the text.
class CDialogControlStyle : public QProxyStyle {
  public:
    int pixelMetric(PixelMetric metric, const QStyleOption* option,
                    const QWidget* widget) const override {
        switch (metric) {
            case PM_IndicatorWidth:
            case PM_IndicatorHeight:
                return CHECK_BOX_SIZE;
            case PM_CheckBoxLabelSpacing:
                return CHECK_BOX_GAP;
            default:
                return QProxyStyle::pixelMetric(metric, option, widget);
        }
    }

  private:
    static constexpr int CHECK_BOX_SIZE = 13;
    static constexpr int CHECK_BOX_GAP = 3;
};

QStyle* dialog_control_style() {
    static QPointer<QStyle> style;
    if (!style) {
        style = new CDialogControlStyle;
        style->setParent(qApp);
    }
    return style;
}

QWidget* make_standard(const ControlTemplate& row, QWidget* parent) {
    const QString text = QString::fromUtf8(row.text);
    switch (row.kind) {
        case CtlKind::DefPushButton: {
            auto* button = new QPushButton(text, parent);
            button->setDefault(true);
            return button;
        }
        case CtlKind::PushButton:
            return new QPushButton(text, parent);
        case CtlKind::Label: {
            auto* label = new QLabel(text, parent);
            label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
            return label;
        }
        case CtlKind::SunkenLabel: {
            auto* label = new QLabel(text, parent);
            label->setFrameStyle(QFrame::Panel | QFrame::Sunken);
            label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
            label->setWordWrap(true);
            return label;
        }
        case CtlKind::StatusText: {
            auto* label = new QLabel(text, parent);
            label->setFrameStyle(QFrame::Box | QFrame::Plain);
            label->setAlignment(Qt::AlignCenter);
            return label;
        }
        case CtlKind::GroupBox: {
            auto* group = new QGroupBox(text, parent);
            // A frame drawn behind the controls it surrounds, never in their
            // way.
            group->setAttribute(Qt::WA_TransparentForMouseEvents);
            group->setFocusPolicy(Qt::NoFocus);
            return group;
        }
        case CtlKind::Bitmap: {
            auto* label = new QLabel(parent);
            label->setPixmap(load_bitmap(IDB_BANNER));
            return label;
        }
        case CtlKind::CheckBox: {
            auto* box = new QCheckBox(text, parent);
            box->setStyle(dialog_control_style());
            return box;
        }
        case CtlKind::Edit: {
            auto* edit = new QLineEdit(parent);
            if (row.flags & CTL_DIGITS)
                edit->setValidator(
                    new QRegularExpressionValidator(QRegularExpression("[0-9]*"), edit));
            return edit;
        }
        case CtlKind::IpAddress:
            return new CIpAddressCtrl(parent);
    }
    return nullptr;
}

bool takes_focus(CtlKind kind) {
    switch (kind) {
        case CtlKind::DefPushButton:
        case CtlKind::PushButton:
        case CtlKind::CheckBox:
        case CtlKind::Edit:
        case CtlKind::IpAddress:
            return true;
        default:
            return false;
    }
}

}  // namespace

QFont dialog_font(UiLanguage language) {
    QFont font(language == UiLanguage::Chinese ? QStringLiteral("Noto Sans CJK SC")
                                               : QStringLiteral("Carlito"));
    font.setPointSizeF(DIALOG_FONT_POINTS);
    return font;
}

DialogUnits DialogUnits::of(const QFont& font) {
    const QFontMetrics metrics(font);
    const int letters = metrics.horizontalAdvance(
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    DialogUnits units;
    units.base_x = (letters / 26 + 1) / 2;
    units.base_y = metrics.height();
    return units;
}

int DialogUnits::map_x(int x) const {
    return mul_div(x, base_x, 4);
}

int DialogUnits::map_y(int y) const {
    return mul_div(y, base_y, 8);
}

QRect DialogUnits::map(int x, int y, int cx, int cy) const {
    const int left = map_x(x);
    const int top = map_y(y);
    return QRect(left, top, map_x(x + cx) - left, map_y(y + cy) - top);
}

BuiltDialog build_dialog(QDialog* dialog, const DialogTemplate& tpl,
                         const ControlFactory& factory) {
    BuiltDialog built;
    const QFont font = dialog_font(current_language());
    dialog->setFont(font);
    dialog->setWindowTitle(QString::fromUtf8(tpl.caption));
    built.units = DialogUnits::of(font);
    dialog->setFixedSize(built.units.map_x(tpl.cx), built.units.map_y(tpl.cy));

    for (const ControlTemplate& row : tpl.controls) {
        QWidget* widget = factory ? factory(row, dialog) : nullptr;
        if (!widget) widget = make_standard(row, dialog);
        widget->setObjectName(QStringLiteral("control_%1").arg(row.id));
        QRect box = built.units.map(row.x, row.y, row.cx, row.cy);
        if (row.kind == CtlKind::Bitmap) {
            // The bitmap was drawn for the box in the Latin font's dialog
            // units; other fonts make the box larger. It is scaled to fill
            // the box, keeping its shape, and centred in it.
            auto* label = static_cast<QLabel*>(widget);
            const QPixmap image = label->pixmap();
            if (!image.isNull())
                label->setPixmap(
                    image.scaled(box.size(), Qt::KeepAspectRatio, Qt::SmoothTransformation));
            label->setAlignment(Qt::AlignCenter);
        }
        widget->setGeometry(box);
        if (takes_focus(row.kind))
            widget->setFocusPolicy((row.flags & CTL_TABSTOP) ? Qt::StrongFocus : Qt::ClickFocus);
        if (row.flags & CTL_HIDDEN) widget->setVisible(false);
        if (row.kind == CtlKind::GroupBox) widget->lower();
        built.widgets.push_back(widget);
        if (row.id != IDC_STATIC) built.by_id[row.id] = widget;
    }
    // Widgets made in template order already form the tab chain in that
    // order; make it explicit so later changes cannot reorder it.
    QWidget* previous = nullptr;
    for (size_t i = 0; i < built.widgets.size(); ++i) {
        QWidget* widget = built.widgets[i];
        if (!takes_focus(tpl.controls[i].kind)) continue;
        if (previous) QWidget::setTabOrder(previous, widget);
        previous = widget;
    }
    return built;
}

std::vector<QWidget*> clipped_controls(const BuiltDialog& built) {
    std::vector<QWidget*> clipped;
    for (QWidget* widget : built.widgets) {
        const QFontMetrics metrics(widget->font());
        QString text;
        int room = widget->width();
        if (auto* label = qobject_cast<QLabel*>(widget)) {
            if (label->text().isEmpty()) continue;
            text = label->text();
            room -= 2 * label->frameWidth() + 2 * label->margin();
            if (label->wordWrap()) {
                const int needed = label->heightForWidth(label->width());
                if (needed > label->height()) clipped.push_back(widget);
                continue;
            }
        } else if (auto* box = qobject_cast<QCheckBox*>(widget)) {
            text = box->text();
            room -= widget->style()->pixelMetric(QStyle::PM_IndicatorWidth, nullptr, widget) +
                    widget->style()->pixelMetric(QStyle::PM_CheckBoxLabelSpacing, nullptr, widget);
        } else if (auto* button = qobject_cast<QPushButton*>(widget)) {
            text = button->text();
            room -= 2 * widget->style()->pixelMetric(QStyle::PM_ButtonMargin, nullptr, widget);
        } else if (auto* group = qobject_cast<QGroupBox*>(widget)) {
            text = group->title();
            room -= 2 * metrics.averageCharWidth();
        } else {
            continue;
        }
        int widest = 0;
        const QStringList lines = text.split(QLatin1Char('\n'));
        for (const QString& line : lines) widest = qMax(widest, metrics.horizontalAdvance(line));
        if (widest > room || metrics.height() * int(lines.size()) > widget->height())
            clipped.push_back(widget);
    }
    return clipped;
}

}  // namespace quor
