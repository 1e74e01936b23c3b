#include "kestrun/core/settings.h"
#include "kestrun/ui/settings_dlg.h"
#include "tests/kestrun/ui/fake_asker.h"
#include "tests/support/test_support.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFileInfo>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

using kestrun::CSettingsDlg;
using kestrun::Settings;
namespace ids = kestrun::settings_ids;

namespace {

// The settings window over a settings record, shown offscreen and driven through its controls.
struct DialogRig {
    Settings settings;
    kestrun::test::FakeAsker asker;
    std::unique_ptr<CSettingsDlg> dialog;

    explicit DialogRig(const std::function<void(Settings&)>& prepare = {}) {
        if (prepare)
            prepare(settings);
        dialog = std::make_unique<CSettingsDlg>(settings, asker);
        dialog->show();
    }
    QLineEdit* edit(int id) const { return qobject_cast<QLineEdit*>(dialog->control(id)); }
    void type(int id, const QString& text) const {
        QLineEdit* e = edit(id);
        e->clear();
        QTest::keyClicks(e, text);
    }
    void click(int id) const {
        QTest::mouseClick(static_cast<QAbstractButton*>(dialog->control(id)), Qt::LeftButton);
    }
    void selectMode(int index) const {
        static_cast<QComboBox*>(dialog->control(ids::kUmode))->setCurrentIndex(index);
    }
    bool enabled(int id) const { return dialog->control(id)->isEnabled(); }
    // OK; true when the window closed with OK.
    bool ok() const {
        click(1);
        return dialog->result() == QDialog::Accepted && !dialog->isVisible();
    }
};

} // namespace

// The first refused value in field order is the one reported, with its framework text, and the
// focus goes to its control; nothing reaches the settings. A disabled field is checked too.
TEST(SettingsDialog, RefusesTheFirstBadValueInFieldOrder) {
    struct Case {
        std::vector<std::pair<int, QString>> typed;
        std::function<void(Settings&)> prepare;
        int failing;
        QString message;
    };
    const QString range = QStringLiteral("Введите целое число от %1 до %2.");
    const QString notInt = QStringLiteral("Введите целое число.");
    const QString notUint = QStringLiteral("Введите положительное целое число.");
    const std::vector<Case> cases{
        {{{ids::kDelay, "0"}}, {}, ids::kDelay, range.arg(1).arg(100)},
        {{{ids::kDelay, "101"}}, {}, ids::kDelay, range.arg(1).arg(100)},
        {{{ids::kDelay, ""}}, {}, ids::kDelay, notInt},
        {{{ids::kDelay, "5x"}, {ids::kPeriod, "x"}}, {}, ids::kDelay, notInt},
        {{{ids::kPeriod, "101"}, {ids::kDelay, "0"}}, {}, ids::kDelay, range.arg(1).arg(100)},
        {{{ids::kPeriod, "-1"}}, {}, ids::kPeriod, range.arg(0).arg(100)},
        // In folder mode the FTP port is disabled and still checked.
        {{}, [](Settings& s) { s.port = 0; }, ids::kPort, range.arg(1).arg(65535)},
        {{},
         [](Settings& s) {
             s.umode = 0;
             s.uport = 65536;
         },
         ids::kUport,
         range.arg(1).arg(65535)},
        {{{ids::kAutodelete, ""}}, {}, ids::kAutodelete, notUint},
        {{}, [](Settings& s) { s.upull = 9; }, ids::kUpull, range.arg(10).arg(65536)},
        {{}, [](Settings& s) { s.upost = 65537; }, ids::kUpost, range.arg(0).arg(65536)},
        {{},
         [](Settings& s) {
             s.promt = 0;
             s.umode = 1;
         },
         -1,
         {}},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        DialogRig rig([&](Settings& s) {
            s.umode = 1; // every update field enabled, so they can be typed into
            if (c.prepare)
                c.prepare(s);
        });
        rig.selectMode(1);
        for (const auto& [id, text] : c.typed)
            rig.type(id, text);
        rig.asker.warnings.clear();
        const Settings before = rig.settings;
        if (c.failing < 0) {
            EXPECT_TRUE(rig.ok()) << i;
            EXPECT_TRUE(rig.asker.warnings.isEmpty()) << i;
            continue;
        }
        EXPECT_FALSE(rig.ok()) << i;
        EXPECT_EQ(rig.asker.warnings, QStringList{c.message}) << i;
        EXPECT_TRUE(rig.asker.stops.isEmpty()) << "a value that does not read is a warning";
        if (rig.enabled(c.failing)) { // a disabled control cannot take the focus
            EXPECT_EQ(rig.dialog->focusWidget(), rig.dialog->control(c.failing)) << i;
        }
        EXPECT_EQ(rig.settings.delay, before.delay) << i;
        EXPECT_EQ(rig.settings.period, before.period) << i;
    }
}

