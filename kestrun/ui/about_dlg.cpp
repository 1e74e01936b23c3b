#include "kestrun/ui/about_dlg.h"

#include "kestrun/core/settings.h"
#include "platform/dialog_template.h"

#include <QCheckBox>
#include <QLabel>
#include <QPushButton>

namespace kestrun {

namespace {

constexpr int kIconPixels = 40;

// Window 100.
const DialogTemplate& aboutTemplate() {
    static const DialogTemplate tmpl{
        "About Kestrun",
        206,
        126,
        {
            {0, ControlKind::Picture, "", 14, 14, 20, 20},
            {0, ControlKind::StaticLeft, CAboutDlg::versionText().toStdString(), 42, 14, 114, 8},
            {CAboutDlg::kUpdateId, ControlKind::CheckBox, "Update program automatically", 42, 84,
             125, 10},
            {1, ControlKind::DefaultPushButton, "\u041e\u041a", 75, 102, 50, 14},
        }};
    return tmpl;
}

} // namespace

QString CAboutDlg::versionText() {
    return QStringLiteral("Kestrun, version " KESTRUN_VERSION_TEXT);
}

CAboutDlg::CAboutDlg(Settings& settings, SettingsStore& store, const QIcon& programIcon,
                     QWidget* parent)
    : QDialog(parent), settings_(settings), store_(store) {
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    setTemplateFont(*this);
    buildFromTemplate(*this, aboutTemplate());
    // The icon keeps its own size, as an icon control does, from its frame's top left.
    for (auto* picture : findChildren<QLabel*>())
        if (picture->objectName().isEmpty() && picture->text().isEmpty()) {
            picture->setAlignment(Qt::AlignLeft | Qt::AlignTop);
            picture->resize(kIconPixels, kIconPixels);
            picture->setPixmap(programIcon.pixmap(kIconPixels, kIconPixels));
        }
    findChild<QCheckBox*>(QString::number(kUpdateId))->setChecked(settings_.update != 0);
    connect(findChild<QPushButton*>(QStringLiteral("1")), &QPushButton::clicked, this,
            &CAboutDlg::accept);
}

void CAboutDlg::accept() {
    const bool update = findChild<QCheckBox*>(QString::number(kUpdateId))->isChecked();
    settings_.saveUpdate(store_, update ? 1 : 0); // a store that cannot be written is not reported
    QDialog::accept();
}

} // namespace kestrun
