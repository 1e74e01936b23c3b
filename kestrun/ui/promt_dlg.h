#pragma once

#include <QDialog>
#include <QString>

namespace kestrun {

// The new-version notice: a modeless window with a banner, the notice text, the check box
// "Do not me inform again about this version" and an OK button. Only OK closes it; Esc and
// the close box leave it open. It stays on top of other windows.
class CPromtDlg : public QDialog {
    Q_OBJECT
public:
    static constexpr int kTemplateId = 140;
    static constexpr int kNoticeTextId = 1016;
    static constexpr int kDoNotInformId = 1012;

    explicit CPromtDlg(QWidget* owner = nullptr);

    void setNoticeText(const QString& text);
    QString noticeText() const { return noticeText_; }
    // The check box as read back when OK was pressed.
    bool doNotInform() const { return doNotInform_; }

    // Shows the window for the first time: centred on the screen, in front, active.
    void showNotice();
    // Shows an open (perhaps minimised or hidden) notice again in its normal state, in front.
    void showAgain();

    void accept() override; // OK: reads the box back, reports it and closes
    void reject() override; // Esc, the close box: the notice stays

signals:
    // OK was pressed; the window closes right after.
    void confirmed(bool doNotInform);

private:
    void bringToFront();

    QString noticeText_;
    bool doNotInform_ = false;
};

} // namespace kestrun
