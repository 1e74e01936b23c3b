#include "kestrun/core/heartbeat.h"
#include "kestrun/core/kestrun_dlg.h"
#include "kestrun/ui/commands.h"
#include "kestrun/ui/list_dialogs.h"
#include "kestrun/ui/settings_dlg.h"
#include "kestrun/ui/tray_menu.h"
#include "platform/autostart.h"
#include "platform/clock.h"
#include "platform/process_table.h"
#include "platform/program_launcher.h"
#include "platform/settings_store.h"
#include "tests/kestrun/ui/fake_asker.h"
#include "tests/support/qt_app.h"
#include "tests/support/test_support.h"

#include <QAction>
#include <QApplication>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

using kestrun::CKestrunDlg;
using kestrun::KsnMessage;
using kestrun::LocalDateTime;
using kestrun::test::TempDir;

namespace {

// Adds one entry to each list, as a user would before closing the dialog.
struct FakeListDialogs final : kestrun::ListDialogs {
    int opened = 0;
    void editPrograms(QWidget*, kestrun::ProgramList& programs) override {
        ++opened;
        kestrun::ProgramEntry entry;
        entry.text = "/opt/tools/run?n";
        programs.push_back(entry);
    }
    void editBackupLists(QWidget*, std::vector<kestrun::BackupEntry>& include,
                         std::vector<kestrun::BackupEntry>& exclude) override {
        ++opened;
        include.push_back({"/data", 1, 0});
        exclude.push_back({"/data/cache", 0, 0});
    }
};

// The main window on temporary folders with a test clock, fake questions and list dialogs.
struct WindowRig {
    TempDir dir;
    // Where the backup program leaves its last run's outcome: the rig's own, not the user's.
    kestrun::test::ScopedEnv appdata{"APPDATA", (dir / "appdata").string()};
    kestrun::TestClock clock{LocalDateTime::fromFields(2024, 3, 4, 8, 0, 0)};
    std::filesystem::path settingsFile = dir / "config/Tavisoft/Kestrun.conf";
    std::optional<kestrun::IniSettingsStore> store;
    kestrun::AutostartEntry autostart{dir / "xdg/autostart/kestrun.desktop"};
    kestrun::ProcProcessTable processes{clock};
    kestrun::DetachedProgramLauncher launcher;
    kestrun::test::FakeAsker asker;
    FakeListDialogs lists;
    std::filesystem::path work = dir / "work";
    std::vector<int> exits;
    std::unique_ptr<CKestrunDlg> window;

    explicit WindowRig(bool heartbeat = false, const std::string& settings = {}) {
        std::filesystem::create_directories(work);
        if (!settings.empty())
            kestrun::test::writeFile(settingsFile, "[General]\n" + settings);
        store.emplace(settingsFile);
        window = std::make_unique<CKestrunDlg>(kestrun::KestrunContext{
            clock, *store, autostart, processes, launcher, work, heartbeat, &asker, &lists});
        window->initialize();
        window->commands().setExit([this](int status) { exits.push_back(status); });
    }
    QString menuText(int id) const { return window->menuItem(id)->text(); }
};

// Runs the function on the settings window once its modal loop runs.
void whenSettingsOpen(const std::function<void(kestrun::CSettingsDlg&)>& fn) {
    QTimer::singleShot(0, [fn] {
        auto* dialog = qobject_cast<kestrun::CSettingsDlg*>(QApplication::activeModalWidget());
        ASSERT_NE(dialog, nullptr);
        fn(*dialog);
    });
}

void typeInto(kestrun::CSettingsDlg& dialog, int id, const QString& text) {
    auto* edit = qobject_cast<QLineEdit*>(dialog.control(id));
    edit->clear();
    QTest::keyClicks(edit, text);
}

void clickButton(kestrun::CSettingsDlg& dialog, int id) {
    QTest::mouseClick(static_cast<QPushButton*>(dialog.control(id)), Qt::LeftButton);
}

QStringList trayTexts(kestrun::TrayMenu& tray) {
    QStringList texts;
    for (QAction* action : tray.menu()->actions())
        texts << (action->isSeparator() ? QStringLiteral("-") : action->text());
    return texts;
}

// Opens the tray menu the way a left-button release on the icon does and reads its items.
QStringList openTrayMenu(CKestrunDlg& window) {
    emit window.tray().icon()->activated(QSystemTrayIcon::Trigger);
    QMenu* menu = window.trayMenu().menu();
    EXPECT_TRUE(menu->isVisible());
    const QStringList texts = trayTexts(window.trayMenu());
    menu->hide();
    return texts;
}

} // namespace

