#include "kestrun/core/kestrun_dlg.h"
#include "platform/autostart.h"
#include "platform/clock.h"
#include "platform/process_table.h"
#include "platform/program_launcher.h"
#include "platform/settings_store.h"
#include "tests/support/qt_app.h"
#include "tests/support/test_support.h"

#include <QAction>
#include <QKeyEvent>
#include <QLineEdit>
#include <QSystemTrayIcon>
#include <QThread>
#include <QTimer>

#include <gtest/gtest.h>

#include <atomic>
#include <map>

using kestrun::CKestrunDlg;
using kestrun::KsnMessage;
using kestrun::LocalDateTime;
using kestrun::test::TempDir;

namespace {

// A main window on temporary folders, the test clock and its own settings file.
struct WindowRig {
    TempDir dir;
    kestrun::TestClock clock{LocalDateTime::fromFields(2024, 3, 4, 8, 0, 0)};
    kestrun::IniSettingsStore store{dir / "config/Tavisoft/Kestrun.conf"};
    kestrun::AutostartEntry autostart{dir / "xdg/autostart/kestrun.desktop"};
    kestrun::ProcProcessTable processes{clock};
    kestrun::DetachedProgramLauncher launcher;
    std::filesystem::path work = dir / "work";

    WindowRig() {
        kestrun::test::qtApp();
        std::filesystem::create_directories(work);
    }
    std::unique_ptr<CKestrunDlg> window(bool heartbeat = false) {
        return std::make_unique<CKestrunDlg>(
            kestrun::KestrunContext{clock, store, autostart, processes, launcher, work, heartbeat});
    }
};

void pressKey(QWidget& w, int key) {
    QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
    QApplication::sendEvent(&w, &press);
}

} // namespace

TEST(MainWindow, StartsVisibleWithEmptyStatusLinesAndWritesProgramStarted) {
    WindowRig rig;
    auto w = rig.window();
    w->initialize();
    w->show();
    EXPECT_TRUE(w->isVisible());
    EXPECT_TRUE(w->windowFlags().testFlag(Qt::WindowStaysOnTopHint));
    for (int id : {1002, 1003, 1004}) {
        auto* edit = w->findChild<QLineEdit*>(QString::number(id));
        ASSERT_NE(edit, nullptr) << id;
        EXPECT_TRUE(edit->isReadOnly());
        EXPECT_EQ(edit->alignment() & Qt::AlignHCenter, Qt::AlignHCenter);
        EXPECT_TRUE(w->statusLine(id).isEmpty());
    }
    EXPECT_EQ(kestrun::test::readLines(rig.work / "Kestrun.log"),
              std::vector<std::string>{"04.03.2024 08:00:00\tProgram started"});
    EXPECT_EQ(w->windowTitle(), "Kestrun");
    EXPECT_EQ(w->tray().icon()->toolTip(), "Kestrun");
}

TEST(MainWindow, EscAndTheTimerHideEnterAndCloseDoNotEndAnything) {
    WindowRig rig;
    auto w = rig.window();
    w->initialize();
    w->show();
    pressKey(*w, Qt::Key_Return);
    pressKey(*w, Qt::Key_Enter);
    EXPECT_TRUE(w->isVisible());
    EXPECT_EQ(w->result(), 0);
    pressKey(*w, Qt::Key_Escape);
    EXPECT_FALSE(w->isVisible());

    w->show();
    EXPECT_TRUE(w->hideTimer().isActive());
    EXPECT_EQ(w->hideTimer().interval(), CKestrunDlg::kHideAfterMs);
    w->onHideTimer();
    EXPECT_FALSE(w->isVisible());

    w->show();
    EXPECT_FALSE(w->close()); // closing only hides
    EXPECT_FALSE(w->isVisible());
}

