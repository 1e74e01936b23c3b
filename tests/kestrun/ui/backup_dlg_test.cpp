#include "kestrun/ui/backup_dlg.h"
#include "kestrun/ui/list_dialogs_impl.h"
#include "kestrun/ui/list_prompts.h"
#include "platform/clock.h"
#include "tests/kestrun/ui/fake_prompts.h"
#include "tests/support/test_support.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

using kestrun::BackupEntry;
using kestrun::BackupList;
using kestrun::CBackupDlg;
using kestrun::MessageIcon;

namespace {

const QString kWarning = QStringLiteral("Backup - attention! Excluded items");

// Drives a backup dialog through its controls.
struct Driver {
    QDialog& dlg;
    kestrun::test::FakePrompts& prompts;

    template <typename T> T* get(int id) {
        auto* widget = dlg.findChild<T*>(QString::number(id));
        EXPECT_NE(widget, nullptr) << id;
        return widget;
    }
    QListWidget* list() { return get<QListWidget>(CBackupDlg::kListId); }
    QStringList rows() {
        QStringList texts;
        for (int row = 0; row < list()->count(); ++row)
            texts << list()->item(row)->text();
        return texts;
    }
    void click(int id) { QTest::mouseClick(get<QPushButton>(id), Qt::LeftButton); }
    void addFolder(const QString& folder, int mode = 0) {
        prompts.folders.push_back(folder);
        click(CBackupDlg::kFolderId);
        if (get<QComboBox>(CBackupDlg::kModeId)->isVisible())
            get<QComboBox>(CBackupDlg::kModeId)->setCurrentIndex(mode);
        click(CBackupDlg::kAddId);
    }
    void selectRow(int row) {
        QListWidgetItem* item = list()->item(row);
        ASSERT_NE(item, nullptr);
        QTest::mouseClick(list()->viewport(), Qt::LeftButton, {},
                          list()->visualItemRect(item).center());
    }
    void command(int id) { get<QAction>(id)->trigger(); }
    bool iconShown() {
        const QPixmap pixmap = get<QLabel>(CBackupDlg::kIconId)->pixmap();
        return !pixmap.isNull();
    }
};

struct BackupRig {
    kestrun::test::FakePrompts prompts;
    BackupList include, exclude;
    std::unique_ptr<CBackupDlg> dlg;
    std::unique_ptr<Driver> driver;

