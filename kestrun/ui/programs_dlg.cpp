#include "kestrun/ui/programs_dlg.h"

#include "kestrun/ui/list_prompts.h"
#include "platform/dialog_template.h"

#include <QCheckBox>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPushButton>
#include <QRadioButton>
#include <QTimeEdit>
#include <QTreeWidget>

namespace kestrun {

namespace {

const DialogTemplate& programsTemplate() {
    using K = ControlKind;
    static const DialogTemplate tmpl{
        "Programs",
        491,
        216,
        {
            {1000, K::ListView, "", 14, 12, 286, 112},
            {0, K::GroupBox, "Executable file:", 7, 130, 295, 28},
            {1003, K::ReadOnlyEditLeft, "", 15, 140, 239, 12},
            {1004, K::PushButton, "...", 264, 139, 29, 13},
            {0, K::GroupBox, "Params:", 7, 161, 295, 28},
            {1005, K::Edit, "", 15, 172, 287, 12},
            {1006, K::CheckBox, "Run minimized", 16, 192, 97, 10},
            {0, K::GroupBox, "Scheduler:", 306, 4, 179, 121},
            {1007, K::RadioButton, "Always", 318, 23, 72, 10},
            {1008, K::RadioButton, "Daily:", 318, 42, 90, 10},
            {1010, K::TimeEdit, "HH:mm", 414, 38, 60, 15},
            {1011, K::RadioButton, "Periodically, in minutes:", 318, 61, 90, 10},
            {1013, K::Edit, "", 414, 60, 60, 12},
            {1014, K::CheckBox, "Mon", 318, 86, 24, 10},
            {1015, K::CheckBox, "Tue", 348, 86, 24, 10},
            {1016, K::CheckBox, "Wed", 379, 86, 28, 10},
            {1017, K::CheckBox, "Thu", 413, 86, 24, 10},
            {1018, K::CheckBox, "Fri", 446, 86, 24, 10},
            {1021, K::CheckBox, "Sat", 368, 102, 24, 10},
            {1022, K::CheckBox, "Sun", 402, 102, 24, 10},
            {1001, K::PushButton, "Add", 146, 194, 50, 14},
            {1009, K::PushButton, "Modify", 199, 194, 50, 14},
            {1002, K::PushButton, "Remove", 252, 194, 50, 14},
            {2, K::PushButton, "Close", 434, 194, 50, 14},
        }};
    return tmpl;
}

constexpr int kColumnWidthPx = 300;
const char* const kPeriodInvalid = "Введите положительное целое число.";

template <typename T> T* control(QWidget& window, int id) {
    return window.findChild<T*>(QString::number(id));
}

QString fromLocal(const std::string& text) {
    return QString::fromLocal8Bit(text.data(), static_cast<qsizetype>(text.size()));
}
std::string toLocal(const QString& text) {
    return text.toLocal8Bit().toStdString();
}

} // namespace

CProgramsDlg::CProgramsDlg(ProgramList& programs, const LocalDateTime& now, ListPrompts& prompts,
                           QWidget* parent)
    : QDialog(parent), form_(programs, now), prompts_(prompts) {
    setObjectName(QString::number(kTemplateId));
    setTemplateFont(*this);
    buildFromTemplate(*this, programsTemplate());
    list_ = control<QTreeWidget>(*this, kListId);
    path_ = control<QLineEdit>(*this, kPathId);
    params_ = control<QLineEdit>(*this, kParamsId);
    minimised_ = control<QCheckBox>(*this, kMinimisedId);
    always_ = control<QRadioButton>(*this, kAlwaysId);
    daily_ = control<QRadioButton>(*this, kDailyId);
    periodic_ = control<QRadioButton>(*this, kPeriodicId);
    time_ = control<QTimeEdit>(*this, kTimeId);
    period_ = control<QLineEdit>(*this, kPeriodId);
    for (int day = 0; day < 7; ++day)
        weekdays_[day] = control<QCheckBox>(*this, kWeekdayIds[day]);

    list_->setColumnWidth(0, kColumnWidthPx);
    list_->viewport()->installEventFilter(this);
    connect(list_, &QTreeWidget::itemChanged, this, &CProgramsDlg::onItemChanged);
    connect(list_, &QTreeWidget::itemSelectionChanged, this, &CProgramsDlg::onSelectionChanged);
    connect(control<QPushButton>(*this, kAddId), &QPushButton::clicked, this, &CProgramsDlg::onAdd);
    connect(control<QPushButton>(*this, kModifyId), &QPushButton::clicked, this,
            &CProgramsDlg::onModify);
    connect(control<QPushButton>(*this, kRemoveId), &QPushButton::clicked, this,
            &CProgramsDlg::onRemove);
    connect(control<QPushButton>(*this, kBrowseId), &QPushButton::clicked, this,
            &CProgramsDlg::onBrowse);
    connect(control<QPushButton>(*this, 2), &QPushButton::clicked, this, &QDialog::reject);
    connect(always_, &QRadioButton::clicked, this, [this] { onScheduler(Scheduler::Always); });
    connect(daily_, &QRadioButton::clicked, this, [this] { onScheduler(Scheduler::Daily); });
    connect(periodic_, &QRadioButton::clicked, this,
            [this] { onScheduler(Scheduler::Periodically); });

    showRows();
    showSelection();
    showFields();
}

bool CProgramsDlg::readFields() {
    const auto period = parsePeriod(toLocal(period_->text()));
    if (!period) {
        prompts_.message(this, QString::fromUtf8(kPeriodInvalid), MessageIcon::Exclamation);
        period_->setFocus();
        period_->selectAll();
        return false;
    }
    ProgramFields& fields = form_.fields();
    fields.path = toLocal(path_->text());
    fields.parameters = toLocal(params_->text());
    fields.minimised = minimised_->isChecked();
    for (int day = 0; day < 7; ++day)
        fields.weekdays[static_cast<std::size_t>(day)] = weekdays_[day]->isChecked();
    const QTime time = time_->time();
    fields.hour = time.hour();
    fields.minute = time.minute();
    fields.second = time.second();
    fields.period = *period;
    return true;
}

void CProgramsDlg::showFields() {
    const ProgramFields& fields = form_.fields();
    path_->setText(fromLocal(fields.path));
    params_->setText(fromLocal(fields.parameters));
    minimised_->setChecked(fields.minimised);
    for (int day = 0; day < 7; ++day)
        weekdays_[day]->setChecked(fields.weekdays[static_cast<std::size_t>(day)]);
    time_->setTime(QTime(fields.hour, fields.minute, fields.second));
    period_->setText(QString::number(fields.period));
}

void CProgramsDlg::showScheduler() {
    switch (form_.scheduler()) {
    case Scheduler::Always:
        always_->setChecked(true);
        break;
    case Scheduler::Daily:
        daily_->setChecked(true);
        break;
    case Scheduler::Periodically:
        periodic_->setChecked(true);
        break;
    case Scheduler::None:
        break;
    }
    const ScheduleControls& enabled = form_.enabled();
    for (QCheckBox* day : weekdays_)
        day->setEnabled(enabled.weekdays);
    time_->setEnabled(enabled.time);
    period_->setEnabled(enabled.period);
}

void CProgramsDlg::showRows() {
    const QSignalBlocker blocker(list_);
    const auto& rows = form_.rows();
    const int count = static_cast<int>(rows.size());
    while (list_->topLevelItemCount() > count)
        delete list_->takeTopLevelItem(list_->topLevelItemCount() - 1);
    while (list_->topLevelItemCount() < count)
        list_->addTopLevelItem(new QTreeWidgetItem(list_));
    for (int row = 0; row < count; ++row) {
        QTreeWidgetItem* item = list_->topLevelItem(row);
        const ProgramRow& shown = rows[static_cast<std::size_t>(row)];
        item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable);
        item->setText(0, fromLocal(shown.text));
        item->setCheckState(0, shown.checked ? Qt::Checked : Qt::Unchecked);
    }
}

