#include "kestrun/ui/list_prompts.h"

#include "kestrun/ui/executable_chooser.h"

#include <QFileDialog>
#include <QMessageBox>
#include <QStringList>

namespace kestrun {

namespace {

const QString kCaption = QStringLiteral("Kestrun");
const QString kAllFilesFilter = QStringLiteral("All Files (*)");

} // namespace

void QtListPrompts::message(QWidget* parent, const QString& text, MessageIcon icon) {
    const auto boxIcon = icon == MessageIcon::Stop ? QMessageBox::Critical : QMessageBox::Warning;
    QMessageBox box(boxIcon, kCaption, text, QMessageBox::Ok, parent);
    box.exec();
}

QString QtListPrompts::chooseExecutable(QWidget* parent) {
    return chooseExecutableFile(parent).value_or(QString());
}

QString QtListPrompts::chooseFile(QWidget* parent) {
    return QFileDialog::getOpenFileName(parent, QString(), QString(), kAllFilesFilter);
}

QString QtListPrompts::chooseFolder(QWidget* parent, const QString& title,
                                    const QString& preselected) {
    return QFileDialog::getExistingDirectory(parent, title, preselected, QFileDialog::ShowDirsOnly);
}

} // namespace kestrun
