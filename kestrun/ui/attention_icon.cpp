#include "kestrun/ui/attention_icon.h"

#include <QPainter>
#include <QPainterPath>

namespace kestrun {

QPixmap attentionIcon(int size) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    const double s = size;
    QPainterPath triangle;
    triangle.moveTo(s / 2, 0.5);
    triangle.lineTo(s - 0.5, s - 0.5);
    triangle.lineTo(0.5, s - 0.5);
    triangle.closeSubpath();
    painter.setPen(QPen(QColor(0x80, 0x60, 0x00), 1.0));
    painter.setBrush(QColor(0xff, 0xcc, 0x00));
    painter.drawPath(triangle);
    painter.setPen(Qt::NoPen);
    painter.setBrush(Qt::black);
    const double bar = std::max(1.5, s / 8);
    painter.drawRect(QRectF(s / 2 - bar / 2, s * 0.32, bar, s * 0.36));
    painter.drawRect(QRectF(s / 2 - bar / 2, s * 0.76, bar, bar));
    return pixmap;
}

} // namespace kestrun
