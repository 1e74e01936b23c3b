#include "kestrun/core/kestrun_dlg.h"

#include "kestrun/core/backup_launch.h"
#include "kestrun/ui/routine_windows.h"
#include "kestrun/update/self_update.h"
#include "kestrun/update/update_routine.h"
#include "kestrun/update/update_server_handler.h"
#include "platform/autostart.h"
#include "platform/clock.h"
#include "platform/dialog_template.h"
#include "platform/settings_store.h"

#include <QAction>
#include <QCloseEvent>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QThread>
#include <QTimer>
#include <QVBoxLayout>

#include <condition_variable>
#include <mutex>

namespace kestrun {

namespace {

// Window 102: three read-only, centred status lines in a frame and one line below it.
const DialogTemplate& mainWindowTemplate() {
    static const DialogTemplate tmpl{
        "Kestrun",
        273,
        95,
        {
            {0, ControlKind::GroupBox, "", 7, 7, 259, 67},
            {1002, ControlKind::ReadOnlyEdit, "", 15, 17, 244, 14},
            {1003, ControlKind::ReadOnlyEdit, "", 15, 36, 244, 14},
            {1004, ControlKind::ReadOnlyEdit, "", 15, 56, 244, 14},
            {0, ControlKind::StaticCentered,
             "Kestrun works in the background; find it in the tray.", 7, 80, 259, 8},
        }};
    return tmpl;
}

struct MenuItemSpec {
    int id;
    const char* text;
    bool separatorBefore;
};

// The program's items of the window menu, in their order.
constexpr MenuItemSpec kMenuItems[] = {
    {kMenuPrograms, "&Programs", true},
    {kMenuBackup, "&Backup", false},
    {kMenuAutostart, "Auto&start", false},
    {kMenuStop, "S&top", true},
    {kMenuServerUpdate, "Start Zelmo update routine", false},
    {kMenuSettings, "S&ettings ...", true},
    {kMenuAbout, "&About Kestrun...", true},
};

// Lets the heartbeat wait for a handler on the window thread, and stop waiting when the
// window goes away.
struct Completion {
    std::mutex mutex;
    std::condition_variable_any done;
    bool finished = false;

    void signal() {
        std::lock_guard lock(mutex);
        finished = true;
        done.notify_all();
    }
    void wait(std::stop_token token) {
        std::unique_lock lock(mutex);
        done.wait(lock, token, [this] { return finished; });
    }
};

} // namespace

CKestrunDlg::CKestrunDlg(KestrunContext context, QWidget* parent)
    : QDialog(parent), context_(std::move(context)), workingFolder_(context_.workingFolder),
      eventLog_(context_.clock, workingFolder_) {
    buildWindow();
    monitor_ = std::make_unique<ProgramMonitor>(programs_, busy_, *this, context_.clock,
                                                context_.processes, context_.launcher);
    setHandler(KsnMessage::ProgramCheck, [this] { monitor_->check(); });
    setHandler(KsnMessage::BackupLaunch, [this] { launchBackup(); });
    const auto selfUpdate = [this] {
        return programSelfUpdate(settings_, eventLog_, context_.launcher, workingFolder_);
    };
    setHandler(KsnMessage::SelfUpdate, [selfUpdate] { selfUpdate().checkKestrun(); });
    setHandler(KsnMessage::KbmUpdate,
               [selfUpdate] { selfUpdate().checkCompanion(OwnProgram::Kbm); });
    setHandler(KsnMessage::UpdaterUpdate,
               [selfUpdate] { selfUpdate().checkCompanion(OwnProgram::Updater); });
    setHandler(KsnMessage::ServerUpdate, [this] {
        if (!updateRoutine_) {
            routineWindows_ = std::make_unique<RoutineWindows>(
                *this, settings_, workingFolder_, [this](const std::string& text) {
                    tray_->notify(TrayNotifier::Operation::Modify, QString::fromStdString(text), 0);
                });
            updateRoutine_ = std::make_unique<UpdateRoutine>(settings_, busy_, eventLog_,
                                                             workingFolder_, context_.clock,
                                                             context_.processes, *routineWindows_);
        }
        updateRoutine_->run();
    });
}

CKestrunDlg::~CKestrunDlg() {
    shutdown_.request_stop();
    if (heartbeat_)
        heartbeat_->stop();
}

void CKestrunDlg::buildWindow() {
    setWindowFlag(Qt::WindowStaysOnTopHint, true);
    setWindowIcon(kestrunIcon());
    auto* content = new QWidget(this);
    buildFromTemplate(*content, mainWindowTemplate());
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
    checkAutostart();
    settings_.load(context_.settingsStore); // an update client also gets its 15-second poll
    loadLists();
    tray_->notify(TrayNotifier::Operation::Add);
    hideTimer_->start(kHideAfterMs);
    heartbeat_ = std::make_unique<Heartbeat>(context_.clock, settings_, pause_, *this);
    if (context_.startHeartbeat)
        heartbeat_->start();
    eventLog_.log("Program started");
    if (settings_.umode == 1 || settings_.umode == 3)
        startUpdateServer();
    else
        menuItems_.at(kMenuServerUpdate)->setEnabled(false);
}

void CKestrunDlg::appendSystemMenuItems() {
    QMenu* menu = menuBar_->addMenu(QStringLiteral("Kestrun"));
    for (const MenuItemSpec& item : kMenuItems) {
        if (item.separatorBefore && !menu->isEmpty())
            menu->addSeparator();
        QAction* action = menu->addAction(QString::fromUtf8(item.text));
        action->setData(item.id);
        menuItems_[item.id] = action;
    }
    menuItems_.at(kMenuAutostart)->setCheckable(true);
}

// A machine-wide autostart entry names the program in its installed folder: that folder is
// the working folder, whatever the current directory is.
void CKestrunDlg::checkAutostart() {
    const auto program = context_.autostart.programPath();
    if (!program)
        return;
    menuItems_.at(kMenuAutostart)->setChecked(true);
    const auto slash = program->rfind('/');
    if (slash == std::string::npos)
        return;
    workingFolder_ = slash == 0 ? std::string("/") : program->substr(0, slash);
    eventLog_.setWorkingFolder(workingFolder_);
}

void CKestrunDlg::loadLists() {
    programs_ = loadProgramList(workingFolder_);
    loadIncludeList(workingFolder_, backupInclude_);
    loadExcludeList(workingFolder_, backupExclude_);
}

// The update server of the server modes starts here once the update engine provides it.
void CKestrunDlg::startUpdateServer() {
    updateServer_ = std::make_unique<UpdateServerHandler>(settings_, busy_, eventLog_);
    updateServer_->start(context_.workingFolder); // the current directory at start
}

void CKestrunDlg::launchBackup() {
    startBackupProgram(eventLog_, context_.launcher, workingFolder_);
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

QString CKestrunDlg::statusLine(int id) const {
    const auto* edit = findChild<QLineEdit*>(QString::number(id));
    return edit ? edit->text() : QString();
}

QAction* CKestrunDlg::menuItem(int id) const {
    const auto it = menuItems_.find(id);
    return it == menuItems_.end() ? nullptr : it->second;
}

void CKestrunDlg::onHideTimer() {
    hideTimer_->stop();
    hide();
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
        if (auto* edit = findChild<QLineEdit*>(QString::number(id)))
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
    hide();
}

void CKestrunDlg::accept() {}

void CKestrunDlg::closeEvent(QCloseEvent* event) {
    event->ignore();
    hide();
}

} // namespace kestrun
