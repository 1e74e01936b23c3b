#pragma once

#include "kbm/backup_log.h"
#include "kbm/backup_run.h"
#include "kbm/run_progress.h"
#include "platform/clock.h"
#include "platform/settings_store.h"

#include <QDialog>
#include <QSystemTrayIcon>
#include <QTimer>

#include <filesystem>
#include <functional>

class QLabel;
class QProgressBar;

namespace kestrun {

// The progress window (window 102 "KbmBackup") and owner of everything a run needs. On
// construction it reads the settings and both lists, logs "Backup started." and arms the run
// timer (500 ms); when it fires the run is performed once, "Backup completed." is logged and
// the finish handler ends the process.
class CKbmBackupDlg final : public QDialog, public RunProgress {
    Q_OBJECT
public:
    static constexpr int kWindowId = 102;
    static constexpr int kStatusLineId = 1002;
    static constexpr int kOverallBarId = 1003;
    static constexpr int kTransferBarId = 1001;
    static constexpr int kRunDelayMs = 500;
    static constexpr int kTrayClickDelayMs = 5000;

    CKbmBackupDlg(const std::filesystem::path& workingFolder,
                  const std::filesystem::path& dataFolder, const SettingsStore& store, Clock& clock,
                  QWidget* parent = nullptr);
    ~CKbmBackupDlg() override;

    // The run (timer 0): at most once per window; a second call does nothing.
    void performRun();
    bool runStarted() const { return runStarted_; }

    const RunConfig& config() const { return config_; }
    QTimer& runTimer() { return runTimer_; }
    QSystemTrayIcon* trayIcon() const { return tray_; }

    // Called after "Backup completed."; the program ends the process with exit code 1 there.
    void setRunFinishedHandler(std::function<void()> handler) { finished_ = std::move(handler); }
    // Called when the run is due, before it starts: delivers a cancel that arrived but has not
    // been handled yet, so a cancel that came first always ends the program without a run.
    void setPendingCancelHandler(std::function<void()> handler) {
        pendingCancel_ = std::move(handler);
    }
    // A sender to use instead of FTP (tests).
    void setSender(FileSender* sender) { sender_ = sender; }

    // Enter does nothing.
    void accept() override {}
    // Esc or the close box: the tray icon goes and the window closes; a run in progress goes on,
    // one not yet started never starts.
    void reject() override;

    // RunProgress
    void setOverall(int percent) override;
    void setTransfer(int percent) override;
    void setStatus(const std::string& text) override;
    void pump() override;

    // A click on the tray icon restores the window and, before the run, delays it to 5000 ms
    // after the click.
    void onTrayActivated(QSystemTrayIcon::ActivationReason reason);

    // The window has no tray icon at start. A tray host that appears later (a desktop shell
    // started or restarted after kbm, with a new taskbar) gets it, tip "Orrin"; a cancel
    // removes it, and none comes after that. The host is looked for every 2000 ms.
    static constexpr int kTrayWatchMs = 2000;
    void watchTrayHost();
    // Tells whether a tray host is there (tests); the system's answer by default.
    void setTrayHostProbe(std::function<bool()> probe) { trayHostProbe_ = std::move(probe); }

private:
    Clock& clock_;
    BackupLog log_;
    RunConfig config_;
    QTimer runTimer_;
    QSystemTrayIcon* tray_ = nullptr; // owned by the window
    QTimer trayWatch_;
    std::function<bool()> trayHostProbe_ = &QSystemTrayIcon::isSystemTrayAvailable;
    bool trayHostSeen_ = false;
    QLabel* status_ = nullptr;
    QProgressBar* overall_ = nullptr;
    QProgressBar* transfer_ = nullptr;
    FileSender* sender_ = nullptr;
    std::function<void()> finished_;
    std::function<void()> pendingCancel_;
    bool runStarted_ = false;
    bool cancelled_ = false;
};

} // namespace kestrun
