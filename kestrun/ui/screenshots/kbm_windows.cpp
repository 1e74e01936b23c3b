// Draws the windows of the backup program offscreen and writes one PNG per window and state
// into the folder given as the first argument: the progress window while it copies into a
// folder, the same window while it sends a file with a long path to an FTP server, and its
// about box. No run takes place: the window's run timer is stopped and its bars and status
// line are set as a run would set them.
#include "kbm/kbm_backup_dlg.h"
#include "platform/clock.h"
#include "platform/offscreen_font.h"
#include "platform/path_rules.h"
#include "platform/settings_store.h"

#include <QAction>
#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QPixmap>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>

namespace {

using namespace kestrun;

struct Shot {
    const char* name;
    std::function<QPixmap(CKbmBackupDlg&)> draw;
};

QPixmap showProgress(CKbmBackupDlg& window, int overall, int transfer, const std::string& status) {
    window.setOverall(overall);
    window.setTransfer(transfer);
    window.setStatus(status);
    window.show();
    QApplication::processEvents();
    return window.grab();
}

// The about box is modal: it is drawn from inside its own event loop and closed there.
QPixmap showAbout(CKbmBackupDlg& window) {
    QPixmap picture;
    QTimer::singleShot(0, &window, [&picture] {
        if (auto* box = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
            picture = box->grab();
            box->done(QDialog::Accepted);
        }
    });
    for (QAction* item : window.actions()) {
        item->trigger();
        break;
    }
    return picture;
}

const Shot kShots[] = {
    // The copy phase: the scan has set its end mark in the lower bar.
    {"kbm_progress_copy", [](CKbmBackupDlg& w) { return showProgress(w, 42, 50, ""); }},
    {"kbm_progress_ftp",
     [](CKbmBackupDlg& w) {
         // A file of an office's documents, as the system spells its path.
         const std::string file =
             pathSeparator() == '\\'
                 ? "C:\\Users\\office\\Documents\\Accounts\\2024\\Quarterly reports\\"
                   "Supplier invoices March (scanned).pdf"
                 : "/home/office/Documents/Accounts/2024/Quarterly reports/"
                   "Supplier invoices March (scanned).pdf";
         return showProgress(w, 67, 35, file);
     }},
    {"kbm_about", showAbout},
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

    // A throw-away working folder, data folder and settings file; the window logs its
    // "Backup started." there.
    const QTemporaryDir dir;
    const std::filesystem::path base = dir.path().toStdString();
    SystemClock clock;
    const IniSettingsStore store(base / "Kestrun.conf");
    CKbmBackupDlg window(base, base / "data", store, clock);
    window.runTimer().stop();

    int failed = 0;
    for (const Shot& shot : kShots) {
        const QString file = out + "/" + shot.name + ".png";
        const QPixmap picture = shot.draw(window);
        if (picture.isNull() || !picture.save(file)) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(file));
            ++failed;
        } else {
            std::printf("%s\n", qPrintable(file));
        }
    }
    return failed == 0 ? 0 : 1;
}
