#include "kestrun/core/kestrun_dlg.h"
#include "kestrun/ui/about_dlg.h"
#include "platform/autostart.h"
#include "platform/clock.h"
#include "platform/process_table.h"
#include "platform/program_launcher.h"
#include "platform/settings_store.h"
#include "tests/support/qt_app.h"
#include "tests/support/test_support.h"

#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QPushButton>
#include <QTimer>

#include <gtest/gtest.h>

namespace kestrun::test {
namespace {

const std::string kStored = "[General]\nPeriod=7\nUpdate=1\nHost=backup.example\n";

// The main window's about box, with a store that holds values other than those in memory.
class AboutDlgTest : public ::testing::Test {
protected:
    AboutDlgTest() {
        qtApp();
        writeFile(store_.file(), kStored);
    }

    // Runs the about box from the main window; the action runs once the box is up.
    void runAbout(const std::function<void(CAboutDlg&)>& action) {
        bool acted = false;
        QTimer::singleShot(0, [&] {
            auto* about = qobject_cast<CAboutDlg*>(QApplication::activeModalWidget());
            ASSERT_NE(about, nullptr);
            acted = true;
            action(*about);
        });
        window_.showAbout();
        EXPECT_TRUE(acted);
    }
    static QCheckBox& updateBox(CAboutDlg& about) {
        return *about.findChild<QCheckBox*>(QString::number(CAboutDlg::kUpdateId));
    }

    TempDir dir_;
    TestClock clock_{LocalDateTime::fromFields(2026, 3, 14, 9, 0, 0)};
    IniSettingsStore store_{dir_ / "Kestrun.conf"};
    AutostartEntry autostart_{dir_ / "autostart/kestrun.desktop"};
    ProcProcessTable processes_{clock_};
    DetachedProgramLauncher launcher_;
    CKestrunDlg window_{
        KestrunContext{clock_, store_, autostart_, processes_, launcher_, dir_.path(), false}};
};

TEST_F(AboutDlgTest, ShowsTheVersionTheProgramIsBuiltWith) {
    const auto built = readFileVersion(builtProgram("kestrun"));
    ASSERT_TRUE(built);
    EXPECT_EQ(CAboutDlg::versionText().toStdString(), "Kestrun, version " + built->text());
    runAbout([](CAboutDlg& about) {
        EXPECT_EQ(about.windowTitle(), QStringLiteral("About Kestrun"));
        bool shown = false;
        for (const QLabel* label : about.findChildren<QLabel*>())
            shown = shown || label->text() == CAboutDlg::versionText();
        EXPECT_TRUE(shown);
        EXPECT_EQ(about.findChild<QPushButton*>(QStringLiteral("1"))->text(),
                  QString::fromUtf8("\xD0\x9E\xD0\x9A"));
        about.reject();
    });
}

TEST_F(AboutDlgTest, CancelChangesNothing) {
    for (const int update : {1, 0}) {
        window_.settings().update = update;
        runAbout([&](CAboutDlg& about) {
            EXPECT_EQ(updateBox(about).isChecked(), update != 0);
            updateBox(about).setChecked(update == 0);
            about.reject(); // Esc, the close box
        });
        EXPECT_EQ(window_.settings().update, update);
        EXPECT_EQ(readFile(store_.file()), kStored);
    }
}

TEST_F(AboutDlgTest, OkSavesTheUpdateValueAlone) {
    window_.settings().update = 1;
    runAbout([](CAboutDlg& about) {
        updateBox(about).setChecked(false);
        about.findChild<QPushButton*>(QStringLiteral("1"))->click();
    });
    EXPECT_EQ(window_.settings().update, 0);
    IniSettingsStore reread(store_.file());
    EXPECT_EQ(reread.readNumber("Update"), 0u);
    EXPECT_EQ(reread.readNumber("Period"), 7u);
    EXPECT_EQ(reread.readText("Host"), "backup.example");
    EXPECT_EQ(reread.readNumber("Delay"), std::nullopt);
    EXPECT_EQ(reread.readText("Uhttp"), std::nullopt);

    runAbout([](CAboutDlg& about) {
        EXPECT_FALSE(updateBox(about).isChecked());
        updateBox(about).setChecked(true);
        about.accept(); // Enter
    });
    EXPECT_EQ(window_.settings().update, 1);
    EXPECT_EQ(IniSettingsStore(store_.file()).readNumber("Update"), 1u);
}

} // namespace
} // namespace kestrun::test