TEST(SettingsDialog, NumberFieldsTakeWholeNumbersWithBlanksAndSignsOnlyWhereSigned) {
    struct Case {
        const char* text;
        std::optional<std::int32_t> asSigned;
        std::optional<std::uint32_t> asUnsigned;
    };
    for (const Case& c :
         {Case{"42", 42, 42u}, Case{" 7 ", 7, 7u}, Case{"+3", 3, 3u}, Case{"-3", -3, std::nullopt},
          Case{"", std::nullopt, std::nullopt}, Case{"1 2", std::nullopt, std::nullopt},
          Case{"4294967295", std::nullopt, 4294967295u},
          Case{"4294967296", std::nullopt, std::nullopt},
          Case{"+-1", std::nullopt, std::nullopt}}) {
        EXPECT_EQ(kestrun::parseSignedField(c.text), c.asSigned) << c.text;
        EXPECT_EQ(kestrun::parseUnsignedField(c.text), c.asUnsigned) << c.text;
    }
}

// OK's normalisations: one trailing separator off the folder and the web path, Autodelete only
// for a folder, the client's fixed poll, no notices without an update mode.
TEST(SettingsDialog, OkNormalisesWhatItCopies) {
    struct Case {
        std::function<void(DialogRig&)> edit;
        std::function<void(const Settings&)> check;
    };
    const std::vector<Case> cases{
        {[](DialogRig& r) { r.type(ids::kPath, "/mnt/b//"); },
         [](const Settings& s) { EXPECT_EQ(s.path, "/mnt/b/"); }},
        {[](DialogRig& r) { r.type(ids::kPath, "D:\\backup\\"); },
         [](const Settings& s) { EXPECT_EQ(s.path, "D:\\backup"); }},
        {[](DialogRig& r) { r.type(ids::kUhttp, "http://h/Zelmov5/"); },
         [](const Settings& s) { EXPECT_EQ(s.uhttp, "http://h/Zelmov5"); }},
        {[](DialogRig& r) { r.type(ids::kUhttp, ""); },
         [](const Settings& s) { EXPECT_EQ(s.uhttp, ""); }},
        {[](DialogRig& r) {
             r.type(ids::kUpull, "300");
             r.type(ids::kUpost, "90");
             r.selectMode(2);
         },
         [](const Settings& s) {
             EXPECT_EQ(s.umode, 2);
             EXPECT_EQ(s.upull, 10u);
             EXPECT_EQ(s.upost, 60u);
         }},
        {[](DialogRig& r) {
             r.type(ids::kUpull, "300");
             r.type(ids::kUpost, "90");
         },
         [](const Settings& s) {
             EXPECT_EQ(s.upull, 300u);
             EXPECT_EQ(s.upost, 90u);
         }},
        {[](DialogRig& r) {
             r.type(ids::kPromt, "5");
             r.selectMode(0);
         },
         [](const Settings& s) { EXPECT_EQ(s.promt, 0u); }},
        {[](DialogRig& r) { r.type(ids::kPromt, "5"); },
         [](const Settings& s) { EXPECT_EQ(s.promt, 5u); }},
        {[](DialogRig& r) {
             r.type(ids::kAutodelete, "7");
             r.click(ids::kToFtp);
             r.type(ids::kHost, "ftp.local");
         },
         [](const Settings& s) {
             EXPECT_EQ(s.folder, 0);
             EXPECT_EQ(s.autodelete, 0);
             EXPECT_EQ(s.host, "ftp.local");
         }},
        {[](DialogRig& r) {
             r.click(ids::kToFtp);
             r.click(ids::kToFolder);
             r.type(ids::kAutodelete, "7");
         },
         [](const Settings& s) {
             EXPECT_EQ(s.folder, 1);
             EXPECT_EQ(s.autodelete, 7);
         }},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(i);
        DialogRig rig([](Settings& s) { s.umode = 1; });
        cases[i].edit(rig);
        ASSERT_TRUE(rig.ok());
        cases[i].check(rig.settings);
    }
}

// Only a new update mode or update port needs a restart.
TEST(SettingsDialog, RestartOnlyForTheUpdateModeOrPort) {
    struct Case {
        std::function<void(DialogRig&)> edit;
        bool restart;
    };
    const std::vector<Case> cases{
        {[](DialogRig& r) { r.type(ids::kDelay, "9"); }, false},
        {[](DialogRig& r) { r.type(ids::kPeriod, "3"); }, false},
        {[](DialogRig& r) {
             r.click(ids::kToFtp);
             r.type(ids::kHost, "10.0.0.2");
             r.type(ids::kPort, "2121");
         },
         false},
        {[](DialogRig& r) { r.type(ids::kUhttp, "http://other/Zelmov5"); }, false},
        {[](DialogRig& r) { r.selectMode(3); }, true},
        {[](DialogRig& r) { r.type(ids::kUport, "10202"); }, true},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        DialogRig rig([](Settings& s) { s.umode = 1; });
        cases[i].edit(rig);
        ASSERT_TRUE(rig.ok()) << i;
        EXPECT_EQ(rig.dialog->restartNeeded(), cases[i].restart) << i;
    }
}

