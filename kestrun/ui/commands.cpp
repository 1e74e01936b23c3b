#include "kestrun/ui/commands.h"

#include "kestrun/core/heartbeat.h"
#include "kestrun/core/messages.h"
#include "kestrun/core/pause_counter.h"
#include "kestrun/core/settings.h"
#include "kestrun/ui/asker.h"
#include "kestrun/ui/list_dialogs.h"
#include "kestrun/ui/settings_dlg.h"
#include "kestrun/ui/tray_menu.h"
#include "platform/autostart.h"
#include "platform/list_file.h"
#include "release/program_names.h"

#include <QAction>
#include <QApplication>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QWidget>

#include <cstdlib>
#include <limits>

namespace kestrun {

namespace {

// Ids of the window menu.
enum : int {
    kAbout = 16,
    kPrograms = 17,
    kAutostart = 18,
    kStop = 19,
    kBackup = 20,
    kSettingsItem = 21,
    kServerUpdate = 22,
    kBackUpNow = 23,
};

constexpr int kPauseStatusLine = 1002;

const char* pauseItemText(const PauseCounter& pause) {
    return pause.paused() ? "Resume" : "Stop";
}

} // namespace

// The heartbeat asks for "Stop" once a pause has run out, but its request reaches the window
// later; a Stop chosen in between must not lose its "Resume". So whenever the window menu's
// item is set to one of the two texts, it is set again from the pause counter.
WindowCommands::WindowCommands(CommandContext context)
    : c_(context), exit_([](int status) { std::_Exit(status); }) {
    for (QAction* item : c_.window.findChildren<QAction*>()) {
        if (item->data() != QVariant(int{kStop}))
            continue;
        QObject::connect(item, &QAction::changed, item, [item, &pause = c_.pause] {
            const QString text = item->text();
            const QString wanted = QString::fromLatin1(pauseItemText(pause));
            if ((text == QLatin1String("Stop") || text == QLatin1String("Resume")) &&
                text != wanted)
                item->setText(wanted);
        });
    }
}

bool WindowCommands::run(int id) {
    switch (id) {
    case kAbout:
        about();
        return true;
    case kPrograms:
    case kTrayPrograms:
        editPrograms();
        return true;
    case kAutostart:
        toggleAutostart();
        return true;
    case kStop:
    case kTrayStop:
        toggleStop();
        return true;
    case kBackup:
    case kTrayBackup:
        editBackupLists();
        return true;
    case kSettingsItem:
    case kTraySettings:
        editSettings();
        return true;
    case kServerUpdate:
        startUpdateRoutine();
        return true;
    case kTrayOpen:
        open();
        return true;
    case kBackUpNow:
    case kTrayBackUpNow:
        if (backUpNow_)
            backUpNow_();
        return true;
    default:
        return false;
    }
}

void WindowCommands::open() {
    c_.window.showNormal();
    c_.window.raise();
    c_.window.activateWindow();
    c_.hideTimer.start(kHideAfterMs);
}

void WindowCommands::hide() {
    c_.hideTimer.stop();
    c_.window.hide();
}

void WindowCommands::autoHide() {
    if (QApplication::activePopupWidget() || QApplication::activeModalWidget()) {
        c_.hideTimer.start(kPostponedHideMs);
        return;
    }
    if (trayPresent())
        hide();
}

bool WindowCommands::trayPresent() const {
    return c_.trayPresent ? c_.trayPresent() : QSystemTrayIcon::isSystemTrayAvailable();
}

QString WindowCommands::backgroundHint() const {
    return trayPresent()
               ? QStringLiteral("Kestrun works in the background; find it in the tray.")
               : QStringLiteral("Kestrun works in the background; start Kestrun again to see it.");
}

void WindowCommands::toggleStop() {
    if (c_.pause.value() == 0) {
        // A stored delay too large for the counter pauses as long as the counter can count.
        const std::int64_t seconds = std::int64_t{c_.settings.delay} * 60;
        c_.pause.set(static_cast<std::int32_t>(
            std::min<std::int64_t>(seconds, std::numeric_limits<std::int32_t>::max())));
    } else {
        c_.pause.set(0);
        c_.host.setStatusLine(kPauseStatusLine, "");
    }
    c_.host.setPauseItemText(pauseItemText(c_.pause));
}

// The check mark follows the toggle even when the entry could not be written or deleted
// (that needs root); the next start shows the real state.
void WindowCommands::toggleAutostart() {
    if (c_.autostart.programPath()) {
        c_.autostartItem.setChecked(false);
        c_.autostart.remove();
    } else {
        c_.autostartItem.setChecked(true);
        // The Kestrun of the working folder; where it has none (a build folder's sample), the
        // program that runs now, told to work on this folder.
        const std::filesystem::path installed = c_.workingFolder / programFileName(kKestrunProgram);
        std::error_code ec;
        if (std::filesystem::is_regular_file(installed, ec))
            c_.autostart.write(installed.string());
        else
            c_.autostart.write(QCoreApplication::applicationFilePath().toStdString(),
                               c_.workingFolder.string());
    }
}

void WindowCommands::editPrograms() {
    c_.lists.editPrograms(&c_.window, c_.programs);
    saveProgramList(c_.programs, c_.workingFolder);
}

void WindowCommands::editBackupLists() {
    c_.lists.editBackupLists(&c_.window, c_.backupInclude, c_.backupExclude);
    replaceFile(c_.workingFolder / kIncludeListFile, includeListText(c_.backupInclude));
    replaceFile(c_.workingFolder / kExcludeListFile, excludeListText(c_.backupExclude));
}

void WindowCommands::editSettings() {
    CSettingsDlg dialog(c_.settings, c_.asker, &c_.window);
    if (dialog.exec() != QDialog::Accepted)
        return;
    c_.settings.save(c_.settingsStore); // a store that cannot be written keeps the old file
    if (dialog.restartNeeded() &&
        c_.asker.askYesNo(&c_.window, QString::fromUtf8(kRestartQuestion)))
        exit_(1);
}

void WindowCommands::about() {
    if (about_)
        about_();
}

void WindowCommands::startUpdateRoutine() {
    c_.host.post(KsnMessage::ServerUpdate);
}

} // namespace kestrun
