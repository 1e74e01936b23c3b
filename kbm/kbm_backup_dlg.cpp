#include "kbm/kbm_backup_dlg.h"

#include "kbm/kbm_icon.h"
#include "kbm/run_outcome.h"

#include "platform/dialog_template.h"
#include "platform/list_file.h"
#include "platform/shared_folder.h"

#include <QAction>
#include <QApplication>
#include <QFontMetrics>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>

namespace kestrun {

namespace {

const DialogTemplate& backupWindowTemplate() {
    static const DialogTemplate tmpl{
        "KbmBackup",
        220,
        74,
        {
            {CKbmBackupDlg::kStatusLineId, ControlKind::StaticLeft, "", 7, 10, 206, 8},
            {CKbmBackupDlg::kOverallBarId, ControlKind::ProgressBar, "", 7, 23, 206, 11},
            {CKbmBackupDlg::kTransferBarId, ControlKind::ProgressBar, "", 7, 36, 206, 11},
            {0, ControlKind::StaticCentered, "Kestrun backup", 8, 52, 205, 8},
        }};
    return tmpl;
}

} // namespace

CKbmBackupDlg::CKbmBackupDlg(const std::filesystem::path& workingFolder,
                             const std::filesystem::path& dataFolder, const SettingsStore& store,
                             Clock& clock, QWidget* parent)
    : QDialog(parent), clock_(clock), log_(workingFolder, clock) {
    setObjectName(QString::number(kWindowId));
    buildFromTemplate(*this, backupWindowTemplate());
    status_ = findChild<QLabel*>(QString::number(kStatusLineId));
    overall_ = findChild<QProgressBar*>(QString::number(kOverallBarId));
    transfer_ = findChild<QProgressBar*>(QString::number(kTransferBarId));
    // The bars show their progress only, without a percentage over them.
    for (QProgressBar* bar : {overall_, transfer_})
        if (bar)
            bar->setTextVisible(false);

    const QIcon icon = kbmIcon();
    setWindowIcon(icon);
    auto* about = new QAction(tr("About Kbm..."), this);
    connect(about, &QAction::triggered, this,
            [this] { QMessageBox::about(this, tr("About KBM"), tr("KBM Version 1.0")); });
    addAction(about);
    setContextMenuPolicy(Qt::ActionsContextMenu);

    config_.workingFolder = workingFolder;
    config_.dataFolder = dataFolder;
    config_.settings = readKbmSettings(store);
    appendIncludeEntries(readListLines(workingFolder / kIncludeListFile), config_.include);
    appendExcludeEntries(readListLines(workingFolder / kExcludeListFile), config_.exclude);
    for (const char* list : {kIncludeListFile, kExcludeListFile})
        if (config_.refusal.empty() && othersMayChangeTarget(workingFolder / list))
            config_.refusal = "others may change " + (workingFolder / list).string();

    trayHostSeen_ = trayHostProbe_();
    connect(&trayWatch_, &QTimer::timeout, this, &CKbmBackupDlg::watchTrayHost);
    trayWatch_.start(kTrayWatchMs);

    runTimer_.setSingleShot(true);
    connect(&runTimer_, &QTimer::timeout, this, &CKbmBackupDlg::performRun);
    runTimer_.start(kRunDelayMs);
    log_.write("Backup started.");
}

CKbmBackupDlg::~CKbmBackupDlg() = default;

void CKbmBackupDlg::performRun() {
    runTimer_.stop();
    if (runStarted_)
        return;
    // A cancel may be waiting behind the timer, or have come in the same round of events.
    if (pendingCancel_)
        pendingCancel_();
    if (cancelled_)
        return;
    // The program has been at idle priority since its start, so the run is from its beginning.
    runStarted_ = true;
    BackupRun run(config_, clock_, log_, *this, sender_);
    run.perform();
    reportOutcome(log_, config_.dataFolder, run.outcome());
    if (finished_)
        finished_();
}

void CKbmBackupDlg::reject() {
    if (!runStarted_)
        cancelled_ = true;
    trayWatch_.stop();
    if (tray_) {
        tray_->hide();
        tray_->deleteLater();
        tray_ = nullptr;
    }
    QDialog::reject();
}

void CKbmBackupDlg::watchTrayHost() {
    if (!trayWatch_.isActive()) // cancelled: the icon is gone for good
        return;
    const bool there = trayHostProbe_();
    if (there && !trayHostSeen_ && !tray_) {
        tray_ = new QSystemTrayIcon(windowIcon(), this);
        tray_->setToolTip(QStringLiteral("Orrin"));
        connect(tray_, &QSystemTrayIcon::activated, this, &CKbmBackupDlg::onTrayActivated);
        tray_->show();
    }
    trayHostSeen_ = there;
}

void CKbmBackupDlg::onTrayActivated(QSystemTrayIcon::ActivationReason reason) {
    if (reason != QSystemTrayIcon::Trigger)
        return;
    showNormal();
    raise();
    activateWindow();
    if (!runStarted_ && !cancelled_)
        runTimer_.start(kTrayClickDelayMs);
}

void CKbmBackupDlg::setOverall(int percent) {
    if (overall_)
        overall_->setValue(percent);
}

void CKbmBackupDlg::setTransfer(int percent) {
    if (transfer_)
        transfer_->setValue(percent);
}

// A path longer than the line loses its middle, so the file's name stays in sight; the whole
// path is the line's tool tip.
void CKbmBackupDlg::setStatus(const std::string& text) {
    if (!status_)
        return;
    const QString full = QString::fromStdString(text);
    status_->setText(status_->fontMetrics().elidedText(full, Qt::ElideMiddle, status_->width()));
    status_->setToolTip(full);
}

void CKbmBackupDlg::pump() {
    repaint();
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
}

} // namespace kestrun