TEST(MainWindow, MenuItemsFollowAutostartAndUpdateMode) {
    WindowRig rig;
    {
        auto w = rig.window();
        w->initialize();
        EXPECT_FALSE(w->menuItem(kestrun::kMenuAutostart)->isChecked());
        EXPECT_FALSE(w->menuItem(kestrun::kMenuServerUpdate)->isEnabled());
        EXPECT_EQ(w->menuItem(kestrun::kMenuStop)->text(), "S&top");
    }
    kestrun::test::writeFile(rig.store.file(), "[General]\nUmode=3\n");
    kestrun::IniSettingsStore store(rig.store.file());
    auto w = std::make_unique<CKestrunDlg>(kestrun::KestrunContext{
        rig.clock, store, rig.autostart, rig.processes, rig.launcher, rig.work, false});
    w->initialize();
    EXPECT_TRUE(w->menuItem(kestrun::kMenuServerUpdate)->isEnabled());
}

TEST(MainWindow, AutostartEntryInAnotherFolderMakesItTheWorkingFolder) {
    WindowRig rig;
    const auto installed = rig.dir / "installed";
    std::filesystem::create_directories(installed);
    ASSERT_TRUE(rig.autostart.write((installed / "kestrun").string()));
    auto w = rig.window();
    w->initialize();
    EXPECT_EQ(w->workingFolder(), installed);
    EXPECT_TRUE(w->menuItem(kestrun::kMenuAutostart)->isChecked());
    EXPECT_TRUE(std::filesystem::exists(installed / "Kestrun.log"));
    EXPECT_FALSE(std::filesystem::exists(rig.work / "Kestrun.log"));
}

TEST(MainWindow, UpdateClientModeRunsWithFastPoll) {
    WindowRig rig;
    kestrun::test::writeFile(rig.store.file(), "[General]\nUmode=2\nUpull=300\n");
    kestrun::IniSettingsStore store(rig.store.file());
    CKestrunDlg w(kestrun::KestrunContext{rig.clock, store, rig.autostart, rig.processes,
                                          rig.launcher, rig.work, false});
    w.initialize();
    EXPECT_EQ(w.settings().upull, 10u);
    EXPECT_EQ(w.settings().upost, 60u);
    EXPECT_FALSE(std::filesystem::exists(rig.work / "Drop"));
}

// The heartbeat thread delivers every message to its handler on the window thread, the
// synchronous ones while it waits and the notice through the queue.
TEST(MainWindow, HeartbeatDeliversEveryMessageOnTheWindowThread) {
    WindowRig rig;
    kestrun::test::writeFile(rig.store.file(), "[General]\nUmode=2\nPeriod=1\n");
    kestrun::IniSettingsStore store(rig.store.file());
    auto w = std::make_unique<CKestrunDlg>(kestrun::KestrunContext{
        rig.clock, store, rig.autostart, rig.processes, rig.launcher, rig.work, true});
    std::map<KsnMessage, int> handled;
    std::atomic<bool> offThread{false};
    for (KsnMessage m : {KsnMessage::ProgramCheck, KsnMessage::BackupLaunch, KsnMessage::LanUpdate,
                         KsnMessage::LanguageUpdate, KsnMessage::SelfUpdate, KsnMessage::KbmUpdate,
                         KsnMessage::UpdaterUpdate, KsnMessage::NewVersionNotice})
        w->setHandler(m, [&, m] {
            if (QThread::currentThread() != w->thread())
                offThread = true;
            ++handled[m];
        });
    w->initialize();
    // One virtual hour is 720 beats; the first backup is due at beat 722.
    ASSERT_TRUE(kestrun::test::processEventsUntil(
        [&] { return handled[KsnMessage::ProgramCheck] >= 800; }, 60000));
    w.reset();
    EXPECT_FALSE(offThread);
    EXPECT_GE(handled[KsnMessage::BackupLaunch], 1);
    EXPECT_GE(handled[KsnMessage::LanUpdate], 200);
    EXPECT_EQ(handled[KsnMessage::LanUpdate], handled[KsnMessage::LanguageUpdate]);
    EXPECT_GE(handled[KsnMessage::SelfUpdate], 3);
    EXPECT_EQ(handled[KsnMessage::SelfUpdate], handled[KsnMessage::KbmUpdate]);
    EXPECT_EQ(handled[KsnMessage::SelfUpdate], handled[KsnMessage::UpdaterUpdate]);
    EXPECT_GE(handled[KsnMessage::NewVersionNotice], 1);
}