void CProgramsDlg::report(FormMessage message) {
    if (message != FormMessage::None)
        prompts_.message(this, fromLocal(formMessageText(message)), MessageIcon::Stop);
}

void CProgramsDlg::onAdd() {
    if (!readFields())
        return;
    report(form_.add());
    showRows();
    showSelection();
}

void CProgramsDlg::onModify() {
    if (form_.selectedRow() == -1)
        return;
    if (!readFields())
        return;
    report(form_.modify());
    showRows();
    showSelection();
}

void CProgramsDlg::onRemove() {
    form_.remove();
    showRows();
    showSelection();
    // The row that moved into the place is shown as a click shows it.
    if (form_.clickRow(form_.selectedRow())) {
        showScheduler();
        showFields();
    }
}

void CProgramsDlg::showSelection() {
    const QSignalBlocker blocker(list_);
    if (QTreeWidgetItem* item = list_->topLevelItem(form_.selectedRow())) {
        list_->setCurrentItem(item);
        return;
    }
    list_->clearSelection();
    list_->setCurrentItem(nullptr);
}

// The keyboard moved the selection: the newly selected row is loaded as a click loads it, so
// the row drawn is always the one Modify and Remove act on.
void CProgramsDlg::onSelectionChanged() {
    if (mouseDown_)
        return;
    const QList<QTreeWidgetItem*> selected = list_->selectedItems();
    const int row = selected.isEmpty() ? -1 : list_->indexOfTopLevelItem(selected.front());
    if (row == form_.selectedRow())
        return;
    if (form_.clickRow(row)) {
        showScheduler();
        showFields();
    }
}

