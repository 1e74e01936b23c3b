#include "kestrun/core/tray.h"

#include <QPainter>
#include <QPixmap>
#include <QSystemTrayIcon>
#include <QWidget>

namespace kestrun {

QIcon kestrunIcon() {
    QPixmap pixmap(64, 64);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setBrush(QColor(0x1f, 0x5f, 0x8b));
    painter.setPen(Qt::NoPen);
    painter.drawEllipse(2, 2, 60, 60);
    painter.setPen(Qt::white);
    QFont font = painter.font();
    font.setBold(true);
    font.setPixelSize(40);
    painter.setFont(font);
    painter.drawText(pixmap.rect(), Qt::AlignCenter, QStringLiteral("K"));
    return QIcon(pixmap);
}

TrayNotifier::TrayNotifier(QWidget& owner) : icon_(new QSystemTrayIcon(kestrunIcon(), &owner)) {
    icon_->setToolTip(QStringLiteral("Kestrun"));
}

QString TrayNotifier::balloonTitle(int kind) {
    return kind == 1 ? QStringLiteral("KSN INFORMATION!") : QStringLiteral("KSN WARNING!");
}

bool TrayNotifier::notify(Operation operation, const QString& text, int kind) {
    if (!QSystemTrayIcon::isSystemTrayAvailable())
        return false;
    switch (operation) {
    case Operation::Add:
        icon_->show();
        return true;
    case Operation::Modify:
        icon_->show();
        icon_->showMessage(balloonTitle(kind), text,
                           kind == 1 ? QSystemTrayIcon::Information : QSystemTrayIcon::Warning);
        return true;
    case Operation::Delete:
        icon_->hide();
        return true;
    }
    return false;
}

bool TrayNotifier::visible() const {
    return icon_->isVisible();
}

} // namespace kestrun
