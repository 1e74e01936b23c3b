#pragma once

#include "common/backup_list.h"
#include "kestrun/core/backup_status.h"
#include "kestrun/core/event_log.h"
#include "kestrun/core/heartbeat.h"
#include "kestrun/core/messages.h"
#include "kestrun/core/own_files.h"
#include "kestrun/core/pause_counter.h"
#include "kestrun/core/settings.h"
#include "kestrun/core/tray.h"
#include "kestrun/supervisor/held_programs.h"
#include "kestrun/supervisor/program_list.h"
#include "kestrun/supervisor/program_monitor.h"
#include "kestrun/ui/main_window.h"
#include "kestrun/ui/promt_dlg.h"
#include "kestrun/update/update_coordinator.h"
#include "kestrun/update/version_notice.h"

#include <QDialog>
#include <QPointer>

#include <array>
#include <atomic>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <stop_token>
#include <string>

class QAction;
class QLabel;
class QLineEdit;
class QMenu;
class QMenuBar;
class QTimer;

namespace kestrun {

class Asker;
class AutostartEntry;
class Clock;
class ListDialogs;
class ProcessTable;
class ProgramLauncher;
class RoutineWindows;
class SettingsStore;
class TrayMenu;
class WindowCommands;

// What the main window takes from outside; the program passes the real ones, tests temporary
// folders and a test clock.
struct KestrunContext {
    Clock& clock;
    SettingsStore& settingsStore;
    AutostartEntry& autostart;
    ProcessTable& processes;
    ProgramLauncher& launcher;
    std::filesystem::path workingFolder; // the current directory at start
    bool startHeartbeat = true;
    // The questions and choosers of the commands, and the list dialogs; null: the window's own.
    Asker* asker = nullptr;
    ListDialogs* listDialogs = nullptr;
    std::function<bool()> trayPresent = nullptr; // whether a tray host shows the icon; null: Qt
};

// The main window of Kestrun. It owns all shared state, runs every handler on its thread, and
// receives the heartbeat's messages. It is shown for 30 seconds after start, then lives hidden
// behind the tray icon; closing it only hides it.
class CKestrunDlg : public QDialog, public HeartbeatTarget, public MonitorHost, public NoticeSink {
    Q_OBJECT
public:
    static constexpr int kHideAfterMs = 30000; // the commands' hide timer

    explicit CKestrunDlg(KestrunContext context, QWidget* parent = nullptr);
    ~CKestrunDlg() override;

    // The start-up sequence of the window; call once before showing it.
    void initialize();

    // Shared state, read and written on the window thread.
    Settings& settings() { return settings_; }
    const std::filesystem::path& workingFolder() const { return workingFolder_; }
    PauseCounter& pauseCounter() { return pause_; }
    std::atomic<std::int32_t>& busyFlag() { return busy_; }
    const EventLog& eventLog() const { return eventLog_; }
    ProgramList& programs() { return programs_; }
    BackupList& backupIncludes() { return backupInclude_; }
    BackupList& backupExcludes() { return backupExclude_; }
    TrayNotifier& tray() { return *tray_; }
    // The menus' commands and the tray menu; they exist once the window is initialised.
    WindowCommands& commands() { return *commands_; }
    TrayMenu& trayMenu() { return *trayMenu_; }

    // The new-version notice: its two version texts and the open notice window, if any.
    NoticeVersions& noticeVersions() { return noticeVersions_; }
    CPromtDlg* noticeWindow() const { return noticeWindow_; }
    // The update engine, made at its first use (window thread only).
    UpdateCoordinator& updates();
    // Runs the about box modally.
    void showAbout();
    // "Back up now": starts the backup program at once, unless the one started last still runs.
    void backUpNow();
    // The last backup's outcome, as the tooltip and the window's line show it.
    BackupStatus& backupStatus() { return *backupStatus_; }

    // Message handlers: each custom message runs its handler on the window thread. Later
    // subsystems install theirs; a message without a handler is accepted and does nothing.
    using Handler = std::function<void()>;
    void setHandler(KsnMessage message, Handler handler);
    void handleMessage(KsnMessage message);
    // Posts a message to the window's own queue (the system menu's update routine uses it).
    void postMessage(KsnMessage message) { post(message); }

