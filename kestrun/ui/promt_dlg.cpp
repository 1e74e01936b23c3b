#include "kestrun/ui/promt_dlg.h"

#include "kestrun/ui/pictures.h"
#include "platform/dialog_template.h"

#include <QCheckBox>
#include <QGuiApplication>
#include <QLabel>
#include <QPushButton>
#include <QScreen>

namespace kestrun {

namespace {

// Window 140.
const DialogTemplate& promtTemplate() {
    static const DialogTemplate tmpl{
        "Attention please!",
        212,
        138,
        {
            {0, ControlKind::Picture, "", 40, 15, 116, 22},
            {CPromtDlg::kNoticeTextId, ControlKind::StaticMultiLine, "", 38, 41, 132, 56},
            {CPromtDlg::kDoNotInformId, ControlKind::CheckBox,
             "Do not me inform again about this version", 12, 102, 186, 10},
            {1, ControlKind::DefaultPushButton, "\u041e\u041a", 78, 120, 50, 14},
        }};
    return tmpl;
}

} // namespace

CPromtDlg::CPromtDlg(QWidget* owner) : QDialog(owner) {
    setModal(false);
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                   Qt::WindowStaysOnTopHint);
    setTemplateFont(*this);
    buildFromTemplate(*this, promtTemplate());
    // The banner is the only picture of the window; it is drawn to fill its frame.
    for (auto* picture : findChildren<QLabel*>())
        if (picture->objectName().isEmpty())
            picture->setPixmap(noticeBanner(picture->size()));
    auto* ok = findChild<QPushButton*>(QStringLiteral("1"));
    connect(ok, &QPushButton::clicked, this, &CPromtDlg::accept);
}

void CPromtDlg::setNoticeText(const QString& text) {
    noticeText_ = text;
    findChild<QLabel*>(QString::number(kNoticeTextId))->setText(text);
}

void CPromtDlg::showNotice() {
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
    show();
    bringToFront();
}

void CPromtDlg::showAgain() {
    showNormal();
    bringToFront();
}

void CPromtDlg::bringToFront() {
    raise();
    activateWindow();
}

void CPromtDlg::accept() {
    doNotInform_ = findChild<QCheckBox*>(QString::number(kDoNotInformId))->isChecked();
    emit confirmed(doNotInform_);
    QDialog::accept();
}

void CPromtDlg::reject() {}

} // namespace kestrun
