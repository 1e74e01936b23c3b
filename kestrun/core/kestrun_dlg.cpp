#include "kestrun/core/kestrun_dlg.h"

#include "common/text.h"
#include "kestrun/core/backup_launch.h"
#include "kestrun/core/completion.h"
#include "kestrun/core/own_files.h"
#include "kestrun/ui/about_dlg.h"
#include "kestrun/ui/asker.h"
#include "kestrun/ui/commands.h"
#include "kestrun/ui/list_dialogs_impl.h"
#include "kestrun/ui/main_window.h"
#include "kestrun/ui/promt_dlg.h"
#include "kestrun/ui/routine_windows.h"
#include "kestrun/ui/tray_menu.h"
#include "kestrun/update/self_update.h"
#include "platform/autostart.h"
#include "platform/clock.h"
#include "platform/data_folder.h"
#include "platform/dialog_template.h"
#include "platform/list_file.h"
#include "platform/process_table.h"
#include "platform/program_paths.h"
#include "platform/settings_store.h"
#include "release/program_names.h"

#include <QAction>
#include <QCloseEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QThread>
#include <QTimer>
#include <QVBoxLayout>

namespace kestrun {

namespace fs = std::filesystem;

CKestrunDlg::CKestrunDlg(KestrunContext context, QWidget* parent)
    : QDialog(parent), context_(std::move(context)), workingFolder_(context_.workingFolder),
      eventLog_(context_.clock, workingFolder_) {
    buildWindow();
    monitor_ = std::make_unique<ProgramMonitor>(programs_, busy_, *this, context_.clock,
                                                context_.processes, context_.launcher);
    monitor_->setHeld(&held_);
    setHandler(KsnMessage::ProgramCheck, [this] {
        if (trust_.programsMayRun())
            monitor_->check();
        if (!firstCheckRun_)
            confirmFirstCheck(workingFolder_);
        firstCheckRun_ = true;
    });
    setHandler(KsnMessage::BackupLaunch, [this] {
        // A backup the user started a moment ago still runs: the schedule takes it as its own.
        if (backupsMayRun() && !backupRunning())
            launchBackup();
    });
    // The update engine's messages go to its coordinator.
    for (KsnMessage message :
         {KsnMessage::LanUpdate, KsnMessage::LanguageUpdate, KsnMessage::SelfUpdate,
          KsnMessage::KbmUpdate, KsnMessage::UpdaterUpdate})
        setHandler(message, [this, message] {
            // Nothing is fetched into, or handed over from, a folder others may change.
            const bool selfUpdate =
                message != KsnMessage::LanUpdate && message != KsnMessage::LanguageUpdate;
            if (selfUpdate && !trust_.selfUpdateMayRun())
                return;
            trust_.sayUnusedKeysAndCertificates();
            updates().handle(message);
        });
    setHandler(KsnMessage::NewVersionNotice, [this] {
        trust_.sayUnusedKeysAndCertificates();
        updates().checkNewVersion(noticeVersions_, *this);
    });
    setHandler(KsnMessage::ServerUpdate, [this] {
        updates().runServerRoutine([this]() -> RoutineUser& {
            routineWindows_ = std::make_unique<RoutineWindows>(
                *this, settings_, workingFolder_,
                [this](const std::string& text) { showTrayBalloon(text, 0); });
            return *routineWindows_;
        });
    });
}

// Made at its first use, once the working folder is known.
UpdateCoordinator& CKestrunDlg::updates() {
    if (!updates_)
        updates_ = std::make_unique<UpdateCoordinator>(
            UpdateCoordinator::Context{
                settings_, eventLog_, context_.clock, context_.processes, context_.launcher, busy_,
                held_, [this](const std::string& text) { showTrayBalloon(text, 0); },
                [this] { return namesNotToMirror(programs_); }},
            workingFolder_);
    return *updates_;
}

// A balloon of the tray icon, from any thread.
void CKestrunDlg::showTrayBalloon(const std::string& text, int icon) {
    runOnWindowThread([this, text = QString::fromStdString(text), icon] {
        tray_->notify(TrayNotifier::Operation::Modify, text, icon);
    });
}

CKestrunDlg::~CKestrunDlg() {
    shutdown_.request_stop();
    if (heartbeat_)
        heartbeat_->stop();
}

void CKestrunDlg::buildWindow() {
    setWindowFlag(Qt::WindowStaysOnTopHint, true);
    // The window itself holds the focus, none of its lines takes it: the menu bar hands it back
    // here when its menu is left, so Esc reaches the window again.
    setFocusPolicy(Qt::StrongFocus);
    setWindowIcon(kestrunIcon());
    auto* content = new QWidget(this);
    buildFromTemplate(*content, mainWindowTemplate());
    for (std::size_t i = 0; i < statusLines_.size(); ++i)
        statusLines_[i] =
            content->findChild<QLineEdit*>(QString::number(kFirstStatusLine + static_cast<int>(i)));
    lastBackup_ = content->findChild<QLabel*>(QString::number(kLastBackupLine));
    for (QLabel* label : content->findChildren<QLabel*>())
        if (label != lastBackup_)
            hint_ = label;
    setWindowTitle(QString::fromStdString(mainWindowTemplate().title));
    menuBar_ = new QMenuBar(this);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setMenuBar(menuBar_);
    layout->addWidget(content);
    layout->setSizeConstraint(QLayout::SetFixedSize);
    hideTimer_ = new QTimer(this);
    hideTimer_->setSingleShot(true);
    connect(hideTimer_, &QTimer::timeout, this, &CKestrunDlg::onHideTimer);
    tray_ = std::make_unique<TrayNotifier>(*this);
    connect(tray_->icon(), &QSystemTrayIcon::activated, this, &CKestrunDlg::onTrayNotify);
}

void CKestrunDlg::initialize() {
    settings_.setDefaults();
    appendSystemMenuItems();
    wireCommands();
    checkAutostart();
    settings_.load(context_.settingsStore); // an update client also gets its 15-second poll
    loadLists();
    // Without a data folder of the user's own there is no record to trust: kbm would keep it
    // in the working folder, which others may share.
    const fs::path kbmData = userDataFolder();
    backupStatus_ = std::make_unique<BackupStatus>(
        context_.settingsStore, kbmData.empty() ? fs::path() : backupOutcomeFile(kbmData));
    tray_->notify(TrayNotifier::Operation::Add);
    showBackupOutcome(backupStatus_->refresh(context_.clock.now(), settings_.period));
    hideTimer_->start(kHideAfterMs);
    heartbeat_ = std::make_unique<Heartbeat>(context_.clock, settings_, pause_, *this);
    heartbeat_->resumeSchedule(backupStatus_->lastLaunch(), !backupInclude_.empty());
    if (context_.startHeartbeat)
        heartbeat_->start();
    eventLog_.log("Program started");
    if (settings_.umode == 1 || settings_.umode == 3)
        updates().startServer(context_.workingFolder); // the current directory at start
    else
        menuItems_.at(kMenuServerUpdate)->setEnabled(false);
}

void CKestrunDlg::appendSystemMenuItems() {
    QMenu* menu = menuBar_->addMenu(QStringLiteral("&Kestrun"));
    for (const MenuItemSpec& item : mainMenuItems()) {
        if (item.separatorBefore && !menu->isEmpty())
            menu->addSeparator();
        QAction* action = menu->addAction(QString::fromUtf8(item.text));
        action->setData(item.id);
        menuItems_[item.id] = action;
    }
    menuItems_.at(kMenuAutostart)->setCheckable(true);
}

// Both menus run their items' commands; the tray menu is also the icon's context menu, since
// several tray hosts deliver no other click.
void CKestrunDlg::wireCommands() {
    if (!context_.asker) {
        ownAsker_ = std::make_unique<WidgetAsker>();
        context_.asker = ownAsker_.get();
    }
    if (!context_.listDialogs) {
        ownListDialogs_ = std::make_unique<ListDialogsImpl>(context_.clock);
        context_.listDialogs = ownListDialogs_.get();
    }
    commands_ = std::make_unique<WindowCommands>(CommandContext{
        *this, *hideTimer_, *this, settings_, context_.settingsStore, pause_, context_.autostart,
        *menuItems_.at(kMenuAutostart), programs_, backupInclude_, backupExclude_, workingFolder_,
        *context_.asker, *context_.listDialogs, context_.trayPresent});
    commands_->setAbout([this] { showAbout(); });
    commands_->setBackUpNow([this] { backUpNow(); });
    for (const auto& [id, action] : menuItems_)
        connect(action, &QAction::triggered, this, [this, id = id] { commands_->run(id); });
    trayMenu_ = new TrayMenu(*this, pause_, [this](int id) { commands_->run(id); });
    tray_->icon()->setContextMenu(trayMenu_->menu());
    setTrayMenu([this] { trayMenu_->open(); });
}

void CKestrunDlg::hideWindow() {
    if (commands_)
        commands_->hide();
    else
        hide();
}

// An autostart entry names the working folder (the folder of an installed program, or the
// folder a build's program was told to work on), whatever the current directory is.
void CKestrunDlg::checkAutostart() {
    if (!context_.autostart.programPath())
        return;
    menuItems_.at(kMenuAutostart)->setChecked(true);
    if (const auto folder = context_.autostart.workingFolder()) {
        workingFolder_ = *folder;
        eventLog_.setWorkingFolder(workingFolder_);
    }
}

void CKestrunDlg::loadLists() {
    programs_ = loadProgramList(workingFolder_);
    appendIncludeEntries(readListLines(workingFolder_ / kIncludeListFile), backupInclude_);
    appendExcludeEntries(readListLines(workingFolder_ / kExcludeListFile), backupExclude_);
}

// The backup program started is kbm as the launch finds it.
bool CKestrunDlg::backupsMayRun() {
    return trust_.backupsMayRun(locateProgram(programFileName(kBackupProgram), workingFolder_));
}

void CKestrunDlg::launchBackup() {
    backupPid_ = startBackupProgram(eventLog_, context_.launcher, workingFolder_);
    backupStartMs_ = context_.clock.monotonicMs();
    backupStatus_->launched(context_.clock.now());
}

// The backup program started last runs while a process of its name has its id; in its first
// seconds it may not carry the name yet.
bool CKestrunDlg::backupRunning() {
    if (!backupPid_)
        return false;
    if (context_.launcher.exitOf(*backupPid_)) {
        backupPid_.reset();
        return false;
    }
    const auto processes = context_.processes.processes();
    if (!processes)
        return false;
    const bool starting = context_.clock.monotonicMs() - backupStartMs_ < kBackupStartingMs;
    const std::string backupName = programFileName(kBackupProgram);
    for (const ProcessInfo& p : *processes)
        if (p.pid == *backupPid_)
            for (const std::string& name : p.names)
                if (starting || toLowerAscii(name) == backupName)
                    return true;
    backupPid_.reset();
    return false;
}

void CKestrunDlg::backUpNow() {
    if (backupRunning()) {
        eventLog_.log("Back up now: a backup is running already");
        showTrayBalloon("A backup is running already.", 1);
        return;
    }
    eventLog_.log("Back up now");
    if (!backupsMayRun())
        return;
    launchBackup();
    heartbeat_->noteLaunch(context_.clock.now());
}

void CKestrunDlg::followBackups() {
    runOnWindowThread([this] {
        // Every beat, paused or not, the programs we started that have ended are collected.
        context_.launcher.collectEnded();
        showBackupOutcome(backupStatus_->refresh(context_.clock.now(), settings_.period));
    });
}

// The tooltip and the window's line say how the last backup ended; a warning is a balloon.
void CKestrunDlg::showBackupOutcome(const std::optional<std::string>& warning) {
    const QString line = QString::fromStdString(backupStatus_->line());
    tray_->icon()->setToolTip(QStringLiteral("Kestrun\n") + line);
    lastBackup_->setText(line);
    if (warning)
        showTrayBalloon(*warning, 0);
}

// At most one notice window: a later notice brings the open one back with its old text.
void CKestrunDlg::showNoticeWindow(const std::string& text) {
    if (noticeWindow_) {
        noticeWindow_->showAgain();
        return;
    }
    auto* notice = new CPromtDlg(this); // a child of the window; deletes itself after OK
    notice->setAttribute(Qt::WA_DeleteOnClose);
    notice->setNoticeText(QString::fromStdString(text));
    connect(notice, &CPromtDlg::confirmed, this, [this](bool doNotInform) {
        if (doNotInform)
            noticeVersions_.silenceNewest();
        noticeWindow_ = nullptr;
    });
    noticeWindow_ = notice;
    notice->showNotice();
}

void CKestrunDlg::showAbout() {
    CAboutDlg about(settings_, context_.settingsStore, kestrunIcon(), this);
    about.exec();
}

void CKestrunDlg::setHandler(KsnMessage message, Handler handler) {
    handlers_[message] = std::move(handler);
}

void CKestrunDlg::handleMessage(KsnMessage message) {
    const auto it = handlers_.find(message);
    if (it != handlers_.end() && it->second)
        it->second();
}

void CKestrunDlg::onTrayNotify(QSystemTrayIcon::ActivationReason reason) {
    if (reason == QSystemTrayIcon::Trigger && openTrayMenu_)
        openTrayMenu_();
}

QLineEdit* CKestrunDlg::statusEdit(int id) const {
    const int index = id - kFirstStatusLine;
    return index >= 0 && index < static_cast<int>(statusLines_.size()) ? statusLines_[index]
                                                                       : nullptr;
}

QString CKestrunDlg::statusLine(int id) const {
    const auto* edit = statusEdit(id);
    return edit ? edit->text() : QString();
}

QAction* CKestrunDlg::menuItem(int id) const {
    const auto it = menuItems_.find(id);
    return it == menuItems_.end() ? nullptr : it->second;
}

void CKestrunDlg::onHideTimer() {
    if (commands_)
        commands_->autoHide();
}

void CKestrunDlg::runOnWindowThread(std::function<void()> fn) {
    if (QThread::currentThread() == thread())
        fn();
    else
        QMetaObject::invokeMethod(this, std::move(fn), Qt::QueuedConnection);
}

void CKestrunDlg::send(KsnMessage message) {
    if (QThread::currentThread() == thread()) {
        handleMessage(message);
        return;
    }
    auto completion = std::make_shared<Completion>();
    QMetaObject::invokeMethod(
        this,
        [this, message, completion] {
            handleMessage(message);
            completion->signal();
        },
        Qt::QueuedConnection);
    completion->wait(shutdown_.get_token());
}

void CKestrunDlg::post(KsnMessage message) {
    QMetaObject::invokeMethod(
        this, [this, message] { handleMessage(message); }, Qt::QueuedConnection);
}

void CKestrunDlg::setStatusLine(int id, const std::string& text) {
    runOnWindowThread([this, id, text = QString::fromStdString(text)] {
        if (auto* edit = statusEdit(id))
            edit->setText(text);
    });
}

void CKestrunDlg::setPauseItemText(const std::string& text) {
    runOnWindowThread([this, text = QString::fromStdString(text)] {
        if (QAction* item = menuItem(kMenuStop))
            item->setText(text);
    });
}

void CKestrunDlg::repaint() {
    runOnWindowThread([this] { update(); });
}

void CKestrunDlg::reject() {
    hideWindow();
}

void CKestrunDlg::accept() {}

void CKestrunDlg::closeEvent(QCloseEvent* event) {
    event->ignore();
    hideWindow();
}

void CKestrunDlg::showEvent(QShowEvent* event) {
    if (commands_)
        hint_->setText(commands_->backgroundHint());
    QDialog::showEvent(event);
}

} // namespace kestrun
