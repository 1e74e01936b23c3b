#include "kestrun/ui/executable_chooser.h"
#include "kestrun/ui/list_prompts.h"
#include "kestrun/ui/programs_dlg.h"
#include "tests/kestrun/ui/fake_prompts.h"
#include "tests/support/test_support.h"

#include <QApplication>
#include <QCheckBox>
#include <QFileInfo>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QStyle>
#include <QStyleOptionViewItem>
#include <QTest>
#include <QTimeEdit>
#include <QTreeWidget>

#include <gtest/gtest.h>

#include <filesystem>

using kestrun::CProgramsDlg;
using kestrun::LocalDateTime;
using kestrun::MessageIcon;
using kestrun::ProgramEntry;
using kestrun::ProgramList;
using kestrun::ProgramMode;

namespace {

const QString kSelectSomething = QStringLiteral("Please select something!");
const QString kChooseScheduler = QStringLiteral("Please choose sheduler mode!");

ProgramEntry entry(std::string text, ProgramMode mode = ProgramMode::Always, int value = 0) {
    ProgramEntry e;
    e.text = std::move(text);
    e.mode = mode;
    if (mode == ProgramMode::Daily)
        e.dailyTime = value;
    if (mode == ProgramMode::Periodic)
        e.period = static_cast<std::uint32_t>(value);
    return e;
}

// The programs dialog over a list, opened at 09:41:17, driven through its controls.
struct ProgramsRig {
    kestrun::test::FakePrompts prompts;
    ProgramList programs;
    std::unique_ptr<CProgramsDlg> dlg;