// Stop pauses supervision for Delay minutes; the tray menu shows "Resume" until the heartbeat
// has counted the pause down, then "Stop" again. Resume ends a pause at once and clears the
// pause line.
TEST(WindowCommands, StopAndResumeFromBothMenus) {
    WindowRig rig;
    CKestrunDlg& w = *rig.window;
    EXPECT_EQ(w.tray().icon()->contextMenu(), w.trayMenu().menu());
    const QStringList running{"Open Kestrun", "-",        "Programs", "Backup",
                              "Back up now",  "Settings", "-",        "Stop"};
    EXPECT_EQ(openTrayMenu(w), running);

    w.menuItem(kestrun::kMenuStop)->trigger();
    EXPECT_EQ(w.pauseCounter().value(), 300);
    EXPECT_EQ(rig.menuText(kestrun::kMenuStop), "Resume");
    QStringList paused = running;
    paused.back() = "Resume";
    EXPECT_EQ(openTrayMenu(w), paused);

    kestrun::Heartbeat heartbeat(rig.clock, w.settings(), w.pauseCounter(), w);
    heartbeat.begin();
    for (int beat = 0; beat < 59; ++beat)
        heartbeat.beat();
    EXPECT_EQ(w.statusLine(1002), "Resuming in 5 seconds");
    EXPECT_EQ(openTrayMenu(w), paused);
    heartbeat.beat();
    EXPECT_EQ(w.pauseCounter().value(), 0);
    EXPECT_EQ(rig.menuText(kestrun::kMenuStop), "Stop");
    EXPECT_EQ(openTrayMenu(w), running);

    // Stop, and Resume from the tray before the pause is over.
    w.trayMenu().item(kestrun::kTrayStop)->trigger();
    heartbeat.beat();
    EXPECT_EQ(w.statusLine(1002), "Resuming in 295 seconds");
    w.trayMenu().item(kestrun::kTrayStop)->trigger();
    EXPECT_EQ(w.pauseCounter().value(), 0);
    EXPECT_EQ(w.statusLine(1002), "");
    EXPECT_EQ(rig.menuText(kestrun::kMenuStop), "Stop");

    // A Stop between the pause's end and the heartbeat's late "Stop" keeps its "Resume".
    w.menuItem(kestrun::kMenuStop)->trigger();
    w.setPauseItemText("Stop");
    QCoreApplication::processEvents();
    EXPECT_EQ(rig.menuText(kestrun::kMenuStop), "Resume");
    w.menuItem(kestrun::kMenuStop)->trigger();
    EXPECT_EQ(rig.menuText(kestrun::kMenuStop), "Stop");
}

// The window menu: its items by id and text, in order, with the separators between groups
// (none before the first item, as nothing precedes it).
TEST(WindowCommands, WindowMenuItemsAndSeparators) {
    WindowRig rig;
    struct Item {
        int id; // 0: a separator
        const char* text;
    };
    const Item expected[] = {
        {17, "&Programs"},
        {20, "&Backup"},
        {23, "Back up &now"},
        {18, "Auto&start"},
        {0, nullptr},
        {19, "S&top"},
        {22, "Start Zelmo update routine"},
        {0, nullptr},
        {21, "S&ettings ..."},
        {0, nullptr},
        {16, "&About Kestrun..."},
    };
    auto* menu = qobject_cast<QMenu*>(rig.window->menuItem(17)->parent());
    ASSERT_NE(menu, nullptr);
    const QList<QAction*> actions = menu->actions();
    ASSERT_EQ(actions.size(), static_cast<qsizetype>(std::size(expected)));
    for (qsizetype i = 0; i < actions.size(); ++i) {
        const Item& want = expected[i];
        QAction* got = actions[i];
        if (want.id == 0) {
            EXPECT_TRUE(got->isSeparator()) << i;
            continue;
        }
        EXPECT_FALSE(got->isSeparator()) << i;
        EXPECT_EQ(got->data().toInt(), want.id) << i;
        EXPECT_EQ(got->text(), QString::fromUtf8(want.text)) << i;
        EXPECT_EQ(rig.window->menuItem(want.id), got) << i;
    }
}