// Which controls each update mode and destination enables.
TEST(SettingsDialog, EnableRulesFollowTheModeAndTheDestination) {
    const std::vector<int> modeControls{
        ids::kUhost, ids::kUport, ids::kUhttp, ids::kUfile,  ids::kBrowseUfile,
        ids::kUpull, ids::kUpost, ids::kPromt, ids::kUfile2, ids::kBrowseUfile2};
    const std::vector<std::vector<bool>> modeRules{
        {false, false, false, false, false, false, false, false, false, false},
        {false, true, true, true, true, true, true, true, false, false},
        {true, true, true, true, true, false, false, true, false, false},
        {false, true, true, true, true, false, false, true, true, true},
    };
    for (int opened = 0; opened < 4; ++opened) {
        DialogRig rig([&](Settings& s) { s.umode = opened; });
        for (int mode : {opened, (opened + 1) % 4, (opened + 2) % 4}) {
            rig.selectMode(mode);
            for (std::size_t k = 0; k < modeControls.size(); ++k)
                EXPECT_EQ(rig.enabled(modeControls[k]), modeRules[mode][k])
                    << "opened " << opened << " mode " << mode << " control " << modeControls[k];
        }
    }
    const std::vector<int> folderOn{ids::kPath, ids::kBrowsePath, ids::kAutodelete};
    const std::vector<int> ftpOn{ids::kHost, ids::kPort, ids::kUser, ids::kPassword, ids::kPassive};
    for (const bool folder : {true, false}) {
        DialogRig rig([&](Settings& s) { s.folder = folder ? 1 : 0; });
        const auto expectFolder = [&](bool on) {
            for (int id : folderOn)
                EXPECT_EQ(rig.enabled(id), on) << id;
            for (int id : ftpOn)
                EXPECT_EQ(rig.enabled(id), !on) << id;
            EXPECT_EQ(static_cast<QRadioButton*>(rig.dialog->control(ids::kToFolder))->isChecked(),
                      on);
            EXPECT_EQ(static_cast<QRadioButton*>(rig.dialog->control(ids::kToFtp))->isChecked(),
                      !on);
        };
        expectFolder(folder);
        rig.click(folder ? ids::kToFtp : ids::kToFolder);
        expectFolder(!folder);
    }
}

// A mode change reads the controls first: a bad value before the mode keeps the old mode's
// rule, a bad value after it is reported and the new mode's rule applies.
TEST(SettingsDialog, ModeChangeReadsTheControlsInFieldOrder) {
    struct Case {
        int field;
        QString text;
        bool newRule;
    };
    for (const Case& c : {Case{ids::kDelay, "0", false}, Case{ids::kPeriod, "x", false},
                          Case{ids::kUpull, "5", true}, Case{ids::kAutodelete, "-", true}}) {
        DialogRig rig([](Settings& s) { s.umode = 1; });
        rig.type(c.field, c.text);
        rig.selectMode(2);
        EXPECT_EQ(rig.asker.warnings.size(), 1) << c.field;
        EXPECT_EQ(rig.enabled(ids::kUhost), c.newRule) << c.field;
        EXPECT_EQ(rig.enabled(ids::kUpull), !c.newRule) << c.field;
    }
}

TEST(SettingsDialog, ChoosersReplaceTheirFieldsAndCancellingKeepsThem) {
    DialogRig rig([](Settings& s) { s.umode = 3; });
    rig.asker.folder = "/srv/backup";
    rig.asker.executable = "/opt/z/Zelmo.exe";
    rig.click(ids::kBrowsePath);
    rig.click(ids::kBrowseUfile2);
    EXPECT_EQ(rig.edit(ids::kPath)->text(), "/srv/backup");
    EXPECT_EQ(rig.asker.questions, QStringList{CSettingsDlg::kFolderChooserTitle});
    EXPECT_EQ(rig.edit(ids::kUfile2)->text(), "/opt/z/Zelmo.exe");
    EXPECT_EQ(rig.edit(ids::kUfile)->text(), QString::fromStdString(Settings{}.ufile));
    EXPECT_TRUE(rig.edit(ids::kUfile)->isReadOnly());
    rig.asker.folder.reset();
    rig.asker.executable.reset();
    rig.click(ids::kBrowsePath);
    rig.click(ids::kBrowseUfile);
    EXPECT_EQ(rig.edit(ids::kPath)->text(), "/srv/backup");
    EXPECT_EQ(rig.edit(ids::kUfile)->text(), QString::fromStdString(Settings{}.ufile));
}
