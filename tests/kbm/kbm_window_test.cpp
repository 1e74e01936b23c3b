#include "common/backup_outcome.h"
#include "kbm/kbm_backup_dlg.h"
#include "kbm/settings.h"
#include "kestrun/core/settings.h"
#include "tests/kbm/kbm_test_support.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QImage>
#include <QLabel>
#include <QProgressBar>

namespace kestrun::test {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;

// The settings file of the sandbox's user (Kestrun.conf below XDG_CONFIG_HOME on POSIX), which
// the window is given on every system: Windows keeps the user's settings in the registry.
fs::path settingsFile(const fs::path& configHome) {
    return configHome / "Tavisoft" / "Kestrun.conf";
}

void writeSettings(const fs::path& configHome, const std::string& body) {
    writeFile(settingsFile(configHome), "[General]\n" + body);
}

TEST(KbmSettingsTest, EightValuesAreReadAndMissingOnesTakeKestrunsDefaults) {
    KbmSandbox box;
    writeSettings(box.config, "Folder=0\nPath=/mnt/usb/\nHost=ftp.example\nPort=2121\n"
                              "User=ann\nPassword=pw\nPassive=1\nAutodelete=4294967295\n"
                              "Period=3\n");
    const KbmSettings s = readKbmSettings(IniSettingsStore(settingsFile(box.config)));
    EXPECT_EQ(s.destinationIsFolder, 0);
    EXPECT_EQ(s.destination, "/mnt/usb");
    EXPECT_EQ(s.host, "ftp.example");
    EXPECT_EQ(s.port, 2121);
    EXPECT_EQ(s.user, "ann");
    EXPECT_EQ(s.password, "pw");
    EXPECT_EQ(s.passive, 1);
    EXPECT_EQ(s.retentionDays, -1);

    // Never saved (no store at all), or not readable: what Kestrun's settings dialog shows.
    const Settings kestrun;
    for (const bool store : {false, true}) {
        SCOPED_TRACE(store);
        fs::remove_all(box.config);
        if (store)
            writeSettings(box.config, "Path=" + std::string(300, 'p') + "\nPort=abc\n");
        const KbmSettings d = readKbmSettings(IniSettingsStore(settingsFile(box.config)));
        EXPECT_EQ(d.destinationIsFolder, kestrun.folder);
        EXPECT_EQ(d.destination, kestrun.path);
        EXPECT_EQ(d.host, kestrun.host);
        EXPECT_EQ(d.port, kestrun.port);
        EXPECT_EQ(d.user, kestrun.user);
        EXPECT_EQ(d.password, kestrun.password);
        EXPECT_EQ(d.passive, kestrun.passive);
        EXPECT_EQ(d.retentionDays, kestrun.autodelete);
    }
}

TEST(KbmSettingsTest, DestinationLosesOneSlashThenOneBackslash) {
    EXPECT_EQ(normaliseDestination("/mnt/b/"), "/mnt/b");
    EXPECT_EQ(normaliseDestination("/mnt/b//"), "/mnt/b/");
    EXPECT_EQ(normaliseDestination("Z:\\"), "Z:");
    EXPECT_EQ(normaliseDestination("Z:\\/"), "Z:");
    EXPECT_EQ(normaliseDestination("Z:/\\"), "Z:/");
    EXPECT_EQ(normaliseDestination("/"), "");
    EXPECT_EQ(normaliseDestination(""), "");
}

class KbmWindowTest : public ::testing::Test {
protected:
    std::unique_ptr<CKbmBackupDlg> makeWindow() {
        auto window = std::make_unique<CKbmBackupDlg>(
            box.work, box.data, IniSettingsStore(settingsFile(box.config)), box.clock);
        window->setRunFinishedHandler([this] { ++finished; });
        return window;
    }

