#include "kbm/kbm_app.h"

#include "kbm/backup_log.h"
#include "kbm/kbm_backup_dlg.h"
#include "kbm/paths.h"
#include "platform/clock.h"
#include "platform/data_folder.h"
#include "platform/display.h"
#include "platform/file_lock.h"
#include "platform/interrupt_notifier.h"
#include "platform/offscreen_font.h"
#include "platform/process_priority.h"
#include "platform/settings_store.h"

#include <QApplication>
#include <QMessageBox>

#include <curl/curl.h>

#include <filesystem>
#include <memory>

namespace kestrun {

namespace fs = std::filesystem;

namespace {

// libcurl's global state for the life of the program.
class CurlGlobal {
public:
    CurlGlobal() : ok_(curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK) {}
    ~CurlGlobal() {
        if (ok_)
            curl_global_cleanup();
    }
    CurlGlobal(const CurlGlobal&) = delete;
    CurlGlobal& operator=(const CurlGlobal&) = delete;
    bool ok() const { return ok_; }

private:
    bool ok_;
};

} // namespace

int CKbmApp::run(int argc, char** argv) {
    // In the background from the first moment, not only once the run begins.
    setIdleProcessPriority();
    chooseOffscreenWithoutDisplay();
    QApplication app(argc, argv);
    useInstalledFontOffscreen();
    app.setQuitOnLastWindowClosed(false);

    const CurlGlobal curl;
    if (!curl.ok()) {
        QMessageBox::critical(nullptr, QStringLiteral("Kbm"),
                              QStringLiteral("Windows sockets initialization failed."));
        return 0;
    }

    std::error_code ec;
    const fs::path workingFolder = fs::current_path(ec);
    SystemClock clock;
    const fs::path dataFolder = userDataFolder();
    createPrivateFolders(dataFolder / "KBM");
    auto lock = std::make_unique<FileLock>(runLockFile(workingFolder), FileLock::Sharing::Writers);
    if (lock->state() == FileLock::State::Unavailable)
        lock = std::make_unique<FileLock>(fallbackRunLockFile(dataFolder));
    if (lock->state() == FileLock::State::Busy) {
        BackupLog(workingFolder, clock).write("Backup already running.");
        return kExitAfterRun;
    }

    // Ctrl-C is the cancel of a window that may not be on any screen.
    CKbmBackupDlg* shown = nullptr;
    InterruptNotifier interrupt([&shown] {
        if (shown)
            shown->reject();
    });
    const IniSettingsStore store(IniSettingsStore::defaultFile());
    CKbmBackupDlg window(workingFolder, dataFolder, store, clock);
    shown = &window;
    window.setPendingCancelHandler([&interrupt] { interrupt.deliverPending(); });
    window.setRunFinishedHandler([] { QCoreApplication::exit(kExitAfterRun); });
    QObject::connect(&window, &QDialog::rejected, &app, [&window] {
        if (!window.runStarted())
            QCoreApplication::exit(0);
    });
    window.showMinimized();
    return app.exec();
}

} // namespace kestrun
