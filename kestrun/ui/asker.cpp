#include "kestrun/ui/asker.h"

#include <QApplication>
#include <QFileDialog>
#include <QFileInfo>
#include <QFileSystemModel>
#include <QMessageBox>
#include <QSortFilterProxyModel>

namespace kestrun {

namespace {

QString boxTitle() {
    return QApplication::applicationName().isEmpty() ? QStringLiteral("Kestrun")
                                                     : QApplication::applicationName();
}

// Executables here rarely carry an extension, so the first filter of the chooser is decided
// per file rather than by a name pattern.
class ExecutableFilter final : public QSortFilterProxyModel {
public:
    using QSortFilterProxyModel::QSortFilterProxyModel;
    void setExecutablesOnly(bool on) {
        executablesOnly_ = on;
        invalidateFilter();
    }

protected:
    bool filterAcceptsRow(int row, const QModelIndex& parent) const override {
        if (!executablesOnly_)
            return true;
        const auto* files = qobject_cast<const QFileSystemModel*>(sourceModel());
        if (!files)
            return true;
        return showsAsExecutable(files->fileInfo(files->index(row, 0, parent)));
    }

private:
    bool executablesOnly_ = true;
};

} // namespace

bool showsAsExecutable(const QFileInfo& file) {
    if (file.isDir())
        return true;
    const QString suffix = file.suffix().toLower();
    return file.isExecutable() || suffix == QLatin1String("exe") || suffix == QLatin1String("jar");
}

void WidgetAsker::stop(QWidget* parent, const QString& text) {
    QMessageBox box(QMessageBox::Critical, boxTitle(), text, QMessageBox::Ok, parent);
    box.exec();
}

bool WidgetAsker::askYesNo(QWidget* parent, const QString& text) {
    QMessageBox box(QMessageBox::Question, boxTitle(), text, QMessageBox::Yes | QMessageBox::No,
                    parent);
    box.setDefaultButton(QMessageBox::Yes);
    return box.exec() == QMessageBox::Yes;
}

std::optional<QString> WidgetAsker::chooseFolder(QWidget* parent, const QString& title) {
    QFileDialog dialog(parent, title);
    dialog.setFileMode(QFileDialog::Directory);
    dialog.setOption(QFileDialog::ShowDirsOnly, true);
    if (dialog.exec() != QDialog::Accepted)
        return std::nullopt;
    const QStringList picked = dialog.selectedFiles();
    return picked.isEmpty() ? QString() : QDir::cleanPath(picked.front());
}

std::optional<QString> WidgetAsker::chooseExecutable(QWidget* parent) {
    QFileDialog dialog(parent);
    dialog.setFileMode(QFileDialog::ExistingFile);
    // Our own filter needs the widget dialog. The labels stay as the user knows them; the
    // patterns after them let every file through to the filter.
    dialog.setOption(QFileDialog::DontUseNativeDialog, true);
    dialog.setOption(QFileDialog::HideNameFilterDetails, true);
    const QStringList filters{QStringLiteral("Executable Files (*.exe) (*)"),
                              QStringLiteral("All Files (*.*) (*)")};
    dialog.setNameFilters(filters);
    auto* filter = new ExecutableFilter(&dialog);
    dialog.setProxyModel(filter);
    QObject::connect(&dialog, &QFileDialog::filterSelected, filter,
                     [filter, first = filters.front()](const QString& chosen) {
                         filter->setExecutablesOnly(chosen == first);
                     });
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return std::nullopt;
    return dialog.selectedFiles().front();
}

} // namespace kestrun
