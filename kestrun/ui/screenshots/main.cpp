// Draws each window of Kestrun offscreen and writes one PNG per window into the folder given
// as the first argument (build/screenshots by default). A new window is one more line in
// the table below.
#include "kestrun/core/kestrun_dlg.h"
#include "kestrun/ui/accept_dlg.h"
#include "kestrun/ui/asker.h"
#include "kestrun/ui/settings_dlg.h"
#include "kestrun/ui/tray_menu.h"
#include "kestrun/ui/window_shots.h"
#include "platform/autostart.h"
#include "platform/clock.h"
#include "platform/offscreen_font.h"
#include "platform/process_table.h"
#include "platform/program_launcher.h"
#include "platform/settings_store.h"

#include <QApplication>
#include <QDir>
#include <QMenu>
#include <QPixmap>
#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>

namespace {

using namespace kestrun;

// A main window on a throw-away folder, as the other windows' owner.
struct Scene {
    QTemporaryDir dir;
    SystemClock clock;
    IniSettingsStore store{(dir.path() + "/Kestrun.conf").toStdString()};
    AutostartEntry autostart{(dir.path() + "/autostart/kestrun.desktop").toStdString()};
    ProcProcessTable processes{clock};
    DetachedProgramLauncher launcher;
    WidgetAsker asker;
    std::unique_ptr<CKestrunDlg> window;

    Scene() {
        window = std::make_unique<CKestrunDlg>(KestrunContext{
            clock, store, autostart, processes, launcher, dir.path().toStdString(), false});
        window->initialize();
        window->setStatusLine(1003, "Last run: 04.03.2024 08:00:05 backup.sh");
        window->setStatusLine(1004, "Next backup in 11:59.55");
    }
};

struct Shot {
    const char* name;
    std::function<QPixmap(Scene&)> draw;
};

QPixmap drawWidget(QWidget& widget) {
    widget.show();
    QApplication::processEvents();
    return widget.grab();
}

const Shot kShots[] = {
    {"main_window", [](Scene& s) { return drawWidget(*s.window); }},
    {"tray_menu",
     [](Scene& s) {
         QMenu& menu = *s.window->trayMenu().menu();
         s.window->trayMenu().rebuild();
         menu.adjustSize();
         return drawWidget(menu);
     }},
    {"settings",
     [](Scene& s) {
         CSettingsDlg dialog(s.window->settings(), s.asker, s.window.get());
         return drawWidget(dialog);
     }},
    // A closed loopback port: the window shows its placeholder page and nothing leaves.
    {"accept",
     [](Scene& s) {
         CAcceptDlg dialog("http://127.0.0.1:1/Zelmov5", s.window->workingFolder(), s.window.get());
         return drawWidget(dialog);
     }},
};

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    useInstalledFontOffscreen();
    const QString out =
        argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("build/screenshots");
    QDir().mkpath(out);
    Scene scene;
    int failed = 0;
    for (const Shot& shot : kShots) {
        const QString file = out + "/" + shot.name + ".png";
        if (!shot.draw(scene).save(file)) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(file));
            ++failed;
        } else {
            std::printf("%s\n", qPrintable(file));
        }
    }
    // The notice and the about box write their own pictures.
    if (!saveNoticeWindowShots(out.toStdString(), kestrunIcon()))
        ++failed;
    return failed == 0 ? 0 : 1;
}
