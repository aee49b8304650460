#include "ui/ui_images.h"

#include <QFile>

namespace quor {

namespace {
// The link cursor's hot spot: the tip of the pointing finger.
constexpr int CURSOR_HOT_X = 10;
constexpr int CURSOR_HOT_Y = 1;
}  // namespace

QIcon load_icon(int id) {
    QIcon icon;
    for (const int size : {16, 32, 48}) {
        const QString path = QStringLiteral(":/images/icon_%1_%2.png").arg(id).arg(size);
        if (QFile::exists(path)) icon.addFile(path, QSize(size, size));
    }
    return icon;
}

QPixmap load_bitmap(int id) {
    return QPixmap(QStringLiteral(":/images/bitmap_%1.png").arg(id));
}

std::optional<QCursor> load_cursor(int id) {
    const QPixmap image(QStringLiteral(":/images/cursor_%1.png").arg(id));
    if (image.isNull()) return std::nullopt;
    return QCursor(image, CURSOR_HOT_X, CURSOR_HOT_Y);
}

}  // namespace quor