TEST(MainWindow, StatusLinesSetFromTheHeartbeatReachTheWindow) {
    WindowRig rig;
    auto w = rig.window(true);
    int checks = 0;
    QString afterFirstBeat;
    // The second check runs after the first beat's status line has arrived.
    w->setHandler(KsnMessage::ProgramCheck, [&] {
        if (++checks == 2)
            afterFirstBeat = w->statusLine(1004);
    });
    w->initialize();
    ASSERT_TRUE(kestrun::test::processEventsUntil([&] { return checks >= 2; }));
    EXPECT_EQ(afterFirstBeat, "Next backup in 12:00.00");
}

TEST(MainWindow, LoadsItsListsAndRunsTheProgramCheckOnItsMessage) {
    WindowRig rig;
    kestrun::test::writeFile(rig.work / "progs.lst", "/nonexistent/kestrun-none?n\t0,0,0\r\n");
    kestrun::test::writeFile(rig.work / "backup.lst", "/data\t1\t0\r\n");
    kestrun::test::writeFile(rig.work / "xbackup.lst", "/data/cache\r\n");
    auto w = rig.window();
    w->initialize();
    ASSERT_EQ(w->programs().size(), 1u);
    ASSERT_EQ(w->backupIncludes().size(), 1u);
    EXPECT_EQ(w->backupIncludes()[0].path, "/data");
    ASSERT_EQ(w->backupExcludes().size(), 1u);
    EXPECT_EQ(w->backupExcludes()[0].path, "/data/cache");

    w->handleMessage(KsnMessage::ProgramCheck);
    EXPECT_EQ(
        kestrun::test::readLines(rig.work / "Kestrun.log"),
        (std::vector<std::string>{
            "04.03.2024 08:00:00\tProgram started",
            "04.03.2024 08:00:00\tImage not found as running proccess: /nonexistent/kestrun-none",
            "04.03.2024 08:00:00\tImage NOT started: /nonexistent/kestrun-none"}));
}

TEST(MainWindow, BackupLaunchLogsAndStartsKbmInTheWorkingFolder) {
    WindowRig rig;
    // A stand-in backup program that notes where it ran.
    kestrun::test::writeFile(rig.work / "kbm", "#!/bin/sh\npwd > started-in.txt\n");
    std::filesystem::permissions(rig.work / "kbm", std::filesystem::perms::owner_all);
    auto w = rig.window();
    w->initialize();
    w->handleMessage(KsnMessage::BackupLaunch);
    const auto lines = kestrun::test::readLines(rig.work / "Kestrun.log");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1], "04.03.2024 08:00:00\tBackup started: ");
    const auto marker = rig.work / "started-in.txt";
    ASSERT_TRUE(kestrun::test::processEventsUntil([&] {
        return std::filesystem::exists(marker) && !kestrun::test::readFile(marker).empty();
    }));
    EXPECT_EQ(kestrun::test::readFile(marker), rig.work.string() + "\n");
}

TEST(MainWindow, VanishedWorkingFolderDropsLogLinesWithoutHarm) {
    WindowRig rig;
    std::filesystem::remove_all(rig.work);
    auto w = rig.window();
    w->initialize();
    w->handleMessage(KsnMessage::ProgramCheck);
    w->handleMessage(KsnMessage::BackupLaunch);
    EXPECT_FALSE(std::filesystem::exists(rig.work));
    EXPECT_TRUE(w->programs().empty());
}
