#include "kestrun/core/backup_status.h"
#include "kestrun/core/kestrun_dlg.h"
#include "kestrun/ui/commands.h"
#include "kestrun/ui/main_window.h"
#include "kestrun/ui/tray_menu.h"
#include "platform/autostart.h"
#include "platform/clock.h"
#include "platform/process_table.h"
#include "platform/program_launcher.h"
#include "platform/settings_store.h"
#include "tests/support/qt_app.h"
#include "tests/support/test_support.h"

#include <QAction>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QTest>
#include <QThread>
#include <QTimer>

#include <gtest/gtest.h>

#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <map>

using kestrun::CKestrunDlg;
using kestrun::KsnMessage;
using kestrun::LocalDateTime;
using kestrun::test::TempDir;

namespace {

// Writes the settings file before the store reads it; no lines, no file.
std::filesystem::path settingsFile(const TempDir& dir, const std::string& lines) {
    const auto file = dir / "config/Tavisoft/Kestrun.conf";
    if (!lines.empty())
        kestrun::test::writeFile(file, "[General]\n" + lines);
    return file;
}

// A main window on temporary folders, the test clock and its own settings file; the backup
// record is looked for in the rig's own data folder, never in the user's.
struct WindowRig {
    TempDir dir;
    kestrun::test::ScopedEnv appdata{"APPDATA", (dir / "appdata").string()};
    kestrun::TestClock clock{LocalDateTime::fromFields(2024, 3, 4, 8, 0, 0)};
    kestrun::IniSettingsStore store;
    kestrun::AutostartEntry autostart{dir / "xdg/autostart/kestrun.desktop"};
    kestrun::ProcProcessTable processes{clock};
    kestrun::DetachedProgramLauncher launcher;
    std::filesystem::path work = dir / "work";

    explicit WindowRig(const std::string& settings = {}) : store(settingsFile(dir, settings)) {
        kestrun::test::qtApp();
        std::filesystem::create_directories(work);
    }
    std::unique_ptr<CKestrunDlg> window(bool heartbeat = false,
                                        std::function<bool()> trayPresent = nullptr) {
        return std::make_unique<CKestrunDlg>(
            kestrun::KestrunContext{clock, store, autostart, processes, launcher, work, heartbeat,
                                    nullptr, nullptr, std::move(trayPresent)});
    }
};

QString hintLine(QWidget& w) {
    for (const QLabel* label : w.findChildren<QLabel*>())
        if (label->objectName() != "1005")
            return label->text();
    return {};
}

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
    // Each status line written reaches its own edit.
    for (int id : {1002, 1003, 1004})
        w->setStatusLine(id, "line " + std::to_string(id));
    for (int id : {1002, 1003, 1004})
        EXPECT_EQ(w->findChild<QLineEdit*>(QString::number(id))->text(),
                  QString("line %1").arg(id));
    EXPECT_EQ(kestrun::test::readLines(rig.work / "Kestrun.log"),
              std::vector<std::string>{"04.03.2024 08:00:00\tProgram started"});
    EXPECT_EQ(w->windowTitle(), "Kestrun");
    EXPECT_EQ(w->tray().icon()->toolTip(), "Kestrun\nNo backup has run yet");
    // Shown although offscreen has no tray host: Qt attaches it when a panel appears.
    EXPECT_FALSE(QSystemTrayIcon::isSystemTrayAvailable());
    EXPECT_TRUE(w->tray().visible());
}