    // The tray icon's notification (0x83E9) carries the mouse event, so it has its own handler:
    // the left-button release opens the tray menu; every other event does nothing. The tray
    // menu is installed by the commands, which also make it the icon's context menu.
    using TrayMenuHook = std::function<void()>;
    void setTrayMenu(TrayMenuHook open) { openTrayMenu_ = std::move(open); }
    void onTrayNotify(QSystemTrayIcon::ActivationReason reason);

    QString statusLine(int id) const;
    QAction* menuItem(int id) const;
    QTimer& hideTimer() { return *hideTimer_; }
    void onHideTimer();

    // MonitorHost: the program check's log lines.
    void log(std::string_view message) override { eventLog_.log(message); }

    // HeartbeatTarget: safe to call from the heartbeat thread.
    void send(KsnMessage message) override;
    void post(KsnMessage message) override;
    void setStatusLine(int id, const std::string& text) override;
    void setPauseItemText(const std::string& text) override;
    void repaint() override;
    void followBackups() override;

    // NoticeSink: the new-version notice as a balloon, or as its window (at most one).
    void showBalloon(const std::string& text) override { showTrayBalloon(text, 1); }
    void showNoticeWindow(const std::string& text) override;

protected:
    void reject() override;                       // Esc, the close box: hide
    void accept() override;                       // Enter: nothing
    void closeEvent(QCloseEvent* event) override; // closing never ends the program
    void showEvent(QShowEvent* event) override;   // the line below the frame follows the tray

private:
    void buildWindow();
    void appendSystemMenuItems();
    void wireCommands();
    void hideWindow();
    void checkAutostart();
    void loadLists();
    void launchBackup();
    bool backupRunning();
    void showBackupOutcome(const std::optional<std::string>& warning);
    bool backupsMayRun();
    void showTrayBalloon(const std::string& text, int icon);
    void runOnWindowThread(std::function<void()> fn);
    QLineEdit* statusEdit(int id) const;

    KestrunContext context_;
    std::filesystem::path workingFolder_;
    bool firstCheckRun_ = false;
    Settings settings_;
    PauseCounter pause_;
    std::atomic<std::int32_t> busy_{0};
    EventLog eventLog_;
    WorkingFolderTrust trust_{eventLog_, workingFolder_};
    ProgramList programs_;
    BackupList backupInclude_;
    BackupList backupExclude_;
    std::unique_ptr<ProgramMonitor> monitor_;
    NoticeVersions noticeVersions_;
    QPointer<CPromtDlg> noticeWindow_; // owned as a child; gone once confirmed

    std::map<KsnMessage, Handler> handlers_;
    TrayMenuHook openTrayMenu_;
    std::map<int, QAction*> menuItems_;
    QMenuBar* menuBar_ = nullptr;
    // The status lines 1002, 1003 and 1004, in that order (children of the window).
    std::array<QLineEdit*, 3> statusLines_{};
    QLabel* hint_ = nullptr;       // the line below the frame
    QLabel* lastBackup_ = nullptr; // the last backup's outcome
    std::unique_ptr<BackupStatus> backupStatus_;
    std::optional<std::int64_t> backupPid_; // the backup program started last
    std::uint64_t backupStartMs_ = 0;
    static constexpr std::uint64_t kBackupStartingMs = 10000;
    QTimer* hideTimer_ = nullptr;
    std::unique_ptr<TrayNotifier> tray_;
    std::unique_ptr<Asker> ownAsker_;
    std::unique_ptr<ListDialogs> ownListDialogs_;
    std::unique_ptr<WindowCommands> commands_;
    TrayMenu* trayMenu_ = nullptr; // owned by the window

    // Ends every wait of the heartbeat when the window goes away.
    std::stop_source shutdown_;
    std::unique_ptr<Heartbeat> heartbeat_;

    // The windows of the server-side update routine, made at its first start.
    std::unique_ptr<RoutineWindows> routineWindows_;
    // The update engine; its thread and the routine's workers end before the state they use
    // goes away.
    HeldPrograms held_;
    std::unique_ptr<UpdateCoordinator> updates_;
};

} // namespace kestrun
