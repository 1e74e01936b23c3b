#include "kestrun/core/kestrun_dlg.h"
#include "kestrun/ui/accept_dlg.h"
#include "kestrun/update/update_routine.h"
#include "platform/autostart.h"
#include "platform/clock.h"
#include "platform/process_table.h"
#include "platform/program_launcher.h"
#include "platform/settings_store.h"
#include "tests/kestrun/update/http_server_peer.h"
#include "tests/support/test_support.h"

#include <QApplication>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTimer>

#include <gtest/gtest.h>

namespace kestrun::test {
namespace {

// The update routine's message opens the acceptance window over the main window; what
// follows depends on the administrator's answers, given here by clicking the windows.
class RoutineWindowsTest : public ::testing::Test {
protected:
    RoutineWindowsTest() {
        writeFile(site_ / "Zelmov5/Zelmo_version_history.html", "<p>Zelmo 5.2.0.119</p>");
        std::filesystem::create_directories(work_);
        window_ = std::make_unique<CKestrunDlg>(
            KestrunContext{clock_, store_, autostart_, processes_, launcher_, work_, false});
        window_->initialize();
        window_->settings().uhttp = server_.origin() + "/Zelmov5"; // the site on loopback
    }

    // Answers each modal window that opens with the function, until the routine returns.
    void runRoutine(const std::function<void(QWidget&)>& answer) {
        QTimer poll;
        QPointer<QWidget> last; // a window at the address of a closed one is new
        QObject::connect(&poll, &QTimer::timeout, [&] {
            QWidget* modal = QApplication::activeModalWidget();
            if (modal && modal != last && modal->isVisible()) {
                last = modal;
                answer(*modal);
            }
        });
        poll.start(20);
        window_->handleMessage(KsnMessage::ServerUpdate);
    }

    ScopedEnv noHttpProxy_{"http_proxy", std::nullopt};
    TempDir site_;
    HttpServerPeer server_{site_.path()};
    TempDir dir_;
    std::filesystem::path work_ = dir_ / "work";
    TestClock clock_{LocalDateTime::fromFields(2026, 3, 14, 9, 0, 0)};
    IniSettingsStore store_{dir_ / "config/Kestrun.conf"};
    AutostartEntry autostart_{dir_ / "xdg/autostart/kestrun.desktop"};
    ProcProcessTable processes_{clock_};
    DetachedProgramLauncher launcher_;
    std::unique_ptr<CKestrunDlg> window_;
    std::vector<std::string> seen_;
};

TEST_F(RoutineWindowsTest, PostponingTheHistoryEndsTheRoutine) {
    runRoutine([this](QWidget& modal) {
        seen_.push_back(modal.windowTitle().toStdString());
        if (auto* accept = qobject_cast<CAcceptDlg*>(&modal))
            accept->findChild<QPushButton*>("2")->click();
        else if (auto* box = qobject_cast<QMessageBox*>(&modal))
            box->reject();
    });
    EXPECT_EQ(seen_, (std::vector<std::string>{"Warning! Please read and accept"}));
    EXPECT_EQ(window_->busyFlag(), 0);
}

TEST_F(RoutineWindowsTest, TheConfirmationIsAStopQuestionWithNoAsDefault) {
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QString defaultText;
    runRoutine([&](QWidget& modal) {
        seen_.push_back(modal.windowTitle().toStdString());
        if (auto* accept = qobject_cast<CAcceptDlg*>(&modal)) {
            // Accepted once the version history is shown, not before.
            const auto clickAccept = [accept] { accept->findChild<QPushButton*>("1")->click(); };
            clickAccept();
            QObject::connect(accept, &CAcceptDlg::historyFetched, accept, clickAccept);
        } else if (auto* box = qobject_cast<QMessageBox*>(&modal)) {
            seen_.push_back(box->text().toStdString());
            icon = box->icon();
            defaultText = box->defaultButton() ? box->defaultButton()->text() : QString();
            box->button(QMessageBox::No)->click();
        }
    });
    ASSERT_EQ(seen_.size(), 3u);
    EXPECT_EQ(seen_[2], UpdateRoutine::kConfirm);
    EXPECT_EQ(icon, QMessageBox::Critical);
    EXPECT_EQ(
        defaultText,
        QMessageBox(QMessageBox::NoIcon, "", "", QMessageBox::No).button(QMessageBox::No)->text());
    for (const ServedRequest& request : server_.requests())
        EXPECT_NE(request.path, "/Zelmov5//ver.txt"); // "No" ends before the manifest
    EXPECT_EQ(window_->busyFlag(), 0);
}

} // namespace
} // namespace kestrun::test
