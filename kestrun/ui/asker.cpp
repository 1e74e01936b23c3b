#include "kestrun/ui/asker.h"

#include "kestrun/ui/executable_chooser.h"

#include <QApplication>
#include <QFileDialog>
#include <QMessageBox>

namespace kestrun {

namespace {

QString boxTitle() {
    return QApplication::applicationName().isEmpty() ? QStringLiteral("Kestrun")
                                                     : QApplication::applicationName();
}

} // namespace

void WidgetAsker::stop(QWidget* parent, const QString& text) {
    QMessageBox box(QMessageBox::Critical, boxTitle(), text, QMessageBox::Ok, parent);
    box.exec();
}

void WidgetAsker::warn(QWidget* parent, const QString& text) {
    QMessageBox box(QMessageBox::Warning, boxTitle(), text, QMessageBox::Ok, parent);
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
    return chooseExecutableFile(parent);
}

} // namespace kestrun
