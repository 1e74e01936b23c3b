#pragma once

#include "common/backup_list.h"
#include "kestrun/supervisor/program_list.h"

#include <QString>

#include <filesystem>
#include <functional>

class QAction;
class QTimer;
class QWidget;

namespace kestrun {

class Asker;
class AutostartEntry;
class HeartbeatTarget;
class ListDialogs;
class PauseCounter;
class SettingsStore;
struct Settings;

// What the window's commands act on: the main window's state and its visible parts.
struct CommandContext {
    QWidget& window;       // shown and hidden; the parent of every dialog
    QTimer& hideTimer;     // hides the window 30 seconds after it was shown
    HeartbeatTarget& host; // status lines, the pause item's text, the window's message queue
    Settings& settings;
    SettingsStore& settingsStore;
    PauseCounter& pause;
    AutostartEntry& autostart;
    QAction& autostartItem;
    ProgramList& programs;
    BackupList& backupInclude;
    BackupList& backupExclude;
    const std::filesystem::path& workingFolder;
    Asker& asker;
    ListDialogs& lists;
    // Whether a tray host shows the tray icon now; null: ask Qt.
    std::function<bool()> trayPresent = nullptr;
};

// The commands of the window menu and the tray menu, by command id.
class WindowCommands {
public:
    static constexpr int kHideAfterMs = 30000;
    static constexpr int kPostponedHideMs = 5000; // the next look while a menu or dialog is open
    static constexpr const char* kRestartQuestion =
        "You will need to restart program to make settings changes, terminate the program now?";

    using Exit = std::function<void(int status)>;
    using About = std::function<void()>;
    using BackUpNow = std::function<void()>;

    explicit WindowCommands(CommandContext context);

    // Runs the command of a window-menu or tray-menu id; false for any other id.
    bool run(int id);

    void open();
    void hide();
    // The 30-second timer: hides the window, unless no tray host could bring it back. While a
    // menu or a dialog is open the hide waits, so a choice in it is never lost.
    void autoHide();
    bool trayPresent() const;
    // The line below the window's frame: where to find the program once the window is hidden.
    QString backgroundHint() const;
    void toggleStop();
    void toggleAutostart();
    void editPrograms();
    void editBackupLists();
    void editSettings();
    void about();
    void startUpdateRoutine();

    // The about box, filled in by its own unit.
    void setAbout(About about) { about_ = std::move(about); }
    // "Back up now": the main window starts the backup program as the schedule does.
    void setBackUpNow(BackUpNow backUpNow) { backUpNow_ = std::move(backUpNow); }
    // Ends the process after the restart question; tests record the status instead.
    void setExit(Exit exit) { exit_ = std::move(exit); }

private:
    CommandContext c_;
    About about_;
    BackUpNow backUpNow_;
    Exit exit_;
};

} // namespace kestrun
