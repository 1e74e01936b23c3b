#include "kestrun/core/kestrun_dlg.h"
#include "kestrun/ui/promt_dlg.h"
#include "platform/autostart.h"
#include "platform/process_table.h"
#include "platform/program_launcher.h"
#include "platform/settings_store.h"
#include "tests/kestrun/update/version_copy.h"
#include "tests/kestrun/update/web_fixture.h"
#include "tests/support/qt_app.h"

#include <QCheckBox>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>

namespace kestrun::test {
namespace {

QCheckBox& box(QWidget& window, int id) {
    auto* found = window.findChild<QCheckBox*>(QString::number(id));
    if (!found)
        throw std::runtime_error("no check box " + std::to_string(id));
    return *found;
}

QPushButton& okButton(QWidget& window) {
    auto* found = window.findChild<QPushButton*>(QStringLiteral("1"));
    if (!found)
        throw std::runtime_error("no OK button");
    return *found;
}

void press(QWidget& window, int key) {
    QKeyEvent down(QEvent::KeyPress, key, Qt::NoModifier);
    QCoreApplication::sendEvent(&window, &down);
}

TEST(PromtDlgTest, ShowsItsTextAndOnlyOkClosesIt) {
    qtApp();
    CPromtDlg notice;
    notice.setNoticeText(QStringLiteral("New version of ZML was realised: 5.2.0.119.\nPlease "
                                        "inform Your software administrator as soon as "
                                        "possible!\n\nThanks! KSN developing team."));
    EXPECT_EQ(notice.windowTitle(), QStringLiteral("Attention please!"));
    EXPECT_TRUE(notice.windowFlags().testFlag(Qt::WindowStaysOnTopHint));
    EXPECT_FALSE(notice.isModal());
    auto* text = notice.findChild<QLabel*>(QString::number(CPromtDlg::kNoticeTextId));
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(text->text(), notice.noticeText());
    // The whole notice fits its frame, wrapped at words.
    EXPECT_LE(text->heightForWidth(text->width()), text->height());
    QCheckBox& doNotInform = box(notice, CPromtDlg::kDoNotInformId);
    EXPECT_EQ(doNotInform.text(), QStringLiteral("Do not me inform again about this version"));
    EXPECT_LE(doNotInform.sizeHint().width(), doNotInform.width());
    EXPECT_EQ(okButton(notice).text(), QString::fromUtf8("\xD0\x9E\xD0\x9A"));
    EXPECT_TRUE(okButton(notice).isDefault());

    std::vector<bool> confirmed;
    QObject::connect(&notice, &CPromtDlg::confirmed,
                     [&](bool silence) { confirmed.push_back(silence); });
    notice.showNotice();
    ASSERT_TRUE(notice.isVisible());
    press(notice, Qt::Key_Escape);
    EXPECT_TRUE(notice.isVisible()) << "Esc";
    notice.close();
    EXPECT_TRUE(notice.isVisible()) << "the close box";
    EXPECT_TRUE(confirmed.empty());

    doNotInform.setChecked(true);
    okButton(notice).click();
    EXPECT_FALSE(notice.isVisible());
    EXPECT_EQ(confirmed, std::vector<bool>{true});
    EXPECT_TRUE(notice.doNotInform());
}

// The main window runs the check on its own settings when the heartbeat's message arrives.
class NoticeWindowTest : public WebFixture {
protected:
    NoticeWindowTest() {
        qtApp();
        startSite();
        installBuilt("kbm", version(5, 2, 0, 118), work_ / "Zelmo_serv.exe");
        window_.settings() = settings_;
        window_.settings().ufile = (work_ / "Zelmo_serv.exe").string();
    }
    void offer(const std::string& v) { publish("Zelmov5/ver.txt", "Zelmo:" + v + "\r\n"); }
    void notice() {
        window_.handleMessage(KsnMessage::NewVersionNotice);
        QCoreApplication::processEvents(); // a confirmed window deletes itself later
    }
    // The first line of the open notice: "New version of ZML was realised: 5.2.0.119."
    QString shownVersion() {
        CPromtDlg* open = window_.noticeWindow();
        return open ? open->noticeText().section('\n', 0, 0).section(' ', 6) : QString();
    }
    void confirm(bool doNotInform) {
        CPromtDlg* open = window_.noticeWindow();
        ASSERT_NE(open, nullptr);
        box(*open, CPromtDlg::kDoNotInformId).setChecked(doNotInform);
        okButton(*open).click();
        QCoreApplication::processEvents();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    int noticeWindows() const {
        return static_cast<int>(window_.findChildren<CPromtDlg*>().size());
    }

    TempDir other_;
    IniSettingsStore store_{other_ / "Kestrun.conf"};
    AutostartEntry autostart_{other_ / "autostart/kestrun.desktop"};
    ProcProcessTable processes_{clock_};
    DetachedProgramLauncher launcher_;
    CKestrunDlg window_{
        KestrunContext{clock_, store_, autostart_, processes_, launcher_, work_.path(), false}};
};

TEST_F(NoticeWindowTest, ALaterCheckBringsTheOpenNoticeBackWithItsOldText) {
    offer("5.2.0.119");
    notice();
    CPromtDlg* first = window_.noticeWindow();
    ASSERT_NE(first, nullptr);
    EXPECT_TRUE(first->isVisible());
    EXPECT_EQ(shownVersion(), QStringLiteral("5.2.0.119."));
    first->showMinimized();
    first->hide();
    offer("5.2.0.120");
    notice();
    EXPECT_EQ(window_.noticeWindow(), first);
    EXPECT_EQ(noticeWindows(), 1);
    EXPECT_TRUE(first->isVisible());
    EXPECT_FALSE(first->isMinimized());
    EXPECT_EQ(shownVersion(), QStringLiteral("5.2.0.119."));
    EXPECT_EQ(window_.noticeVersions().newestAnnounced, "5.2.0.120");
}

TEST_F(NoticeWindowTest, TheBoxSilencesTheNewestVersionForThisRun) {
    offer("5.2.0.119");
    notice();
    confirm(false); // box cleared: the same version comes again
    EXPECT_EQ(window_.noticeWindow(), nullptr);
    EXPECT_EQ(noticeWindows(), 0);
    EXPECT_EQ(window_.noticeVersions().silenced, "");
    notice();
    EXPECT_EQ(shownVersion(), QStringLiteral("5.2.0.119."));

    confirm(true);
    EXPECT_EQ(window_.noticeVersions().silenced, "5.2.0.119");
    notice();
    EXPECT_EQ(window_.noticeWindow(), nullptr);
    EXPECT_EQ(noticeWindows(), 0);

    offer("5.2.0.120");
    notice();
    EXPECT_EQ(shownVersion(), QStringLiteral("5.2.0.120."));
    EXPECT_EQ(noticeWindows(), 1);
}

} // namespace
} // namespace kestrun::test
