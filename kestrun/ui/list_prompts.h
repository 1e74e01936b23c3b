#pragma once

#include <QString>

class QFileDialog;
class QWidget;

namespace kestrun {

enum class MessageIcon {
    Stop,        // input errors
    Exclamation, // the framework's field validation
};

// The message boxes and choosers of the list dialogs, so that tests can answer them.
class ListPrompts {
public:
    virtual ~ListPrompts() = default;
    // A message box with an OK button.
    virtual void message(QWidget* parent, const QString& text, MessageIcon icon) = 0;
    // The chosen file's full path; empty when the choice was cancelled.
    virtual QString chooseExecutable(QWidget* parent) = 0;
    virtual QString chooseFile(QWidget* parent) = 0;
    // The chosen folder; empty when cancelled. `preselected` is opened first when not empty.
    virtual QString chooseFolder(QWidget* parent, const QString& title,
                                 const QString& preselected) = 0;
};

// Readies the backup list's file chooser: one existing file, under the filter "All Files (*.*)",
// whose pattern lets every file through.
void prepareFileChooser(QFileDialog& dialog);
// Readies the folder chooser: folders only, titled, opened at `preselected` when not empty,
// without a way to make, rename or delete a folder.
void prepareFolderChooser(QFileDialog& dialog, const QString& title, const QString& preselected);

// QMessageBox and QFileDialog.
class QtListPrompts final : public ListPrompts {
public:
    void message(QWidget* parent, const QString& text, MessageIcon icon) override;
    QString chooseExecutable(QWidget* parent) override;
    QString chooseFile(QWidget* parent) override;
    QString chooseFolder(QWidget* parent, const QString& title,
                         const QString& preselected) override;
};

} // namespace kestrun