void CProgramsDlg::onBrowse() {
    const QString chosen = prompts_.chooseExecutable(this);
    if (chosen.isEmpty())
        return;
    path_->setText(chosen);
    form_.fields().path = toLocal(chosen);
}

void CProgramsDlg::onScheduler(Scheduler choice) {
    form_.chooseScheduler(choice);
    showScheduler();
}

void CProgramsDlg::onItemChanged(QTreeWidgetItem* item) {
    form_.setRowChecked(list_->indexOfTopLevelItem(item), item->checkState(0) == Qt::Checked);
}

bool CProgramsDlg::eventFilter(QObject* watched, QEvent* event) {
    if (watched == list_->viewport() &&
        (event->type() == QEvent::MouseButtonPress || event->type() == QEvent::MouseButtonDblClick))
        mouseDown_ = true;
    if (watched == list_->viewport() && (event->type() == QEvent::MouseButtonRelease ||
                                         event->type() == QEvent::MouseButtonDblClick)) {
        const auto* mouse = static_cast<QMouseEvent*>(event);
        QTreeWidgetItem* item = list_->itemAt(mouse->position().toPoint());
        const int row = item ? list_->indexOfTopLevelItem(item) : -1;
        if (mouse->button() == Qt::RightButton) {
            form_.pickRow(row);
        } else if (mouse->button() == Qt::LeftButton &&
                   event->type() == QEvent::MouseButtonRelease) {
            if (form_.clickRow(row)) {
                showScheduler();
                showFields();
            }
        }
    }
    if (watched == list_->viewport() && event->type() == QEvent::MouseButtonRelease)
        // The view handles the release after this filter and may select there: the form's row
        // is drawn once it has.
        QMetaObject::invokeMethod(
            this,
            [this] {
                mouseDown_ = false;
                showSelection();
            },
            Qt::QueuedConnection);
    return QDialog::eventFilter(watched, event);
}

void CProgramsDlg::keyPressEvent(QKeyEvent* event) {
    const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
    if (enter && event->modifiers() == Qt::NoModifier) {
        if (readFields())
            accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

} // namespace kestrun
