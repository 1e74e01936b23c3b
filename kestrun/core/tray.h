#pragma once

#include <QIcon>
#include <QObject>
#include <QString>
#include <QSystemTrayIcon>

class QWidget;

namespace kestrun {

// The window and tray icon's image, drawn at run time.
QIcon kestrunIcon();

// The one tray icon of Kestrun with the tip "Kestrun". Balloons carry the title
// "KSN INFORMATION!" with the information icon (kind 1) or "KSN WARNING!" with the warning icon
// (any other kind). The icon is shown even while the desktop has no tray: Qt attaches it when a
// tray host appears later.
class TrayNotifier {
public:
    enum class Operation { Add, Modify, Delete };

    struct Balloon {
        QString title;
        QSystemTrayIcon::MessageIcon icon;
        QString text;
    };

    explicit TrayNotifier(QWidget& owner);

    // Returns whether a tray host took the operation; the icon's state changes either way.
    bool notify(Operation operation, const QString& text = {}, int kind = 1);

    static Balloon balloon(int kind);
    // What a Modify shows: the kind's balloon with the text, or for an empty text an empty
    // message without title or icon, which removes the balloon shown last.
    static Balloon balloon(int kind, const QString& text);
    bool visible() const;
    QSystemTrayIcon* icon() const { return icon_; }

private:
    QSystemTrayIcon* icon_; // owned by the window
};

} // namespace kestrun
