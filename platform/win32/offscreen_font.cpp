#include "platform/offscreen_font.h"

#include <QApplication>
#include <QFontDatabase>

namespace kestrun {

void useInstalledFontOffscreen() {
    if (QGuiApplication::platformName() != QLatin1String("offscreen"))
        return;
    const QStringList families = QFontDatabase::families();
    if (families.isEmpty() || QFontDatabase::hasFamily(QApplication::font().family()))
        return;
    // The families Windows dialogs use, then those a Unix host lends Wine, then any.
    QString chosen = families.front();
    for (const char* family :
         {"Segoe UI", "Tahoma", "Microsoft Sans Serif", "Arial", "DejaVu Sans"})
        if (QFontDatabase::hasFamily(QLatin1String(family))) {
            chosen = QLatin1String(family);
            break;
        }
    QFont font = QApplication::font();
    font.setFamily(chosen);
    QApplication::setFont(font);
}

} // namespace kestrun
