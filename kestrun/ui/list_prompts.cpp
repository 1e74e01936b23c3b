#include "kestrun/ui/list_prompts.h"

#include "kestrun/ui/executable_chooser.h"

#include <QFileDialog>
#include <QMessageBox>
#include <QStringList>

namespace kestrun {

namespace {

const QString kCaption = QStringLiteral("Kestrun");
} // namespace

void prepareFileChooser(QFileDialog& dialog) {
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    // The label stays as the user knows it; the pattern after it lets every file through.
    dialog.setOption(QFileDialog::DontUseNativeDialog, true);
    dialog.setOption(QFileDialog::HideNameFilterDetails, true);
    dialog.setNameFilters({QStringLiteral("All Files (*.*) (*)")});
}

void QtListPrompts::message(QWidget* parent, const QString& text, MessageIcon icon) {
    const auto boxIcon = icon == MessageIcon::Stop ? QMessageBox::Critical : QMessageBox::Warning;
    QMessageBox box(boxIcon, kCaption, text, QMessageBox::Ok, parent);
    box.exec();
}

QString QtListPrompts::chooseExecutable(QWidget* parent) {
    return chooseExecutableFile(parent).value_or(QString());
}

QString QtListPrompts::chooseFile(QWidget* parent) {
    QFileDialog dialog(parent);
    prepareFileChooser(dialog);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return {};
    return dialog.selectedFiles().front();
}

void prepareFolderChooser(QFileDialog& dialog, const QString& title, const QString& preselected) {
    dialog.setWindowTitle(title);
    dialog.setFileMode(QFileDialog::Directory);
    // Our own dialog, so that no platform chooser brings its button for a new folder back;
    // read-only also leaves out renaming and deleting from its context menu.
    dialog.setOptions(QFileDialog::ShowDirsOnly | QFileDialog::DontUseNativeDialog |
                      QFileDialog::ReadOnly);
    if (auto* newFolder = dialog.findChild<QWidget*>(QStringLiteral("newFolderButton")))
        newFolder->hide();
    if (!preselected.isEmpty())
        dialog.setDirectory(preselected);
}

QString QtListPrompts::chooseFolder(QWidget* parent, const QString& title,
                                    const QString& preselected) {
    QFileDialog dialog(parent);
    prepareFolderChooser(dialog, title, preselected);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return {};
    return dialog.selectedFiles().front();
}

} // namespace kestrun
