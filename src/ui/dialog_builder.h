// Builds a Qt dialog from a template: the dialog font of the interface
// language, dialog units converted with that font's metrics, one widget per
// control in template order.
#pragma once

#include <QDialog>
#include <QFont>
#include <QRect>
#include <functional>
#include <map>
#include <vector>

#include "base/strings.h"
#include "ui/dialog_templates.h"

namespace quor {

// 9 points of Carlito for English and Korean, of Noto Sans CJK SC for Chinese.
QFont dialog_font(UiLanguage language);

// Dialog base units of a font: the average width of the Latin letters and
// the line height, in pixels. One horizontal dialog unit is base_x / 4
// pixels, one vertical unit base_y / 8.
struct DialogUnits {
    int base_x = 0;
    int base_y = 0;

    static DialogUnits of(const QFont& font);
    QRect map(int x, int y, int cx, int cy) const;
    int map_x(int x) const;
    int map_y(int y) const;
};

struct BuiltDialog {
    DialogUnits units;
    std::vector<QWidget*> widgets;  // template order
    std::map<int, QWidget*> by_id;  // controls with an id

    template <typename T>
    T* control(int id) const {
        const auto it = by_id.find(id);
        return it == by_id.end() ? nullptr : qobject_cast<T*>(it->second);
    }
};

// Makes a control of the given template row in PARENT; returning null lets
// the builder make its standard widget.
using ControlFactory = std::function<QWidget*(const ControlTemplate& row, QWidget* parent)>;

// Fills DIALOG (fixed client size, caption, font) with the controls of TPL.
BuiltDialog build_dialog(QDialog* dialog, const DialogTemplate& tpl,
                         const ControlFactory& factory = {});

// Labels whose text is wider than their box; used to check the templates.
std::vector<QWidget*> clipped_controls(const BuiltDialog& built);

}  // namespace quor