    KbmSandbox box;
    int finished = 0;
};

TEST_F(KbmWindowTest, StartUpBuildsTheWindowLoadsEverythingAndArmsTheRun) {
    const std::string file = box.source("w/a.txt", "A");
    writeFile(box.work / kIncludeListFile, file + "\t1\t1\r\n");
    writeFile(box.work / kExcludeListFile, "/x\r\n");
    writeSettings(box.config, "Folder=1\nPath=" + box.dest.string() + "/\n");
    auto window = makeWindow();

    EXPECT_EQ(window->windowTitle(), "KbmBackup");
    EXPECT_EQ(window->objectName(), "102");
    ASSERT_NE(window->findChild<QLabel*>("1002"), nullptr);
    auto* overall = window->findChild<QProgressBar*>("1003");
    auto* transfer = window->findChild<QProgressBar*>("1001");
    ASSERT_NE(overall, nullptr);
    ASSERT_NE(transfer, nullptr);
    EXPECT_EQ(window->size(), QSize(330, 120));
    // The program icon, a white "K" on a blue disc, not a stock picture of the style.
    const QImage icon = window->windowIcon().pixmap(64).toImage();
    ASSERT_EQ(icon.size(), QSize(64, 64));
    EXPECT_EQ(icon.pixelColor(10, 32), QColor(0x1f, 0x5f, 0x8b));
    EXPECT_EQ(icon.pixelColor(23, 32), QColor(Qt::white));
    EXPECT_EQ(icon.pixelColor(1, 1).alpha(), 0);

    EXPECT_EQ(window->config().settings.destination, box.dest.string());
    EXPECT_EQ(window->config().include, (BackupList{{file, 1, 1}}));
    ASSERT_EQ(window->config().exclude.size(), 1u);
    EXPECT_TRUE(window->runTimer().isActive());
    EXPECT_TRUE(window->runTimer().isSingleShot());
    EXPECT_EQ(window->runTimer().interval(), 500);
    EXPECT_THAT(box.logMessages(), ElementsAre("Backup started."));

    window->performRun();
    EXPECT_EQ(readFile(box.mirrorCopy(file)), "A");
    EXPECT_EQ(overall->value(), readLines(box.work / kQueueFile)[0].size() * 100 /
                                    (fs::file_size(box.work / kQueueFile) + 1));
    EXPECT_EQ(transfer->value(), 50);
    EXPECT_FALSE(window->runTimer().isActive());
    EXPECT_THAT(box.logMessages(),
                ElementsAre("Backup started.", ::testing::StartsWith("Backup summary: 1 file"),
                            "Backup completed."));
    EXPECT_EQ(finished, 1);
    // The record of the run, started by the program's clock.
    const auto outcome = parseBackupOutcome(readFile(backupOutcomeFile(box.data)));
    ASSERT_TRUE(outcome);
    EXPECT_EQ(outcome->started, stampOf("2024-01-05 09:30:00"));

    // The timer firing again never starts a second run.
    window->performRun();
    EXPECT_EQ(finished, 1);
    EXPECT_EQ(box.logMessages().size(), 3u);
}

TEST_F(KbmWindowTest, EnterDoesNothingAndCancelBeforeTheRunClosesWithoutOne) {
    const std::string file = box.source("w/a.txt", "A");
    writeFile(box.work / kIncludeListFile, file + "\t1\t1\r\n");
    writeSettings(box.config, "Folder=1\nPath=" + box.dest.string() + "\n");
    auto window = makeWindow();
    window->show();
    bool rejected = false;
    QObject::connect(window.get(), &QDialog::rejected, [&] { rejected = true; });
    window->accept();
    EXPECT_TRUE(window->isVisible());
    window->reject();
    EXPECT_TRUE(rejected);
    EXPECT_FALSE(window->isVisible());
    // The timer that was already due when the cancel came starts nothing.
    window->performRun();
    EXPECT_FALSE(window->runStarted());
    EXPECT_EQ(finished, 0);

    // A cancel that arrived but was not handled yet when the timer fires wins as well.
    auto second = makeWindow();
    int asked = 0;
    second->setPendingCancelHandler([&] {
        ++asked;
        second->reject();
    });
    second->performRun();
    EXPECT_EQ(asked, 1);
    EXPECT_FALSE(second->runStarted());
    EXPECT_EQ(finished, 0);
    EXPECT_FALSE(fs::exists(box.mirrorCopy(file)));
    EXPECT_FALSE(fs::exists(box.work / kQueueFile));
    EXPECT_THAT(box.logMessages(), ElementsAre("Backup started.", "Backup started."));
}

// The status line names the file being sent: a short path as it is, a long one without its
// middle so that its file name still shows inside the line; the bars carry no text.
TEST_F(KbmWindowTest, StatusLineKeepsALongPathsFileNameInSight) {
    auto window = makeWindow();
    window->runTimer().stop();
    window->show();
    auto* status = window->findChild<QLabel*>("1002");
    ASSERT_NE(status, nullptr);
    for (const char* name : {"1003", "1001"})
        EXPECT_FALSE(window->findChild<QProgressBar*>(name)->isTextVisible()) << name;

    window->setStatus("/srv/a.txt");
    EXPECT_EQ(status->text(), "/srv/a.txt");

    const std::string longPath = "/home/office/" + std::string(200, 'd') + "/invoice.pdf";
    window->setStatus(longPath);
    const QString shown = status->text();
    EXPECT_LE(status->fontMetrics().horizontalAdvance(shown), status->width());
    EXPECT_TRUE(shown.startsWith("/home/office/")) << shown.toStdString();
    EXPECT_TRUE(shown.endsWith("/invoice.pdf")) << shown.toStdString();
    EXPECT_EQ(status->toolTip().toStdString(), longPath);

    window->setStatus("");
    EXPECT_EQ(status->text(), "");
}

TEST_F(KbmWindowTest, TrayClickDelaysTheRunUntilItHasStarted) {
    auto window = makeWindow();
    window->showMinimized();
    window->onTrayActivated(QSystemTrayIcon::Context);
    EXPECT_EQ(window->runTimer().interval(), 500);
    window->onTrayActivated(QSystemTrayIcon::Trigger);
    EXPECT_FALSE(window->isMinimized());
    EXPECT_TRUE(window->runTimer().isActive());
    EXPECT_EQ(window->runTimer().interval(), 5000);
    window->performRun();
    window->onTrayActivated(QSystemTrayIcon::Trigger);
    EXPECT_FALSE(window->runTimer().isActive());
    EXPECT_EQ(finished, 1);
}

// No tray icon at start; a tray host that appears later gets one, and a cancel takes it away.
TEST_F(KbmWindowTest, TrayIconComesOnlyWithATrayHostAppearingAfterTheStart) {
    auto window = makeWindow();
    EXPECT_EQ(window->trayIcon(), nullptr);
    bool host = true;
    window->setTrayHostProbe([&] { return host; });
    window->watchTrayHost();
    ASSERT_NE(window->trayIcon(), nullptr);
    EXPECT_EQ(window->trayIcon()->toolTip(), "Orrin");
    window->reject();
    host = false;
    window->watchTrayHost();
    host = true;
    window->watchTrayHost();
    EXPECT_EQ(window->trayIcon(), nullptr);
}

} // namespace
} // namespace kestrun::test
