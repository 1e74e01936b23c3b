#include "kestrun/ui/pictures.h"

#include <QFont>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPolygonF>

namespace kestrun {

namespace {

// A yellow warning triangle with an exclamation mark, inside the square.
void drawAttentionSign(QPainter& painter, const QRectF& square) {
    const QPolygonF triangle{{
        QPointF(square.center().x(), square.top()),
        square.bottomRight(),
        square.bottomLeft(),
    }};
    painter.setPen(QPen(QColor(0x5a, 0x3c, 0x00), 1.5));
    painter.setBrush(QColor(0xff, 0xc8, 0x2e));
    painter.drawPolygon(triangle);
    const qreal w = square.width();
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(0x30, 0x20, 0x00));
    painter.drawRoundedRect(
        QRectF(square.center().x() - w * 0.06, square.top() + w * 0.32, w * 0.12, w * 0.38),
        w * 0.04, w * 0.04);
    painter.drawEllipse(QPointF(square.center().x(), square.bottom() - w * 0.14), w * 0.07,
                        w * 0.07);
}

} // namespace

QPixmap noticeBanner(QSize size) {
    QPixmap pixmap(size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF area(0.5, 0.5, size.width() - 1.0, size.height() - 1.0);

    QLinearGradient band(area.topLeft(), area.bottomLeft());
    band.setColorAt(0, QColor(0x2a, 0x6f, 0xa8));
    band.setColorAt(1, QColor(0x12, 0x3c, 0x63));
    painter.setPen(QPen(QColor(0x0b, 0x26, 0x40), 1));
    painter.setBrush(band);
    painter.drawRoundedRect(area, 4, 4);

    const qreal margin = size.height() * 0.15;
    const qreal side = size.height() - 2 * margin;
    drawAttentionSign(painter, QRectF(margin * 1.5, margin, side, side));

    QFont font = painter.font();
    font.setBold(true);
    font.setPixelSize(qMax(8, static_cast<int>(size.height() * 0.42)));
    painter.setFont(font);
    painter.setPen(Qt::white);
    const QRectF textArea(margin * 2.5 + side, 0, size.width() - margin * 3.5 - side,
                          size.height());
    painter.drawText(textArea, Qt::AlignVCenter | Qt::AlignHCenter, QStringLiteral("New version"));
    return pixmap;
}

} // namespace kestrun