// OK saves all 20 values; only a new update mode or port asks to restart, and Yes ends the
// process with status 1. Cancel saves nothing.
TEST(WindowCommands, SettingsCommandSavesEverythingAndAsksToRestart) {
    struct Case {
        int field;
        QString text;
        bool answerYes;
        bool asked;
    };
    for (const Case& c : {Case{kestrun::settings_ids::kDelay, "9", true, false},
                          Case{kestrun::settings_ids::kUport, "10202", false, true},
                          Case{kestrun::settings_ids::kUport, "10202", true, true}}) {
        WindowRig rig(false, "Umode=3\nUport=0\n"); // the update server listens on a free port
        rig.window->settings().uport = 10201;
        rig.asker.answerYes = c.answerYes;
        whenSettingsOpen([&](kestrun::CSettingsDlg& d) {
            typeInto(d, c.field, c.text);
            typeInto(d, kestrun::settings_ids::kUhttp, "http://mirror/Zelmov5/");
            clickButton(d, 1);
        });
        rig.window->menuItem(kestrun::kMenuSettings)->trigger();
        EXPECT_EQ(rig.asker.questions.size(), c.asked ? 1 : 0) << c.field;
        if (c.asked) {
            EXPECT_EQ(rig.asker.questions.front(), kestrun::WindowCommands::kRestartQuestion);
        }
        EXPECT_EQ(rig.exits, c.asked && c.answerYes ? std::vector<int>{1} : std::vector<int>{});

        kestrun::IniSettingsStore saved(rig.settingsFile);
        const kestrun::Settings& s = rig.window->settings();
        const std::vector<std::pair<const char*, std::string>> texts{
            {"Host", s.host},   {"User", s.user},    {"Password", ""},
            {"Path", s.path},   {"Uhost", s.uhost},  {"Uhttp", "http://mirror/Zelmov5"},
            {"Ufile", s.ufile}, {"Ufile2", s.ufile2}};
        for (const auto& [name, value] : texts)
            EXPECT_EQ(saved.readText(name), value) << name;
        const std::vector<std::pair<const char*, std::int64_t>> numbers{
            {"Folder", 1},
            {"Delay", c.field == kestrun::settings_ids::kDelay ? 9 : 5},
            {"Period", 12},
            {"Port", 21},
            {"Passive", 0},
            {"Umode", 3},
            {"Uport", c.field == kestrun::settings_ids::kUport ? 10202 : 10201},
            {"Upull", 60},
            {"Upost", 60},
            {"Promt", 1},
            {"Autodelete", 0},
            {"Update", 1}};
        for (const auto& [name, value] : numbers)
            EXPECT_EQ(saved.readNumber(name), static_cast<std::uint32_t>(value)) << name;
    }

    WindowRig rig;
    whenSettingsOpen([](kestrun::CSettingsDlg& d) {
        typeInto(d, kestrun::settings_ids::kDelay, "9");
        clickButton(d, 2);
    });
    rig.window->trayMenu().item(kestrun::kTraySettings)->trigger();
    EXPECT_FALSE(std::filesystem::exists(rig.settingsFile));
    EXPECT_EQ(rig.window->settings().delay, 5);
}

// The heartbeat's program checks go on while a modal dialog is open.
TEST(WindowCommands, ProgramChecksRunWhileTheSettingsDialogIsOpen) {
    WindowRig rig(true);
    int checksWhileOpen = 0;
    rig.window->setHandler(KsnMessage::ProgramCheck, [&] {
        auto* dialog = qobject_cast<kestrun::CSettingsDlg*>(QApplication::activeModalWidget());
        if (dialog && ++checksWhileOpen == 3)
            dialog->reject();
    });
    // Closes the dialog should the checks not arrive, so the test fails instead of hanging.
    QTimer::singleShot(10000, [] {
        if (auto* dialog = QApplication::activeModalWidget())
            static_cast<QDialog*>(dialog)->reject();
    });
    rig.window->commands().run(kestrun::kTraySettings);
    EXPECT_GE(checksWhileOpen, 3);
}