    explicit ProgramsRig(ProgramList list = {}) : programs(std::move(list)) {
        dlg = std::make_unique<CProgramsDlg>(
            programs, LocalDateTime::fromFields(2024, 3, 4, 9, 41, 17), prompts);
        dlg->show();
    }
    template <typename T> T* get(int id) {
        auto* widget = dlg->findChild<T*>(QString::number(id));
        EXPECT_NE(widget, nullptr) << id;
        return widget;
    }
    QTreeWidget* list() { return get<QTreeWidget>(CProgramsDlg::kListId); }
    // Check boxes and radio buttons take clicks on their box and text, push buttons anywhere.
    void click(int id) {
        auto* button = get<QAbstractButton>(id);
        const QPoint at = qobject_cast<QPushButton*>(button) ? button->rect().center()
                                                             : QPoint(6, button->height() / 2);
        QTest::mouseClick(button, Qt::LeftButton, {}, at);
    }
    void chooseExecutable(const QString& path) {
        prompts.executables.push_back(path);
        click(CProgramsDlg::kBrowseId);
    }
    void setPeriod(const QString& text) {
        QLineEdit* edit = get<QLineEdit>(CProgramsDlg::kPeriodId);
        edit->clear();
        QTest::keyClicks(edit, text);
    }
    void clickRow(int row, Qt::MouseButton button = Qt::LeftButton) {
        QTreeWidgetItem* item = list()->topLevelItem(row);
        ASSERT_NE(item, nullptr);
        QTest::mouseClick(list()->viewport(), button, {}, list()->visualItemRect(item).center());
        QApplication::processEvents();
    }
    // The rows drawn as selected.
    std::vector<int> drawnRows() {
        std::vector<int> rows;
        for (QTreeWidgetItem* item : list()->selectedItems())
            rows.push_back(list()->indexOfTopLevelItem(item));
        return rows;
    }
    void clickCheckBox(int row) {
        QTreeWidgetItem* item = list()->topLevelItem(row);
        ASSERT_NE(item, nullptr);
        QStyleOptionViewItem option;
        option.initFrom(list()->viewport());
        option.widget = list();
        option.rect = list()->visualItemRect(item);
        option.features =
            QStyleOptionViewItem::HasCheckIndicator | QStyleOptionViewItem::HasDisplay;
        option.text = item->text(0);
        const QRect box =
            list()->style()->subElementRect(QStyle::SE_ItemViewItemCheckIndicator, &option, list());
        QTest::mouseClick(list()->viewport(), Qt::LeftButton, {}, box.center());
    }
    QString rowText(int row) { return list()->topLevelItem(row)->text(0); }
    bool rowChecked(int row) { return list()->topLevelItem(row)->checkState(0) == Qt::Checked; }
};

TEST(ProgramsDialog, DailyEntryStoresWholeMinutesAndShowsThemAgain) {
    struct Case {
        const char* name;
        QTime picked; // invalid: the picker is left as opened (09:41:17)
        int stored;
        QString shown;
    };
    const Case cases[] = {
        {"picked 07:30", QTime(7, 30), 27000, "07:30"},
        {"untouched", QTime(), 9 * 3600 + 41 * 60, "09:41"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ProgramsRig rig;
        rig.chooseExecutable("/opt/tools/report");
        QTest::keyClicks(rig.get<QLineEdit>(CProgramsDlg::kParamsId), "-q now");
        rig.click(CProgramsDlg::kMinimisedId);
        rig.click(CProgramsDlg::kDailyId);
        if (c.picked.isValid())
            rig.get<QTimeEdit>(CProgramsDlg::kTimeId)->setTime(c.picked);
        rig.click(1014); // Mon
        rig.click(1022); // Sun
        rig.click(CProgramsDlg::kAddId);

        ASSERT_EQ(rig.programs.size(), 1u);
        const ProgramEntry& added = rig.programs[0];
        EXPECT_EQ(added.text, "/opt/tools/report?m-q now");
        EXPECT_EQ(added.mode, ProgramMode::Daily);
        EXPECT_EQ(added.dailyTime, c.stored);
        EXPECT_EQ(added.weekdays, 0b1000001);
        EXPECT_EQ(added.period, 0u);
        EXPECT_FALSE(added.disabled);
        EXPECT_EQ(rig.rowText(0), "/opt/tools/report?m-q now -> daily");
        EXPECT_TRUE(rig.rowChecked(0));
        EXPECT_TRUE(rig.prompts.messages.empty());

        // Change every control, then the row click brings the entry back.
        rig.click(CProgramsDlg::kAlwaysId);
        rig.get<QTimeEdit>(CProgramsDlg::kTimeId)->setTime(QTime(12, 0));
        rig.click(CProgramsDlg::kMinimisedId);
        rig.get<QLineEdit>(CProgramsDlg::kParamsId)->clear();
        rig.chooseExecutable("/bin/other");
        rig.clickRow(0);
        EXPECT_EQ(rig.get<QTimeEdit>(CProgramsDlg::kTimeId)->time().toString("HH:mm"), c.shown);
        EXPECT_TRUE(rig.get<QRadioButton>(CProgramsDlg::kDailyId)->isChecked());
        EXPECT_FALSE(rig.get<QRadioButton>(CProgramsDlg::kAlwaysId)->isChecked());
        EXPECT_TRUE(rig.get<QTimeEdit>(CProgramsDlg::kTimeId)->isEnabled());
        EXPECT_FALSE(rig.get<QLineEdit>(CProgramsDlg::kPeriodId)->isEnabled());
        EXPECT_EQ(rig.get<QLineEdit>(CProgramsDlg::kPathId)->text(), "/opt/tools/report");
        EXPECT_EQ(rig.get<QLineEdit>(CProgramsDlg::kParamsId)->text(), "-q now");
        EXPECT_TRUE(rig.get<QCheckBox>(CProgramsDlg::kMinimisedId)->isChecked());
        EXPECT_TRUE(rig.get<QCheckBox>(1014)->isChecked());
        EXPECT_FALSE(rig.get<QCheckBox>(1015)->isChecked());
        EXPECT_TRUE(rig.get<QCheckBox>(1022)->isChecked());
    }
}

TEST(ProgramsDialog, SchedulerChoicesAndTheirRowTexts) {
    struct Case {
        int radio;
        ProgramMode mode;
        const char* suffix;
        bool weekdays, time, period;
        std::uint8_t mask;
        std::uint32_t storedPeriod;
    };
    const Case cases[] = {
        {CProgramsDlg::kAlwaysId, ProgramMode::Always, " -> always", false, false, false, 0, 0},
        {CProgramsDlg::kDailyId, ProgramMode::Daily, " -> daily", true, true, false, 0b10100, 0},
        {CProgramsDlg::kPeriodicId, ProgramMode::Periodic, " -> periodically", true, false, true,
         0b10100, 45},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.suffix);
        ProgramsRig rig;
        // Before any choice every schedule control is enabled.
        EXPECT_TRUE(rig.get<QCheckBox>(1021)->isEnabled());
        EXPECT_TRUE(rig.get<QTimeEdit>(CProgramsDlg::kTimeId)->isEnabled());
        EXPECT_TRUE(rig.get<QLineEdit>(CProgramsDlg::kPeriodId)->isEnabled());
        rig.chooseExecutable("/opt/app");
        rig.click(1016); // Wed
        rig.click(1018); // Fri
        rig.setPeriod("45");
        rig.click(c.radio);
        for (int id : CProgramsDlg::kWeekdayIds)
            EXPECT_EQ(rig.get<QCheckBox>(id)->isEnabled(), c.weekdays) << id;
        EXPECT_EQ(rig.get<QTimeEdit>(CProgramsDlg::kTimeId)->isEnabled(), c.time);
        EXPECT_EQ(rig.get<QLineEdit>(CProgramsDlg::kPeriodId)->isEnabled(), c.period);
        for (int radio :
             {CProgramsDlg::kAlwaysId, CProgramsDlg::kDailyId, CProgramsDlg::kPeriodicId})
            EXPECT_EQ(rig.get<QRadioButton>(radio)->isChecked(), radio == c.radio) << radio;
        rig.click(CProgramsDlg::kAddId);
        ASSERT_EQ(rig.programs.size(), 1u);
        EXPECT_EQ(rig.programs[0].text, "/opt/app?n");
        EXPECT_EQ(rig.programs[0].mode, c.mode);
        EXPECT_EQ(rig.programs[0].weekdays, c.mask);
        EXPECT_EQ(rig.programs[0].period, c.storedPeriod);
        if (c.mode != ProgramMode::Daily) {
            EXPECT_EQ(rig.programs[0].dailyTime, 0);
        }
        EXPECT_EQ(rig.rowText(0), QString("/opt/app?n") + c.suffix);
    }
}

TEST(ProgramsDialog, RefusedAddsChangeNothing) {
    struct Case {
        const char* name;
        QString executable; // empty: none chosen
        int radio;          // 0: none
        QString period;
        QString message;
        MessageIcon icon;
    };
    const QString invalid = QString::fromUtf8("Введите положительное целое число.");
    const Case cases[] = {
        {"no executable", "", 0, "0", kSelectSomething, MessageIcon::Stop},
        {"no scheduler", "/opt/app", 0, "0", kChooseScheduler, MessageIcon::Stop},
        {"negative period", "/opt/app", CProgramsDlg::kAlwaysId, "-1", invalid,
         MessageIcon::Exclamation},
        {"period not a number", "/opt/app", CProgramsDlg::kPeriodicId, "5x", invalid,
         MessageIcon::Exclamation},
        {"empty period", "/opt/app", CProgramsDlg::kPeriodicId, "", invalid,
         MessageIcon::Exclamation},
        {"tab in the path", "/opt/a\tb", CProgramsDlg::kAlwaysId, "0", "", MessageIcon::Stop},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ProgramsRig rig({entry("/bin/keep?n")});
        if (!c.executable.isEmpty())
            rig.chooseExecutable(c.executable);
        rig.setPeriod(c.period);
        if (c.radio != 0)
            rig.click(c.radio);
        rig.click(CProgramsDlg::kAddId);
        EXPECT_EQ(rig.programs, ProgramList{entry("/bin/keep?n")});
        EXPECT_EQ(rig.list()->topLevelItemCount(), 1);
        ASSERT_EQ(rig.prompts.messages.size(), 1u);
        if (!c.message.isEmpty()) {
            EXPECT_EQ(rig.prompts.messages[0].text, c.message);
        }
        EXPECT_EQ(rig.prompts.messages[0].icon, c.icon);
    }
}

TEST(ProgramsDialog, RemoveTwiceTakesTheSelectedPositionThenItsSuccessor) {
    // The first two entries share their text: rows address entries by position.
    ProgramsRig rig({entry("/bin/a?n"), entry("/bin/a?n", ProgramMode::Periodic, 30),
                     entry("/bin/b?n", ProgramMode::Daily, 3600), entry("/bin/c?n")});
    rig.clickRow(1);
    rig.click(CProgramsDlg::kRemoveId);
    EXPECT_EQ(rig.programs,
              (ProgramList{entry("/bin/a?n"), entry("/bin/b?n", ProgramMode::Daily, 3600),
                           entry("/bin/c?n")}));
    rig.click(CProgramsDlg::kRemoveId);
    EXPECT_EQ(rig.programs, (ProgramList{entry("/bin/a?n"), entry("/bin/c?n")}));
    ASSERT_EQ(rig.list()->topLevelItemCount(), 2);
    EXPECT_EQ(rig.rowText(1), "/bin/c?n -> always");
}

// The row drawn as selected is the one Modify and Remove act on, whether the mouse or the
// keyboard chose it, and after a removal; nothing is drawn selected when nothing is.
TEST(ProgramsDialog, TheRowDrawnIsTheRowChanged) {
    ProgramsRig rig({entry("/bin/a?n"), entry("/bin/b?n", ProgramMode::Daily, 3600),
                     entry("/bin/c?n", ProgramMode::Periodic, 30), entry("/bin/d?n")});
    EXPECT_EQ(rig.drawnRows(), std::vector<int>{});
    rig.clickRow(0);
    QTest::keyClick(rig.list(), Qt::Key_Down);
    QTest::keyClick(rig.list(), Qt::Key_Down);
    EXPECT_EQ(rig.drawnRows(), std::vector<int>{2});
    // The keyboard's row is loaded as a click loads it.
    EXPECT_EQ(rig.get<QLineEdit>(CProgramsDlg::kPathId)->text(), "/bin/c");
    EXPECT_TRUE(rig.get<QRadioButton>(CProgramsDlg::kPeriodicId)->isChecked());
    rig.click(CProgramsDlg::kRemoveId);
    EXPECT_EQ(rig.programs,
              (ProgramList{entry("/bin/a?n"), entry("/bin/b?n", ProgramMode::Daily, 3600),
                           entry("/bin/d?n")}));
    EXPECT_EQ(rig.drawnRows(), std::vector<int>{2}); // the row that moved up, and its fields
    EXPECT_EQ(rig.get<QLineEdit>(CProgramsDlg::kPathId)->text(), "/bin/d");
    QTest::keyClick(rig.list(), Qt::Key_Up);
    rig.click(CProgramsDlg::kAlwaysId);
    rig.click(CProgramsDlg::kModifyId);
    EXPECT_EQ(rig.programs[1].mode, ProgramMode::Always);
    EXPECT_EQ(rig.programs[1].dailyTime, 0);
    EXPECT_EQ(rig.drawnRows(), std::vector<int>{1});

    // Removing the last row leaves none selected: a further Remove does nothing.
    QTest::keyClick(rig.list(), Qt::Key_End);
    rig.click(CProgramsDlg::kRemoveId);
    EXPECT_EQ(rig.drawnRows(), std::vector<int>{});
    EXPECT_EQ(rig.dlg->form().selectedRow(), -1);
    rig.click(CProgramsDlg::kRemoveId);
    EXPECT_EQ(rig.programs.size(), 2u);
    // A click below the rows selects none, and none is drawn.
    rig.clickRow(0);
    QTest::mouseClick(rig.list()->viewport(), Qt::LeftButton, {},
                      QPoint(20, rig.list()->viewport()->height() - 5));
    QApplication::processEvents();
    EXPECT_EQ(rig.drawnRows(), std::vector<int>{});
    rig.click(CProgramsDlg::kRemoveId);
    EXPECT_EQ(rig.programs.size(), 2u);
}

TEST(ProgramsDialog, CheckBoxTakesEffectAtModifyOnly) {
    ProgramEntry disabled = entry("/bin/b?m-x", ProgramMode::Periodic, 30);
    disabled.disabled = true;
    ProgramsRig rig({entry("/bin/a?n"), disabled});
    EXPECT_TRUE(rig.rowChecked(0));
    EXPECT_FALSE(rig.rowChecked(1));

    rig.clickCheckBox(0);
    EXPECT_FALSE(rig.rowChecked(0));
    EXPECT_FALSE(rig.programs[0].disabled);
    rig.clickCheckBox(1);
    EXPECT_TRUE(rig.rowChecked(1));
    EXPECT_TRUE(rig.programs[1].disabled);

    // A right click selects without loading: Modify writes the fields of row 1 into entry 0.
    rig.programs[0].running = true;
    const LocalDateTime started = LocalDateTime::fromFields(2024, 3, 1, 6, 0, 0);
    rig.programs[0].lastStart = started;
    rig.clickRow(0, Qt::RightButton);
    rig.click(CProgramsDlg::kModifyId);
    ASSERT_EQ(rig.programs.size(), 2u);
    EXPECT_EQ(rig.programs[0].text, "/bin/b?m-x");
    EXPECT_EQ(rig.programs[0].mode, ProgramMode::Periodic);
    EXPECT_EQ(rig.programs[0].period, 30u);
    EXPECT_TRUE(rig.programs[0].disabled);
    EXPECT_FALSE(rig.programs[0].running);
    EXPECT_EQ(rig.programs[0].lastStart, started);
    EXPECT_EQ(rig.rowText(0), "/bin/b?m-x -> periodically");
    EXPECT_TRUE(rig.programs[1].disabled); // not modified yet

    rig.clickRow(1);
    rig.click(CProgramsDlg::kModifyId);
    EXPECT_FALSE(rig.programs[1].disabled);
}

TEST(ProgramsDialog, ExecutableFilterShowsExecutableBitsAndKnownSuffixes) {
    kestrun::test::TempDir dir;
    namespace fs = std::filesystem;
    struct Case {
        const char* name;
        bool executableBit;
        bool shown;
    };
    const Case cases[] = {
        {"tool", true, true},        {"tool.sh", true, true},     {"setup.exe", false, true},
        {"Viewer.JAR", false, true}, {"notes.txt", false, false}, {"data", false, false},
    };
#ifdef _WIN32
    const bool filesHaveExecutableBits = false; // only the known suffixes count
#else
    const bool filesHaveExecutableBits = true;
#endif
    for (const Case& c : cases) {
        const fs::path file = dir / c.name;
        kestrun::test::writeFile(file, "x");
        fs::permissions(file, c.executableBit ? fs::perms::owner_all
                                              : fs::perms::owner_read | fs::perms::owner_write);
        EXPECT_EQ(kestrun::showsAsExecutable(QFileInfo(QString::fromStdString(file.string()))),
                  c.shown && (filesHaveExecutableBits || !c.executableBit))
            << c.name;
    }
    fs::create_directory(dir / "folder");
    EXPECT_TRUE(
        kestrun::showsAsExecutable(QFileInfo(QString::fromStdString((dir / "folder").string()))));
}

} // namespace
