#pragma once

#include <QPixmap>
#include <QSize>

namespace kestrun {

// The banner at the top of the new-version notice, drawn at run time at the given size: a
// dark band with an attention sign and the words "New version".
QPixmap noticeBanner(QSize size);

} // namespace kestrun
