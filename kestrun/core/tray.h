#pragma once

#include <QIcon>
#include <QObject>
#include <QString>

class QSystemTrayIcon;
class QWidget;

namespace kestrun {

// The window and tray icon's image, drawn at run time.
QIcon kestrunIcon();

// The one tray icon of Kestrun with the tip "Kestrun". Balloons carry the title
// "KSN INFORMATION!" (kind 1) or "KSN WARNING!" (any other kind). Where the desktop has no
// tray the program runs on without an icon.
class TrayNotifier {
public:
    enum class Operation { Add, Modify, Delete };

    explicit TrayNotifier(QWidget& owner);

    // Returns whether the platform took the operation.
    bool notify(Operation operation, const QString& text = {}, int kind = 1);

    static QString balloonTitle(int kind);
    bool visible() const;
    QSystemTrayIcon* icon() const { return icon_; }

private:
    QSystemTrayIcon* icon_; // owned by the window
};

} // namespace kestrun