TEST(MainWindow, EscAndTheTimerHideEnterAndCloseDoNotEndAnything) {
    WindowRig rig;
    bool tray = true;
    auto w = rig.window(false, [&] { return tray; });
    w->initialize();
    w->show();
    pressKey(*w, Qt::Key_Return);
    pressKey(*w, Qt::Key_Enter);
    EXPECT_TRUE(w->isVisible());
    EXPECT_EQ(w->result(), 0);
    pressKey(*w, Qt::Key_Escape);
    EXPECT_FALSE(w->isVisible());
    EXPECT_FALSE(w->hideTimer().isActive()); // Esc cancels the pending hide

    w->commands().open();
    EXPECT_TRUE(w->hideTimer().isActive());
    EXPECT_EQ(w->hideTimer().interval(), CKestrunDlg::kHideAfterMs);
    EXPECT_EQ(hintLine(*w), "Kestrun works in the background; find it in the tray.");
    w->onHideTimer();
    EXPECT_FALSE(w->isVisible());

    // Without a tray host nothing would bring the window back: the timer leaves it shown, and
    // the line below the frame says how to reach it instead.
    tray = false;
    w->commands().open();
    EXPECT_EQ(hintLine(*w), "Kestrun works in the background; start Kestrun again to see it.");
    w->onHideTimer();
    EXPECT_TRUE(w->isVisible());

    EXPECT_FALSE(w->close()); // closing only hides
    EXPECT_FALSE(w->isVisible());

    // Alt+K opens the window's menu; after Esc has closed it, Esc still reaches the window.
    w->commands().open();
    w->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(w.get()));
    QTest::keyClick(w.get(), Qt::Key_K, Qt::AltModifier);
    auto* menu = qobject_cast<QMenu*>(w->menuItem(kestrun::kMenuPrograms)->parent());
    ASSERT_TRUE(kestrun::test::processEventsUntil([&] { return menu->isVisible(); }));
    // The hide waits while the menu is open, so a choice in it is not lost.
    tray = true;
    w->onHideTimer();
    EXPECT_TRUE(w->isVisible());
    EXPECT_EQ(w->hideTimer().interval(), kestrun::WindowCommands::kPostponedHideMs);
    QTest::keyClick(menu, Qt::Key_Escape);
    ASSERT_TRUE(kestrun::test::processEventsUntil([&] { return !menu->isVisible(); }));
    // The first Esc leaves the menu bar, which hands the focus back to the window.
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape);
    EXPECT_EQ(QApplication::focusWidget(), w.get());
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape);
    EXPECT_FALSE(w->isVisible());
}

