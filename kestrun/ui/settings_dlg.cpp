#include "kestrun/ui/settings_dlg.h"

#include "kestrun/core/settings.h"
#include "kestrun/ui/asker.h"
#include "platform/dialog_template.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalBlocker>

#include <algorithm>

namespace kestrun {

using namespace settings_ids;

const DialogTemplate& CSettingsDlg::windowTemplate() {
    using K = ControlKind;
    static const DialogTemplate tmpl{
        "Settings",
        323,
        278,
        {
            {0, K::GroupBox, "Programs monitoring:", 7, 7, 309, 31},
            {0, K::StaticLeft, "Manual delay, min:", 17, 20, 86, 8},
            {kDelay, K::Edit, "", 116, 18, 54, 12},
            {0, K::GroupBox, "Backup:", 3, 41, 313, 90},
            {0, K::StaticLeft, "Period, h / Autodelete, d:", 17, 53, 95, 8},
            {kPeriod, K::Edit, "", 116, 51, 76, 12},
            {kAutodelete, K::Edit, "", 196, 51, 76, 12},
            {kToFolder, K::RadioButton, "Destination folder", 17, 69, 83, 10},
            {kPath, K::Edit, "", 116, 67, 159, 12},
            {kBrowsePath, K::PushButton, "...", 279, 66, 30, 13},
            {kToFtp, K::RadioButton, "Destination FTP server", 17, 85, 92, 10},
            {kHost, K::Edit, "", 116, 83, 159, 12},
            {kPort, K::Edit, "", 279, 83, 29, 12},
            {0, K::StaticLeft, "User name / pass:", 17, 101, 86, 8},
            {kUser, K::Edit, "", 116, 99, 75, 12},
            {kPassword, K::Edit, "", 196, 99, 79, 12},
            {kPassive, K::CheckBox, "Passive mode", 17, 114, 62, 10},
            {0, K::GroupBox, "ZLM update engine:", 5, 135, 309, 121},
            {0, K::StaticLeft, "Operation mode:", 17, 145, 86, 8},
            {kUmode, K::DropDownList, "", 116, 142, 158, 59},
            {0, K::StaticLeft, "Host / port:", 17, 160, 86, 8},
            {kUhost, K::Edit, "", 116, 159, 159, 12},
            {kUport, K::Edit, "", 279, 159, 29, 12},
            {0, K::StaticLeft, "Web path:", 17, 176, 86, 8},
            {kUhttp, K::Edit, "", 116, 175, 159, 12},
            {0, K::StaticLeft, "Executable 1:", 17, 193, 86, 8},
            {kUfile, K::ReadOnlyEditLeft, "", 116, 192, 159, 12},
            {kBrowseUfile, K::PushButton, "...", 279, 191, 30, 13},
            {0, K::StaticLeft, "Executable 2:", 17, 210, 86, 8},
            {kUfile2, K::ReadOnlyEditLeft, "", 116, 208, 159, 12},
            {kBrowseUfile2, K::PushButton, "...", 279, 208, 30, 13},
            {0, K::StaticLeft, "Check / alert time, s:", 17, 227, 86, 8},
            {kUpull, K::Edit, "", 116, 225, 75, 12},
            {kUpost, K::Edit, "", 196, 225, 79, 12},
            {0, K::StaticLeft, "New versions promt, h:", 17, 244, 86, 8},
            {kPromt, K::Edit, "", 116, 240, 75, 12},
            {1, K::DefaultPushButton, "OK", 212, 260, 50, 14},
            {2, K::PushButton, "Cancel", 266, 260, 50, 14},
        }};
    return tmpl;
}

CSettingsDlg::CSettingsDlg(Settings& settings, Asker& asker, QWidget* parent)
    : QDialog(parent), settings_(settings), asker_(asker), form_(*this) {
    setTemplateFont(*this);
    buildFromTemplate(*this, windowTemplate());
    for (const ControlSpec& item : windowTemplate().controls)
        if (item.id != 0)
            controls_[item.id] = findChild<QWidget*>(QString::number(item.id));

    // Radio buttons and check boxes draw a larger mark than the template allowed for: they may
    // grow up to the column of the edits.
    const int editColumn = dialogUnitsToPixelsX(116) - 2;
    for (int id : {kToFolder, kToFtp, kPassive}) {
        QWidget* box = control(id);
        box->setStyleSheet(QStringLiteral("spacing: 3px"));
        const int wanted = std::max(box->width(), box->sizeHint().width());
        box->resize(std::min(wanted, editColumn - box->x()), box->height());
    }

    auto* mode = static_cast<QComboBox*>(control(kUmode));
    mode->addItems({QStringLiteral("Disabled"), QStringLiteral("Update server"),
                    QStringLiteral("Update client"), QStringLiteral("Update server and client")});
    auto button = [this](int id) { return static_cast<QAbstractButton*>(control(id)); };
    connect(button(1), &QAbstractButton::clicked, this, &CSettingsDlg::onOk);
    connect(button(2), &QAbstractButton::clicked, this, &QDialog::reject);
    connect(button(kToFolder), &QAbstractButton::clicked, this,
            [this] { form_.chooseDestination(true); });
    connect(button(kToFtp), &QAbstractButton::clicked, this,
            [this] { form_.chooseDestination(false); });
    connect(button(kBrowsePath), &QAbstractButton::clicked, this, &CSettingsDlg::chooseFolder);
    connect(button(kBrowseUfile), &QAbstractButton::clicked, this,
            [this] { chooseExecutable(kUfile); });
    connect(button(kBrowseUfile2), &QAbstractButton::clicked, this,
            [this] { chooseExecutable(kUfile2); });
    connect(mode, &QComboBox::currentIndexChanged, this, [this] { form_.modeChanged(); });

    form_.open(settings_);
}

QWidget* CSettingsDlg::control(int id) const {
    const auto it = controls_.find(id);
    return it == controls_.end() ? nullptr : it->second;
}

void CSettingsDlg::onOk() {
    if (form_.accept(settings_))
        accept();
}

void CSettingsDlg::chooseFolder() {
    if (const auto folder = asker_.chooseFolder(this, QString::fromUtf8(kFolderChooserTitle)))
        setText(kPath, folder->toStdString());
}

void CSettingsDlg::chooseExecutable(int field) {
    if (const auto file = asker_.chooseExecutable(this))
        setText(field, file->toStdString());
}

std::string CSettingsDlg::text(int id) const {
    const auto* edit = qobject_cast<const QLineEdit*>(control(id));
    return edit ? edit->text().toStdString() : std::string();
}

void CSettingsDlg::setText(int id, const std::string& text) {
    if (auto* edit = qobject_cast<QLineEdit*>(control(id)))
        edit->setText(QString::fromStdString(text));
}

bool CSettingsDlg::checked(int id) const {
    const auto* button = qobject_cast<const QAbstractButton*>(control(id));
    return button && button->isChecked();
}

void CSettingsDlg::setChecked(int id, bool on) {
    if (auto* button = qobject_cast<QAbstractButton*>(control(id))) {
        // Both radio buttons of a group may be cleared for a moment.
        const bool exclusive = button->autoExclusive();
        button->setAutoExclusive(false);
        button->setChecked(on);
        button->setAutoExclusive(exclusive);
    }
}

int CSettingsDlg::selection(int id) const {
    const auto* list = qobject_cast<const QComboBox*>(control(id));
    return list ? list->currentIndex() : -1;
}

void CSettingsDlg::setSelection(int id, int index) {
    if (auto* list = qobject_cast<QComboBox*>(control(id))) {
        const QSignalBlocker quiet(list); // only the user's choice applies the mode's rule
        list->setCurrentIndex(index >= 0 && index < list->count() ? index : -1);
    }
}

void CSettingsDlg::setEnabled(int id, bool on) {
    if (QWidget* widget = control(id))
        widget->setEnabled(on);
}

void CSettingsDlg::refuse(int id, const std::string& message) {
    asker_.warn(this, QString::fromStdString(message));
    if (QWidget* widget = control(id)) {
        widget->setFocus(Qt::OtherFocusReason);
        if (auto* edit = qobject_cast<QLineEdit*>(widget))
            edit->selectAll();
    }
}

} // namespace kestrun
