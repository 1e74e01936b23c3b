#include "kestrun/core/tray.h"

#include <QPainter>
#include <QPixmap>
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

TrayNotifier::Balloon TrayNotifier::balloon(int kind) {
    if (kind == 1)
        return {QStringLiteral("KSN INFORMATION!"), QSystemTrayIcon::Information, QString()};
    return {QStringLiteral("KSN WARNING!"), QSystemTrayIcon::Warning, QString()};
}

TrayNotifier::Balloon TrayNotifier::balloon(int kind, const QString& text) {
    if (text.isEmpty())
        return {QString(), QSystemTrayIcon::NoIcon, QString()};
    Balloon b = balloon(kind);
    b.text = text;
    return b;
}

bool TrayNotifier::notify(Operation operation, const QString& text, int kind) {
    switch (operation) {
    case Operation::Add:
        icon_->show();
        break;
    case Operation::Modify: {
        icon_->show();
        const Balloon b = balloon(kind, text);
        icon_->showMessage(b.title, b.text, b.icon);
        break;
    }
    case Operation::Delete:
        icon_->hide();
        break;
    }
    return QSystemTrayIcon::isSystemTrayAvailable();
}

bool TrayNotifier::visible() const {
    return icon_->isVisible();
}

} // namespace kestrun