TEST(MainWindow, MenuItemsFollowTheUpdateModeAndAClientStartsWithAFastPoll) {
    struct Case {
        const char* settings;
        bool updateRoutine;
        std::uint32_t upull;
        std::uint32_t upost;
    };
    for (const Case& c : {Case{"", false, 60, 60}, Case{"Umode=1\nUpull=300\n", true, 300, 60},
                          Case{"Umode=2\nUpull=300\nUpost=90\n", false, 10, 60},
                          Case{"Umode=3\nUpost=90\n", true, 60, 90}}) {
        WindowRig rig(c.settings);
        auto w = rig.window();
        w->initialize();
        EXPECT_EQ(w->menuItem(kestrun::kMenuServerUpdate)->isEnabled(), c.updateRoutine)
            << c.settings;
        EXPECT_EQ(w->settings().upull, c.upull) << c.settings;
        EXPECT_EQ(w->settings().upost, c.upost) << c.settings;
        EXPECT_FALSE(w->menuItem(kestrun::kMenuAutostart)->isChecked());
        EXPECT_EQ(w->menuItem(kestrun::kMenuStop)->text(), "S&top");
    }
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

// The heartbeat thread delivers every message to its handler on the window thread, the
// synchronous ones while it waits (each beat's program check has run before the beat sleeps) and
// the notice through the queue.
TEST(MainWindow, HeartbeatDeliversEveryMessageOnTheWindowThread) {
    WindowRig rig("Umode=2\nPeriod=1\n");
    auto w = rig.window(true);
    std::map<KsnMessage, int> handled;
    std::atomic<bool> offThread{false};
    std::atomic<int> checks{0};
    std::atomic<int> beatSleeps{0};
    std::atomic<int> checksMissingAtSleep{0};
    for (KsnMessage m : {KsnMessage::ProgramCheck, KsnMessage::BackupLaunch, KsnMessage::LanUpdate,
                         KsnMessage::LanguageUpdate, KsnMessage::SelfUpdate, KsnMessage::KbmUpdate,
                         KsnMessage::UpdaterUpdate, KsnMessage::NewVersionNotice})
        w->setHandler(m, [&, m] {
            if (QThread::currentThread() != w->thread())
                offThread = true;
            ++handled[m];
            if (m == KsnMessage::ProgramCheck)
                ++checks;
        });
    // Runs on the heartbeat thread after each of its sleeps.
    rig.clock.setSleepHook([&](std::chrono::milliseconds slept) {
        if (slept.count() == kestrun::Heartbeat::kBeatMs && checks.load() != ++beatSleeps)
            ++checksMissingAtSleep;
    });
    w->initialize();
    // One virtual hour is 720 beats; the first backup is due at beat 722.
    ASSERT_TRUE(kestrun::test::processEventsUntil(
        [&] { return handled[KsnMessage::ProgramCheck] >= 800; }, 60000));
    // Counted before the window goes: a send stopped by the shutdown returns unhandled, and
    // the shutdown may fall between two sends of one beat.
    const int missing = checksMissingAtSleep;
    const auto count = [&](KsnMessage m) { return handled[m]; };
    const int lan = count(KsnMessage::LanUpdate);
    const int self = count(KsnMessage::SelfUpdate);
    const auto followsWithin = [](int later, int earlier) {
        return later == earlier || later == earlier - 1;
    };
    EXPECT_TRUE(followsWithin(count(KsnMessage::LanguageUpdate), lan));
    EXPECT_TRUE(followsWithin(count(KsnMessage::KbmUpdate), self));
    EXPECT_TRUE(followsWithin(count(KsnMessage::UpdaterUpdate), count(KsnMessage::KbmUpdate)));
    w.reset();
    rig.clock.setSleepHook({});
    EXPECT_FALSE(offThread);
    EXPECT_EQ(missing, 0);
    EXPECT_GE(handled[KsnMessage::BackupLaunch], 1);
    EXPECT_GE(lan, 200);
    EXPECT_GE(self, 3);
    EXPECT_GE(handled[KsnMessage::NewVersionNotice], 1);
}

TEST(MainWindow, StatusLinesSetFromTheHeartbeatReachTheWindow) {
    // A stored period above 2147483647 disables backups.
    for (const auto& [stored, line] :
         {std::pair<std::string, QString>{"", "Next backup in 12:00.00"},
          std::pair<std::string, QString>{"Period=3000000000\n", "Backup disabled"}}) {
        WindowRig rig(stored);
        auto w = rig.window(true);
        int checks = 0;
        int launches = 0;
        QString afterFirstBeat;
        // The second check runs after the first beat's status line has arrived.
        w->setHandler(KsnMessage::ProgramCheck, [&] {
            if (++checks == 2)
                afterFirstBeat = w->statusLine(1004);
        });
        w->setHandler(KsnMessage::BackupLaunch, [&] { ++launches; });
        w->initialize();
        ASSERT_TRUE(kestrun::test::processEventsUntil([&] { return checks >= 2; }));
        w.reset();
        EXPECT_EQ(afterFirstBeat, line);
        EXPECT_EQ(launches, 0);
    }
}

// The tray icon's activation reaches the window with its reason; only a left click opens the
// tray menu.
TEST(MainWindow, TrayLeftClickOpensTheTrayMenuOtherEventsNothing) {
    WindowRig rig;
    auto w = rig.window();
    w->initialize();
    QSystemTrayIcon* icon = w->tray().icon();
    emit icon->activated(QSystemTrayIcon::Trigger); // no menu installed yet: nothing happens
    int opened = 0;
    w->setTrayMenu([&] { ++opened; });
    for (const auto reason : {QSystemTrayIcon::Context, QSystemTrayIcon::DoubleClick,
                              QSystemTrayIcon::MiddleClick, QSystemTrayIcon::Unknown})
        emit icon->activated(reason);
    EXPECT_EQ(opened, 0);
    emit icon->activated(QSystemTrayIcon::Trigger);
    EXPECT_EQ(opened, 1);
}

TEST(Tray, BalloonKindOneIsInformationEveryOtherKindAWarning) {
    for (const int kind : {1, 0, 2, -1}) {
        const auto balloon = kestrun::TrayNotifier::balloon(kind);
        const bool info = kind == 1;
        EXPECT_EQ(balloon.title, info ? "KSN INFORMATION!" : "KSN WARNING!") << kind;
        EXPECT_EQ(balloon.icon, info ? QSystemTrayIcon::Information : QSystemTrayIcon::Warning)
            << kind;
        // An empty text shows nothing at all, which takes the last balloon away.
        const auto shown = kestrun::TrayNotifier::balloon(kind, "5 s");
        EXPECT_EQ(shown.title, balloon.title) << kind;
        EXPECT_EQ(shown.text, "5 s") << kind;
        const auto removal = kestrun::TrayNotifier::balloon(kind, QString());
        EXPECT_TRUE(removal.title.isEmpty() && removal.text.isEmpty()) << kind;
        EXPECT_EQ(removal.icon, QSystemTrayIcon::NoIcon) << kind;
    }
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
            "04.03.2024 08:00:00\tImage NOT started: /nonexistent/kestrun-none",
            "04.03.2024 08:00:00\tStart failed (working folder not found: /nonexistent): "
            "/nonexistent/kestrun-none"}));
}

