#pragma once

#include "kestrun/ui/backup_form.h"

#include <QDialog>

class QAction;
class QComboBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;

namespace kestrun {

class ListPrompts;

// The backup list dialog: edits the include and the exclude list in place; every Add and Remove
// changes them at once, whichever button closes the dialog.
class CBackupDlg : public QDialog {
public:
    static constexpr int kTemplateId = 131, kMenuId = 146;
    static constexpr int kListId = 1000, kAddId = 1001, kRemoveId = 1002, kPathId = 1003,
                         kFileId = 1004, kFolderId = 1007, kModeId = 1015, kIconId = 1017;
    static constexpr int kIncludeCommand = 32774, kExcludeCommand = 32775;
    static constexpr const char* kFolderTitle = "Select Directory";

    CBackupDlg(BackupList& include, BackupList& exclude, ListPrompts& prompts,
               QWidget* parent = nullptr);

    const BackupForm& form() const { return form_; }

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    void readFields();
    void showFields();
    void showRows();
    void showMode();
    void applyCaption();
    void onAdd();
    void onRemove();
    void onFile();
    void onFolder();
    void onSelection();
    void onMode(ListMode mode);

    BackupForm form_;
    ListPrompts& prompts_;
    QListWidget* list_ = nullptr;
    QLineEdit* path_ = nullptr;
    QPushButton* file_ = nullptr;
    QComboBox* mode_ = nullptr;
    QLabel* icon_ = nullptr;
    QAction* include_ = nullptr;
    QAction* exclude_ = nullptr;
};

} // namespace kestrun
