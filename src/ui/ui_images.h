// The program's images by resource number, from the Qt resource file built
// from res/quor_images.qrc.
#pragma once

#include <QCursor>
#include <QIcon>
#include <QPixmap>
#include <optional>

namespace quor {

// Icon group ID (128, 137, 138, 140) with its 16, 32 and 48 pixel images;
// a null icon when the group is not in the resources.
QIcon load_icon(int id);
// Bitmap ID (131, the banner).
QPixmap load_bitmap(int id);
// Cursor ID (132, the link cursor); none when it is not in the resources.
std::optional<QCursor> load_cursor(int id);

}  // namespace quor
