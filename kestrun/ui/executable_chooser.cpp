#include "kestrun/ui/executable_chooser.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QFileSystemModel>
#include <QSortFilterProxyModel>
#include <QStringList>

namespace kestrun {

namespace {

// Hides the files that do not look executable while the first filter is chosen.
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

std::optional<QString> chooseExecutableFile(QWidget* parent) {
    QFileDialog dialog(parent);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
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