// Lists that others may change are not acted on: anyone may write the folder, or (for root)
// its group may. Said once; acted on again once the folder is the user's alone.
TEST(MainWindow, ListsOthersMayChangeAreNotRun) {
    namespace fs = std::filesystem;
    WindowRig rig;
    kestrun::test::writeFile(rig.work / "progs.lst", "/nonexistent/kestrun-none?n\t0,0,0\r\n");
    auto w = rig.window();
    w->initialize();
    const std::string refused =
        "04.03.2024 08:00:00\tPrograms and backups are not run: others may change the working "
        "folder " +
        rig.work.string();
    std::vector<fs::perms> shared = {fs::perms(0777), fs::perms(01777)};
    if (::geteuid() == 0)
        shared.push_back(fs::perms(02770)); // root shares a folder with no group
    for (const fs::perms& mode : shared) {
        SCOPED_TRACE(static_cast<int>(mode));
        fs::remove(rig.work / "Kestrun.log");
        fs::permissions(rig.work, mode);
        w->handleMessage(KsnMessage::ProgramCheck);
        w->handleMessage(KsnMessage::BackupLaunch);
        w->handleMessage(KsnMessage::ProgramCheck);
        EXPECT_EQ(kestrun::test::readLines(rig.work / "Kestrun.log"),
                  std::vector<std::string>{refused});
        fs::permissions(rig.work, fs::perms(0700));
        w->handleMessage(KsnMessage::ProgramCheck);
        const auto lines = kestrun::test::readLines(rig.work / "Kestrun.log");
        // The cause of the failed start follows its first time only; the third failed start
        // in a row is summarised.
        const std::size_t round = static_cast<std::size_t>(&mode - shared.data());
        const char* fourth[] = {"\tStart failed (", nullptr, "\tImage keeps ending: "};
        ASSERT_EQ(lines.size(), fourth[round] ? 4u : 3u);
        if (fourth[round]) {
            EXPECT_NE(lines[3].find(fourth[round]), std::string::npos);
        }
        EXPECT_EQ(lines[1], "04.03.2024 08:00:00\tImage not found as running proccess: "
                            "/nonexistent/kestrun-none");
    }
}

