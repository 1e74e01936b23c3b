#include "kbm/kbm_icon.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace kestrun {

namespace {

// The picture on its 64-unit square, as the scalable icon draws it.
QPixmap drawIcon(int size) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.scale(size / 64.0, size / 64.0);
    painter.setPen(QPen(QColor(0x16, 0x47, 0x6a), 1.5));
    painter.setBrush(QColor(0x1f, 0x5f, 0x8b));
    painter.drawEllipse(QPointF(32, 32), 30, 30);
    QPainterPath k;
    const QPointF points[] = {{20, 15},     {27, 15},     {27, 29.5}, {39.5, 15},
                              {48, 15},     {34.8, 29.6}, {48.5, 49}, {39.8, 49},
                              {30.2, 35.2}, {27, 38.7},   {27, 49},   {20, 49}};
    k.moveTo(points[0]);
    for (const QPointF& point : points)
        k.lineTo(point);
    k.closeSubpath();
    painter.setPen(Qt::NoPen);
    painter.setBrush(Qt::white);
    painter.drawPath(k);
    return pixmap;
}

} // namespace

QIcon kbmIcon() {
    QIcon icon;
    for (int size : {16, 22, 24, 32, 48, 64, 128})
        icon.addPixmap(drawIcon(size));
    return icon;
}

} // namespace kestrun
