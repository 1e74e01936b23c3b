#pragma once

#include "kestrun/ui/programs_form.h"

#include <QDialog>

class QCheckBox;
class QLineEdit;
class QRadioButton;
class QTimeEdit;
class QTreeWidget;
class QTreeWidgetItem;

namespace kestrun {

class ListPrompts;

// The programs dialog: edits the program list in place; every Add, Modify and Remove changes it
// at once, and closing keeps every change.
class CProgramsDlg : public QDialog {
public:
    static constexpr int kTemplateId = 129;
    static constexpr int kListId = 1000, kAddId = 1001, kRemoveId = 1002, kPathId = 1003,
                         kBrowseId = 1004, kParamsId = 1005, kMinimisedId = 1006, kAlwaysId = 1007,
                         kDailyId = 1008, kModifyId = 1009, kTimeId = 1010, kPeriodicId = 1011,
                         kPeriodId = 1013;
    // Monday ... Sunday.
    static constexpr int kWeekdayIds[7] = {1014, 1015, 1016, 1017, 1018, 1021, 1022};

    CProgramsDlg(ProgramList& programs, const LocalDateTime& now, ListPrompts& prompts,
                 QWidget* parent = nullptr);

    const ProgramsForm& form() const { return form_; }

protected:
    void keyPressEvent(QKeyEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    bool readFields();
    void showFields();
    void showScheduler();
    void showRows();
    // Draws the form's selected row as the list's one selection, or none.
    void showSelection();
    void onSelectionChanged();
    void report(FormMessage message);
    void onAdd();
    void onModify();
    void onRemove();
    void onBrowse();
    void onScheduler(Scheduler choice);
    void onItemChanged(QTreeWidgetItem* item);

    ProgramsForm form_;
    ListPrompts& prompts_;
    QTreeWidget* list_ = nullptr;
    QLineEdit* path_ = nullptr;
    QLineEdit* params_ = nullptr;
    QCheckBox* minimised_ = nullptr;
    QRadioButton* always_ = nullptr;
    QRadioButton* daily_ = nullptr;
    QRadioButton* periodic_ = nullptr;
    QTimeEdit* time_ = nullptr;
    QLineEdit* period_ = nullptr;
    QCheckBox* weekdays_[7] = {};
    bool mouseDown_ = false; // a click selects at its release, not while the button is down
};

} // namespace kestrun
