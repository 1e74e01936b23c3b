#include "kestrun/ui/list_prompts.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QFileSystemModel>
#include <QMessageBox>
#include <QSortFilterProxyModel>
#include <QStringList>

namespace kestrun {

namespace {

const QString kCaption = QStringLiteral("Kestrun");
const QString kExecutableFilter = QStringLiteral("Executable Files (*)");
const QString kAllFilesFilter = QStringLiteral("All Files (*)");

// Hides the files that do not look executable while the first filter is chosen.
class ExecutableFilter final : public QSortFilterProxyModel {
public:
    using QSortFilterProxyModel::QSortFilterProxyModel;

    void setActive(bool active) {
        active_ = active;
        invalidateFilter();
    }

protected:
    bool filterAcceptsRow(int row, const QModelIndex& parent) const override {
        if (!active_)
            return true;
        const auto* files = qobject_cast<const QFileSystemModel*>(sourceModel());
        if (!files)
            return true;
        return showsAsExecutable(files->fileInfo(files->index(row, 0, parent)));
    }

private:
    bool active_ = true;
};

} // namespace

bool showsAsExecutable(const QFileInfo& file) {
    if (file.isDir())
        return true;
    const QString suffix = file.suffix().toLower();
    return file.isExecutable() || suffix == QLatin1String("exe") || suffix == QLatin1String("jar");
}

void QtListPrompts::message(QWidget* parent, const QString& text, MessageIcon icon) {
    const auto boxIcon = icon == MessageIcon::Stop ? QMessageBox::Critical : QMessageBox::Warning;
    QMessageBox box(boxIcon, kCaption, text, QMessageBox::Ok, parent);
    box.exec();
}

QString QtListPrompts::chooseExecutable(QWidget* parent) {
    QFileDialog dialog(parent);
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    auto* filter = new ExecutableFilter(&dialog);
    dialog.setProxyModel(filter);
    dialog.setNameFilters({kExecutableFilter, kAllFilesFilter});
    QObject::connect(&dialog, &QFileDialog::filterSelected, filter, [filter](const QString& name) {
        filter->setActive(name == kExecutableFilter);
    });
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return {};
    return dialog.selectedFiles().constFirst();
}

QString QtListPrompts::chooseFile(QWidget* parent) {
    return QFileDialog::getOpenFileName(parent, QString(), QString(), kAllFilesFilter);
}

QString QtListPrompts::chooseFolder(QWidget* parent, const QString& title,
                                    const QString& preselected) {
    return QFileDialog::getExistingDirectory(parent, title, preselected, QFileDialog::ShowDirsOnly);
}

} // namespace kestrun