// The list commands write their files whatever the dialog did, from either menu.
TEST(WindowCommands, ListCommandsWriteTheirFiles) {
    struct Case {
        int id;
        std::vector<const char*> files;
    };
    for (const Case& c :
         {Case{kestrun::kMenuPrograms, {"progs.lst"}}, Case{kestrun::kTrayPrograms, {"progs.lst"}},
          Case{kestrun::kMenuBackup, {"backup.lst", "xbackup.lst"}},
          Case{kestrun::kTrayBackup, {"backup.lst", "xbackup.lst"}}}) {
        WindowRig rig;
        if (c.id < 100)
            rig.window->menuItem(c.id)->trigger();
        else
            rig.window->trayMenu().item(c.id)->trigger();
        EXPECT_EQ(rig.lists.opened, 1) << c.id;
        for (const char* file : c.files)
            EXPECT_FALSE(kestrun::test::readFile(rig.work / file).empty()) << c.id << file;
    }
    WindowRig rig;
    rig.window->commands().run(kestrun::kMenuBackup);
    EXPECT_EQ(kestrun::test::readFile(rig.work / "backup.lst"), "/data\t1\t0\r\n");
    EXPECT_EQ(kestrun::test::readFile(rig.work / "xbackup.lst"), "/data/cache\r\n");
}

// The check mark follows every toggle, also when the entry cannot be written.
TEST(WindowCommands, AutostartToggleWritesAndRemovesTheEntry) {
#ifdef _WIN32
    GTEST_SKIP() << "the rig's entry is a desktop file; the Run value has its own tests";
#endif
    WindowRig rig;
    QAction* item = rig.window->menuItem(kestrun::kMenuAutostart);
    // A working folder without a Kestrun of its own: the program that runs, on this folder.
    item->trigger();
    EXPECT_TRUE(item->isChecked());
    EXPECT_EQ(rig.autostart.programPath(), QCoreApplication::applicationFilePath().toStdString());
    EXPECT_EQ(rig.autostart.workingFolder(), rig.work.string());
    item->trigger();
    EXPECT_FALSE(item->isChecked());
    EXPECT_FALSE(rig.autostart.exists());
    kestrun::test::writeFile(rig.work / "kestrun", "");
    item->trigger();
    EXPECT_EQ(rig.autostart.programPath(), (rig.work / "kestrun").string());
    EXPECT_EQ(rig.autostart.workingFolder(), rig.work.string());
    item->trigger();

    // An autostart folder that cannot be made: the write is refused, the mark still changes.
    std::filesystem::remove_all(rig.dir / "xdg/autostart");
    kestrun::test::writeFile(rig.dir / "xdg/autostart", "not a folder");
    item->trigger();
    EXPECT_TRUE(item->isChecked());
    EXPECT_FALSE(rig.autostart.exists());
}

// Open shows the window and restarts the 30-second hide; Esc and the close box hide it and
// stop the timer. Item 22 posts the update routine's message; item 16 calls the about box.
TEST(WindowCommands, OpenHideUpdateRoutineAndAbout) {
    WindowRig rig;
    CKestrunDlg& w = *rig.window;
    w.hideTimer().start(1000);
    w.trayMenu().item(kestrun::kTrayOpen)->trigger();
    EXPECT_TRUE(w.isVisible());
    EXPECT_EQ(w.hideTimer().interval(), 30000);
    EXPECT_TRUE(w.hideTimer().isActive());
    QTest::keyClick(&w, Qt::Key_Escape);
    EXPECT_FALSE(w.isVisible());
    EXPECT_FALSE(w.hideTimer().isActive());
    w.commands().run(kestrun::kTrayOpen);
    w.close();
    EXPECT_FALSE(w.isVisible());
    EXPECT_FALSE(w.hideTimer().isActive());

    int routines = 0;
    int abouts = 0;
    w.setHandler(KsnMessage::ServerUpdate, [&] { ++routines; });
    w.commands().setAbout([&] { ++abouts; });
    EXPECT_TRUE(w.commands().run(kestrun::kMenuServerUpdate));
    EXPECT_EQ(routines, 0); // posted, not sent
    EXPECT_TRUE(kestrun::test::processEventsUntil([&] { return routines == 1; }));
    w.menuItem(kestrun::kMenuAbout)->trigger();
    EXPECT_EQ(abouts, 1);
    EXPECT_FALSE(w.commands().run(2));
}
