#pragma once

#include <QPixmap>

namespace kestrun {

// The attention sign of the backup dialog: a yellow warning triangle with an exclamation mark,
// drawn by the program itself at the given size in pixels.
QPixmap attentionIcon(int size);

} // namespace kestrun
