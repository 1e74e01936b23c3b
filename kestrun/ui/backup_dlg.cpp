#include "kestrun/ui/backup_dlg.h"

#include "kestrun/ui/attention_icon.h"
#include "kestrun/ui/list_prompts.h"
#include "platform/dialog_template.h"

#include <QAction>
#include <QActionGroup>
#include <QComboBox>
#include <QFile>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenuBar>
#include <QPushButton>

namespace kestrun {

namespace {

const DialogTemplate& backupTemplate() {
    using K = ControlKind;
    static const DialogTemplate tmpl{kBackupCaption,
                                     398,
                                     300,
                                     {
                                         {1000, K::SortedListBox, "", 6, 7, 383, 221},
                                         {0, K::GroupBox, "File or folder:", 7, 236, 383, 28},
                                         {1003, K::ReadOnlyEditLeft, "", 15, 246, 297, 12},
                                         {1004, K::PushButton, "File", 318, 246, 29, 13},
                                         {1007, K::PushButton, "Folder", 353, 246, 29, 13},
                                         {1015, K::DropDownList, "", 7, 278, 126, 76},
                                         {1001, K::PushButton, "Add", 144, 277, 50, 14},
                                         {1002, K::PushButton, "Remove", 197, 277, 50, 14},
                                         {1017, K::StaticCentered, "", 372, 281, 10, 9},
                                     }};
    return tmpl;
}

// Rows of the list keep the form's order, so a row's index is the same in both.
class RowItem final : public QListWidgetItem {
public:
    using QListWidgetItem::QListWidgetItem;
    bool operator<(const QListWidgetItem& other) const override {
        return rowLess(text().toLocal8Bit().toStdString(),
                       other.text().toLocal8Bit().toStdString());
    }
};

template <typename T> T* control(QWidget& window, int id) {
    return window.findChild<T*>(QString::number(id));
}

QString fromPath(const std::string& path) {
    return QFile::decodeName(QByteArray::fromStdString(path));
}
std::string toPath(const QString& path) {
    return QFile::encodeName(path).toStdString();
}

} // namespace

CBackupDlg::CBackupDlg(BackupList& include, BackupList& exclude, ListPrompts& prompts,
                       QWidget* parent)
    : QDialog(parent), form_(include, exclude), prompts_(prompts) {
    setObjectName(QString::number(kTemplateId));
    setTemplateFont(*this);
    // The menu bar lies above the template's client area, as a window menu does.
    auto* menuBar = new QMenuBar(this);
    menuBar->setObjectName(QString::number(kMenuId));
    QMenu* menu = menuBar->addMenu(QStringLiteral("Mode"));
    auto* group = new QActionGroup(this);
    include_ = menu->addAction(QStringLiteral("Backup include"));
    exclude_ = menu->addAction(QStringLiteral("Backup exclude"));
    include_->setObjectName(QString::number(kIncludeCommand));
    exclude_->setObjectName(QString::number(kExcludeCommand));
    for (QAction* action : {include_, exclude_}) {
        action->setCheckable(true);
        group->addAction(action);
    }
    connect(include_, &QAction::triggered, this, [this] { onMode(ListMode::Include); });
    connect(exclude_, &QAction::triggered, this, [this] { onMode(ListMode::Exclude); });

    auto* client = new QWidget(this);
    buildFromTemplate(*client, backupTemplate());
    const int menuHeight = menuBar->sizeHint().height();
    menuBar->setGeometry(0, 0, client->width(), menuHeight);
    client->move(0, menuHeight);
    setFixedSize(client->width(), client->height() + menuHeight);

    list_ = control<QListWidget>(*this, kListId);
    path_ = control<QLineEdit>(*this, kPathId);
    file_ = control<QPushButton>(*this, kFileId);
    mode_ = control<QComboBox>(*this, kModeId);
    icon_ = control<QLabel>(*this, kIconId);
    for (const char* name : kBackupModeNames)
        mode_->addItem(QString::fromUtf8(name));
    mode_->setCurrentIndex(0);

    connect(control<QPushButton>(*this, kAddId), &QPushButton::clicked, this, &CBackupDlg::onAdd);
    connect(control<QPushButton>(*this, kRemoveId), &QPushButton::clicked, this,
            &CBackupDlg::onRemove);
    connect(file_, &QPushButton::clicked, this, &CBackupDlg::onFile);
    connect(control<QPushButton>(*this, kFolderId), &QPushButton::clicked, this,
            &CBackupDlg::onFolder);
    connect(list_, &QListWidget::itemSelectionChanged, this, &CBackupDlg::onSelection);

    showRows();
    showMode();
    applyCaption();
}

void CBackupDlg::readFields() {
    form_.fields().path = toPath(path_->text());
    form_.fields().modeIndex = mode_->currentIndex();
}

void CBackupDlg::showFields() {
    const BackupFields& fields = form_.fields();
    path_->setText(fromPath(fields.path));
    if (fields.modeIndex >= 0 && fields.modeIndex < mode_->count())
        mode_->setCurrentIndex(fields.modeIndex);
}

void CBackupDlg::showRows() {
    const QSignalBlocker blocker(list_);
    list_->clear();
    for (const std::string& row : form_.rows())
        list_->addItem(new RowItem(fromPath(row)));
    if (form_.selectedRow() >= 0)
        list_->setCurrentRow(form_.selectedRow());
}

void CBackupDlg::showMode() {
    const bool include = form_.listMode() == ListMode::Include;
    include_->setChecked(include);
    exclude_->setChecked(!include);
    mode_->setVisible(include);
    file_->setVisible(include);
}

void CBackupDlg::applyCaption() {
    setWindowTitle(QString::fromUtf8(form_.caption()));
    if (form_.warns())
        icon_->setPixmap(attentionIcon(std::min(icon_->width(), icon_->height())));
    else
        icon_->setPixmap(QPixmap());
}

void CBackupDlg::onAdd() {
    readFields();
    const BackupMessage message = form_.add();
    if (message != BackupMessage::None) {
        prompts_.message(this, QString::fromUtf8(backupMessageText(message)), MessageIcon::Stop);
        return;
    }
    showRows();
    applyCaption();
}

void CBackupDlg::onRemove() {
    form_.remove();
    showRows();
    applyCaption();
}

void CBackupDlg::onFile() {
    const QString chosen = prompts_.chooseFile(this);
    if (chosen.isEmpty())
        return;
    form_.fileChosen(toPath(chosen));
    path_->setText(chosen);
}

void CBackupDlg::onFolder() {
    const QString chosen = prompts_.chooseFolder(this, QString::fromUtf8(kFolderTitle),
                                                 fromPath(form_.browseFolder()));
    if (chosen.isEmpty())
        return;
    form_.folderChosen(toPath(chosen));
    path_->setText(fromPath(form_.fields().path));
}

void CBackupDlg::onSelection() {
    const QList<QListWidgetItem*> selected = list_->selectedItems();
    if (form_.selectRow(selected.isEmpty() ? -1 : list_->row(selected.constFirst())))
        showFields();
}

void CBackupDlg::onMode(ListMode mode) {
    form_.switchMode(mode);
    showRows();
    showMode();
}

void CBackupDlg::keyPressEvent(QKeyEvent* event) {
    const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
    if (enter && event->modifiers() == Qt::NoModifier) {
        readFields();
        accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

} // namespace kestrun
