#include "kestrun/ui/routine_windows.h"

#include "kestrun/core/settings.h"
#include "kestrun/ui/accept_dlg.h"

#include <QMessageBox>
#include <QThread>
#include <QWidget>

namespace kestrun {

namespace {

QMessageBox::Icon iconFor(RoutineUser::Symbol symbol) {
    switch (symbol) {
    case RoutineUser::Symbol::Stop:
        return QMessageBox::Critical;
    case RoutineUser::Symbol::Exclamation:
        return QMessageBox::Warning;
    case RoutineUser::Symbol::Question:
        return QMessageBox::Question;
    }
    return QMessageBox::NoIcon;
}

const QString kTitle = QStringLiteral("Kestrun");

} // namespace

RoutineWindows::RoutineWindows(QWidget& owner, const Settings& settings,
                               std::filesystem::path workingFolder, Balloon balloon)
    : owner_(owner), settings_(settings), workingFolder_(std::move(workingFolder)),
      balloon_(std::move(balloon)) {}

bool RoutineWindows::acceptHistory() {
    CAcceptDlg dialog(settings_.uhttp, workingFolder_, &owner_);
    return dialog.exec() == QDialog::Accepted;
}

bool RoutineWindows::askYesNo(const std::string& text, Symbol symbol, bool noIsDefault) {
    QMessageBox box(iconFor(symbol), kTitle, QString::fromStdString(text),
                    QMessageBox::Yes | QMessageBox::No, &owner_);
    box.setDefaultButton(noIsDefault ? QMessageBox::No : QMessageBox::Yes);
    return box.exec() == QMessageBox::Yes;
}

void RoutineWindows::tell(const std::string& text, Symbol symbol) {
    QWidget* owner = &owner_;
    QMetaObject::invokeMethod(
        owner,
        [owner, symbol, text = QString::fromStdString(text)] {
            auto* box = new QMessageBox(iconFor(symbol), kTitle, text, QMessageBox::Ok, owner);
            box->setAttribute(Qt::WA_DeleteOnClose);
            box->open();
        },
        Qt::QueuedConnection);
}

void RoutineWindows::balloon(const std::string& text) {
    QMetaObject::invokeMethod(
        &owner_, [show = balloon_, text] { show(text); }, Qt::QueuedConnection);
}

} // namespace kestrun