// A file of the working folder that others may change, by its mode or through an access list,
// is not used: said once, and used again once only the user may change it. The lists and the
// backup program are not run; the keys and certificates are passed over by their readers.
TEST(MainWindow, FilesOthersMayChangeAreNotUsed) {
    namespace fs = std::filesystem;
    struct Case {
        const char* file;
        bool throughAcl;
        KsnMessage message;
        const char* refused;
        const char* workDone; // the line of the work once the file is the user's alone
    };
    const Case cases[] = {
        {"progs.lst", false, KsnMessage::ProgramCheck, "Programs are not run", "Image not found"},
        {"backup.lst", false, KsnMessage::BackupLaunch, "Backups are not run", "Backup started: "},
        {"xbackup.lst", true, KsnMessage::BackupLaunch, "Backups are not run", "Backup started: "},
        {"kbm", false, KsnMessage::BackupLaunch, "Backups are not run", "Backup started: "},
        {"kestrun-release.pem", true, KsnMessage::NewVersionNotice, "Release keys are not used",
         nullptr},
        {"ca.pem", false, KsnMessage::NewVersionNotice, "Certificates are not used", nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        WindowRig rig("Uhttp=http://127.0.0.1:9\n"); // a notice's check fails at once
        kestrun::test::writeFile(rig.work / "progs.lst", "/nonexistent/kestrun-none?n\t0,0,0\r\n");
        kestrun::test::writeFile(rig.work / "kbm", "#!/bin/sh\n");
        fs::permissions(rig.work / "kbm", fs::perms(0700));
        const fs::path file = rig.work / c.file;
        if (!fs::exists(file))
            kestrun::test::writeFile(file, "");
        if (c.throughAcl) {
            ASSERT_TRUE(kestrun::test::grantAccess(file, false, 65534, 6));
        } else {
            fs::permissions(file, fs::perms(0777));
        }
        auto w = rig.window();
        w->initialize();
        const auto count = [&](const std::string& text) {
            const auto lines = kestrun::test::readLines(rig.work / "Kestrun.log");
            return std::count_if(lines.begin(), lines.end(), [&](const std::string& line) {
                return line.find(text) != std::string::npos;
            });
        };
        const std::string refusal = std::string(c.refused) + ": others may change " + file.string();
        w->handleMessage(c.message);
        w->handleMessage(c.message);
        EXPECT_EQ(count(refusal), 1);
        if (c.workDone) {
            EXPECT_EQ(count(c.workDone), 0);
            ::removexattr(file.c_str(), "system.posix_acl_access");
            fs::permissions(file, fs::perms(0700));
            w->handleMessage(c.message);
            EXPECT_EQ(count(refusal), 1);
            EXPECT_EQ(count(c.workDone), 1);
        }
    }
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

// "Back up now" starts the backup program as the schedule does, but not while the one started
// last still runs; the record the run leaves shows in the tooltip and the window's line.
TEST(MainWindow, BackUpNowAndTheOutcomeTheRunLeaves) {
    WindowRig rig;
    // A stand-in backup program that waits for "go", then leaves the record of a failed run.
    kestrun::test::writeFile(
        rig.work / "kbm",
        "#!/bin/sh\nwhile [ ! -e go ]; do sleep 0.02; done\nmkdir -p \"$APPDATA/KBM\"\n"
        "printf 'Started=20240304-080000\\nResult=failed\\nReason=destination /media/usb not "
        "available\\n' > \"$APPDATA/KBM/last-run.txt\"\n");
    std::filesystem::permissions(rig.work / "kbm", std::filesystem::perms::owner_all);
    auto w = rig.window();
    w->initialize();
    auto* line = w->findChild<QLabel*>("1005");
    ASSERT_NE(line, nullptr);
    EXPECT_EQ(line->text(), "No backup has run yet");
    EXPECT_EQ(w->tray().icon()->toolTip(), "Kestrun\nNo backup has run yet");

    ASSERT_TRUE(w->commands().run(kestrun::kMenuBackUpNow));
    EXPECT_TRUE(w->trayMenu().item(kestrun::kTrayBackUpNow));
    w->trayMenu().item(kestrun::kTrayBackUpNow)->trigger(); // the first still runs
    const std::vector<std::string> log = {"04.03.2024 08:00:00\tProgram started",
                                          "04.03.2024 08:00:00\tBack up now",
                                          "04.03.2024 08:00:00\tBackup started: ",
                                          "04.03.2024 08:00:00\tBack up now: a backup is "
                                          "running already"};
    EXPECT_EQ(kestrun::test::readLines(rig.work / "Kestrun.log"), log);

    kestrun::test::writeFile(rig.work / "go", "");
    const QString failed = "Last backup failed: destination /media/usb not available";
    ASSERT_TRUE(kestrun::test::processEventsUntil([&] {
        w->followBackups();
        return line->text() == failed;
    }));
    EXPECT_EQ(w->tray().icon()->toolTip(), "Kestrun\n" + failed);
    // The launch is remembered for the next start.
    kestrun::IniSettingsStore again(rig.store.file());
    EXPECT_EQ(again.readText("Lastbackup"), "20240304-080000");
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