    BackupRig(BackupList in = {}, BackupList ex = {})
        : include(std::move(in)), exclude(std::move(ex)) {
        dlg = std::make_unique<CBackupDlg>(include, exclude, prompts);
        dlg->show();
        driver = std::make_unique<Driver>(Driver{*dlg, prompts});
    }
    Driver* operator->() { return driver.get(); }
};

TEST(BackupDialog, RowsCarryTheModeSuffixAndStaySorted) {
    BackupRig rig({{"/srv/b", 0, 1}, {"/srv/C", 2, 0}, {"/srv/a", 1, 0}});
    EXPECT_EQ(rig->rows(), (QStringList{"/srv/a -> Synchronization", "/srv/b -> Smart backup",
                                        "/srv/C -> Full backup with autodelete"}));
    EXPECT_EQ(rig.dlg->windowTitle(), "Backup");
    EXPECT_FALSE(rig->iconShown());

    // Adding puts the row in its sorted place and appends the entry.
    rig->addFolder("/srv/Bz", 1);
    rig->addFolder("/srv/0", 2);
    EXPECT_EQ(rig->rows(),
              (QStringList{"/srv/0 -> Full backup with autodelete", "/srv/a -> Synchronization",
                           "/srv/b -> Smart backup", "/srv/Bz -> Synchronization",
                           "/srv/C -> Full backup with autodelete"}));
    EXPECT_EQ(rig.include, (BackupList{{"/srv/b", 0, 1},
                                       {"/srv/C", 2, 0},
                                       {"/srv/a", 1, 0},
                                       {"/srv/Bz", 1, 0},
                                       {"/srv/0", 2, 0}}));

    // A file is an entry of kind 1; the path stays, so Add twice adds it twice.
    rig.prompts.files.push_back("/home/u/report.doc");
    rig->click(CBackupDlg::kFileId);
    rig->get<QComboBox>(CBackupDlg::kModeId)->setCurrentIndex(0);
    rig->click(CBackupDlg::kAddId);
    rig->click(CBackupDlg::kAddId);
    EXPECT_EQ(rig.include.back(), (BackupEntry{"/home/u/report.doc", 0, 1}));
    EXPECT_EQ(rig.include.size(), 7u);
    EXPECT_EQ(rig->rows().count("/home/u/report.doc -> Smart backup"), 2);
}

TEST(BackupDialog, ExcludeModeHidesFileAndWarnsWhileExclusionsExist) {
    BackupRig rig({{"/data", 1, 0}});
    EXPECT_TRUE(rig->get<QPushButton>(CBackupDlg::kFileId)->isVisible());
    EXPECT_TRUE(rig->get<QAction>(CBackupDlg::kIncludeCommand)->isChecked());

    rig->command(CBackupDlg::kExcludeCommand);
    EXPECT_FALSE(rig->get<QPushButton>(CBackupDlg::kFileId)->isVisible());
    EXPECT_FALSE(rig->get<QComboBox>(CBackupDlg::kModeId)->isVisible());
    EXPECT_TRUE(rig->get<QAction>(CBackupDlg::kExcludeCommand)->isChecked());
    EXPECT_FALSE(rig->get<QAction>(CBackupDlg::kIncludeCommand)->isChecked());
    EXPECT_TRUE(rig->rows().isEmpty());

    rig->addFolder("/data/cache");
    EXPECT_EQ(rig->rows(), QStringList{"/data/cache"});
    ASSERT_EQ(rig.exclude.size(), 1u);
    EXPECT_EQ(rig.exclude[0].path, "/data/cache");
    EXPECT_EQ(rig.include, (BackupList{{"/data", 1, 0}}));
    EXPECT_EQ(rig.dlg->windowTitle(), kWarning);
    EXPECT_TRUE(rig->iconShown());

    rig->selectRow(0);
    rig->click(CBackupDlg::kRemoveId);
    EXPECT_TRUE(rig.exclude.empty());
    EXPECT_TRUE(rig->rows().isEmpty());
    EXPECT_EQ(rig.dlg->windowTitle(), "Backup");
    EXPECT_FALSE(rig->iconShown());

    rig->command(CBackupDlg::kIncludeCommand);
    EXPECT_TRUE(rig->get<QPushButton>(CBackupDlg::kFileId)->isVisible());
    EXPECT_EQ(rig->rows(), QStringList{"/data -> Synchronization"});
}

TEST(BackupDialog, OpensWithTheWarningWhenExclusionsExist) {
    BackupRig rig({}, {{"/tmp", 0, 0}});
    EXPECT_EQ(rig.dlg->windowTitle(), kWarning);
    EXPECT_TRUE(rig->iconShown());
    EXPECT_TRUE(rig->get<QAction>(CBackupDlg::kIncludeCommand)->isChecked());
}

TEST(BackupDialog, RemoveTakesTheSelectedRowsEntryOnly) {
    BackupRig rig({{"/d", 0, 0}, {"/d", 1, 0}, {"/e", 1, 0}});
    rig->selectRow(1); // "/d -> Synchronization"
    EXPECT_EQ(rig->get<QLineEdit>(CBackupDlg::kPathId)->text(), "/d");
    EXPECT_EQ(rig->get<QComboBox>(CBackupDlg::kModeId)->currentIndex(), 1);
    // A row added before it moves the selection along with its row.
    rig->addFolder("/a", 0);
    rig->click(CBackupDlg::kRemoveId);
    EXPECT_EQ(rig.include, (BackupList{{"/d", 0, 0}, {"/e", 1, 0}, {"/a", 0, 0}}));
    EXPECT_EQ(rig->rows(),
              (QStringList{"/a -> Smart backup", "/d -> Smart backup", "/e -> Synchronization"}));

    // Nothing is selected any more: a second Remove does nothing.
    rig->click(CBackupDlg::kRemoveId);
    EXPECT_EQ(rig.include.size(), 3u);
}

TEST(BackupDialog, FolderChooserStartsAtTheLastFolder) {
    BackupRig rig({{"/srv/photos", 0, 0}, {"/srv/notes.txt", 0, 1}});
    rig.prompts.folders.push_back("/srv/music");
    rig->click(CBackupDlg::kFolderId);
    rig->selectRow(1);                 // "/srv/photos": a folder entry
    rig->click(CBackupDlg::kFolderId); // cancelled
    rig->selectRow(0);                 // "/srv/notes.txt": a file, the last folder stays
    rig->click(CBackupDlg::kFolderId);
    ASSERT_EQ(rig.prompts.folderQuestions.size(), 3u);
    EXPECT_EQ(rig.prompts.folderQuestions[0].title, "Select Directory");
    EXPECT_EQ(rig.prompts.folderQuestions[0].preselected, "");
    EXPECT_EQ(rig.prompts.folderQuestions[1].preselected, "/srv/photos");
    EXPECT_EQ(rig.prompts.folderQuestions[2].preselected, "/srv/photos");
    // The cancelled choices left the file's path and kind.
    rig->click(CBackupDlg::kAddId);
    EXPECT_EQ(rig.include.back(), (BackupEntry{"/srv/notes.txt", 0, 1}));
}

TEST(BackupDialog, PathsTheListsCannotHoldAreRefused) {
    struct Case {
        const char* name;
        QString folder;
        bool exclude;
        QString message;
    };
    const Case cases[] = {
        {"nothing chosen", "", false, "Please select something!"},
        {"tab", "/srv/a\tb", false, ""},
        {"line feed", "/srv/a\nb", false, ""},
        {"tab in exclude mode", "/srv/a\tb", true, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        BackupRig rig;
        if (c.exclude)
            rig->command(CBackupDlg::kExcludeCommand);
        rig->addFolder(c.folder);
        EXPECT_TRUE(rig.include.empty());
        EXPECT_TRUE(rig.exclude.empty());
        EXPECT_TRUE(rig->rows().isEmpty());
        ASSERT_EQ(rig.prompts.messages.size(), 1u);
        EXPECT_EQ(rig.prompts.messages[0].icon, MessageIcon::Stop);
        if (!c.message.isEmpty()) {
            EXPECT_EQ(rig.prompts.messages[0].text, c.message);
        } else {
            EXPECT_TRUE(rig.prompts.messages[0].text.contains("tab or a line break"));
        }
    }
}

TEST(BackupDialog, CancelKeepsTheAdds) {
    kestrun::test::FakePrompts prompts;
    kestrun::TestClock clock(kestrun::LocalDateTime::fromFields(2024, 3, 4, 8, 0, 0));
    kestrun::ListDialogsImpl dialogs(clock, prompts);
    BackupList include{{"/old", 0, 0}}, exclude;
    bool drove = false;
    QTimer::singleShot(0, [&] {
        auto* dlg = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        ASSERT_NE(dlg, nullptr);
        Driver driver{*dlg, prompts};
        driver.addFolder("/new", 2);
        driver.selectRow(1); // "/old -> Smart backup"
        driver.click(CBackupDlg::kRemoveId);
        QTest::keyClick(dlg, Qt::Key_Escape);
        drove = true;
    });
    dialogs.editBackupLists(nullptr, include, exclude);
    EXPECT_TRUE(drove);
    EXPECT_EQ(include, (BackupList{{"/new", 2, 0}}));
}

// The File button's chooser names its filter "All Files (*.*)" and lets every file through.
TEST(BackupDialog, FileChooserShowsAllFiles) {
    QFileDialog dialog;
    kestrun::prepareFileChooser(dialog);
    EXPECT_EQ(dialog.fileMode(), QFileDialog::ExistingFile);
    EXPECT_EQ(dialog.nameFilters(), QStringList{QStringLiteral("All Files (*.*) (*)")});
    auto* filters = dialog.findChild<QComboBox*>(QStringLiteral("fileTypeCombo"));
    ASSERT_NE(filters, nullptr);
    ASSERT_EQ(filters->count(), 1);
    EXPECT_EQ(filters->itemText(0), QStringLiteral("All Files (*.*)"));
}

// The Folder button's chooser shows folders only, opens at the browse folder and offers no
// way to make (or rename, or delete) a folder.
TEST(BackupDialog, FolderChooserMakesNoFolders) {
    kestrun::test::TempDir dir;
    std::filesystem::create_directories(dir / "last");
    QFileDialog dialog;
    kestrun::prepareFolderChooser(dialog, QStringLiteral("Select Directory"),
                                  QString::fromStdString((dir / "last").string()));
    EXPECT_EQ(dialog.windowTitle(), QStringLiteral("Select Directory"));
    EXPECT_EQ(dialog.fileMode(), QFileDialog::Directory);
    EXPECT_TRUE(dialog.testOption(QFileDialog::ShowDirsOnly));
    EXPECT_EQ(QDir::toNativeSeparators(dialog.directory().absolutePath()),
              QString::fromStdString((dir / "last").string()));
    dialog.show();
    auto* newFolder = dialog.findChild<QWidget*>(QStringLiteral("newFolderButton"));
    ASSERT_NE(newFolder, nullptr); // Qt's own dialog, not one of the platform's
    EXPECT_FALSE(newFolder->isVisible());
    EXPECT_FALSE(newFolder->isEnabled());
}

} // namespace
