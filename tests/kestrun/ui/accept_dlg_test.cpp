#include "kestrun/ui/accept_dlg.h"
#include "platform/dialog_template.h"
#include "tests/kestrun/update/http_server_peer.h"
#include "tests/support/test_support.h"

#include <QApplication>
#include <QMouseEvent>
#include <QPushButton>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextBrowser>
#include <QTimer>

#include <gtest/gtest.h>

namespace kestrun::test {
namespace {

namespace fs = std::filesystem;

// The acceptance window against the web test server on loopback.
class AcceptDlgTest : public ::testing::Test {
protected:
    AcceptDlgTest() : server_(site_.path()) {}

    std::string uhttp() const { return server_.origin() + "/Zelmov5"; }
    void publishHistory(const std::string& html) {
        writeFile(site_ / "Zelmov5/Zelmo_version_history.html", html);
    }
    // Waits (serving events) until the fetch has ended; true when the page was shown.
    static bool waitForHistory(CAcceptDlg& dialog) {
        bool ended = false, shown = false;
        QObject::connect(&dialog, &CAcceptDlg::historyFetched, [&](bool s) {
            ended = true;
            shown = s;
        });
        waitUntil([&] {
            QApplication::processEvents();
            return ended;
        });
        return shown;
    }
    // Clicks the middle of the first character of the text in the browser.
    static void clickText(CAcceptDlg& dialog, const QString& text) {
        QTextBrowser& browser = dialog.browser();
        QTextCursor found = browser.document()->find(text);
        ASSERT_FALSE(found.isNull()) << text.toStdString();
        found.setPosition(found.selectionStart() + 1);
        const QPoint at = browser.cursorRect(found).center() - QPoint(2, 0);
        QWidget* viewport = browser.viewport();
        const QPointF local(at);
        const QPointF global(viewport->mapToGlobal(at));
        QMouseEvent press(QEvent::MouseButtonPress, local, global, Qt::LeftButton, Qt::LeftButton,
                          Qt::NoModifier);
        QMouseEvent release(QEvent::MouseButtonRelease, local, global, Qt::LeftButton, Qt::NoButton,
                            Qt::NoModifier);
        QApplication::sendEvent(viewport, &press);
        QApplication::sendEvent(viewport, &release);
    }

    ScopedEnv noHttpProxy_{"http_proxy", std::nullopt};
    TempDir site_;
    TempDir work_;
    HttpServerPeer server_;
};

TEST_F(AcceptDlgTest, IsBuiltFromItsTemplateAndFetchesTheHistoryFresh) {
    ASSERT_NE(server_.port(), 0);
    publishHistory("<html><body><h1>Zelmo 5.2.0.119</h1><p>Faster invoices.</p></body></html>");
    CAcceptDlg dialog(uhttp(), work_.path());
    EXPECT_EQ(dialog.windowTitle(), "Warning! Please read and accept");
    EXPECT_EQ(dialog.size(), QSize(531, 370));
    auto* accept = dialog.findChild<QPushButton*>("1");
    auto* postpone = dialog.findChild<QPushButton*>("2");
    ASSERT_TRUE(accept && postpone);
    EXPECT_EQ(accept->text(), "I read and accept");
    EXPECT_TRUE(accept->isDefault());
    EXPECT_EQ(postpone->text(), "Postpone");
    EXPECT_EQ(accept->geometry(), QRect(297, 325, 129, 22));
    // Until the page arrives the placeholder offers only to postpone.
    EXPECT_FALSE(dialog.historyShown());
    EXPECT_TRUE(dialog.browser().toPlainText().contains("Postpone"));
    EXPECT_FALSE(dialog.browser().toPlainText().contains("accept"));
    EXPECT_FALSE(accept->isEnabled());
    // Its text is set in the font of the other windows.
    QWidget other;
    kestrun::setTemplateFont(other);
    EXPECT_EQ(dialog.browser().document()->defaultFont(), other.font());

    ASSERT_TRUE(waitForHistory(dialog));
    EXPECT_TRUE(dialog.historyShown());
    EXPECT_TRUE(accept->isEnabled());
    EXPECT_EQ(dialog.browser().toPlainText(), "Zelmo 5.2.0.119\nFaster invoices.");
    const auto requests = server_.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].path, "/Zelmov5/Zelmo_version_history.html");
    EXPECT_EQ(requests[0].headers.at("cache-control"), "no-cache");
}

// Nothing can be accepted before the version history is shown: a page that cannot be fetched
// shows the address and the reason instead, and only Postpone answers.
TEST_F(AcceptDlgTest, APageThatCannotBeFetchedShowsWhyAndOffersNoAccept) {
    struct Case {
        std::string uhttp;
        QString reason;
    };
    const Case cases[] = {
        {"http://127.0.0.1:1/Zelmov5", "connect"},
        {uhttp(), "The server answered with status 404."}, // nothing published
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.uhttp);
        CAcceptDlg dialog(c.uhttp, work_.path());
        dialog.show();
        EXPECT_FALSE(waitForHistory(dialog));
        const QString shown = dialog.browser().toPlainText();
        EXPECT_TRUE(shown.contains(QString::fromStdString(c.uhttp) + "/Zelmo_version_history.html"))
            << shown.toStdString();
        EXPECT_TRUE(shown.contains(c.reason, Qt::CaseInsensitive)) << shown.toStdString();
        EXPECT_FALSE(shown.contains("I read and accept"));
        EXPECT_FALSE(dialog.findChild<QPushButton*>("1")->isEnabled());
        dialog.accept(); // Enter, or a page link, cannot accept either
        EXPECT_TRUE(dialog.isVisible());
        clickText(dialog, QStringLiteral("Postpone"));
        EXPECT_EQ(dialog.result(), QDialog::Rejected);
    }
}

TEST_F(AcceptDlgTest, PageButtonsActAsTheWindowsButtons) {
    struct Case {
        const char* link;
        const char* text;
        int result; // -1: still open
    };
    const Case cases[] = {
        {R"(<a href="#ButtonOK">)", "Take it", QDialog::Accepted},
        {R"(<a id="ButtonOK" href="go.html">)", "Take it", QDialog::Accepted},
        {R"(<a href="#ButtonCancel">)", "Later", QDialog::Rejected},
        {R"(<a href="other.html">)", "Elsewhere", -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.link);
        publishHistory(std::string("<html><body><p>History</p><p>") + c.link + c.text +
                       "</a></p></body></html>");
        CAcceptDlg dialog(uhttp(), work_.path());
        dialog.show();
        ASSERT_TRUE(waitForHistory(dialog));
        bool finished = false;
        QObject::connect(&dialog, &QDialog::finished, [&] { finished = true; });
        clickText(dialog, QString::fromLatin1(c.text));
        QApplication::processEvents();
        EXPECT_EQ(finished, c.result != -1);
        if (c.result != -1) {
            EXPECT_EQ(dialog.result(), c.result);
        }
    }
    EXPECT_EQ(pageButtonFor(QUrl("ButtonCancel")), PageButton::Postpone);
    EXPECT_EQ(pageButtonFor(QUrl("x.html"), {"ButtonCancel"}), PageButton::Postpone);
    EXPECT_EQ(pageButtonFor(QUrl("#ButtonOKAY")), PageButton::None);
}

TEST_F(AcceptDlgTest, TheWindowsButtonsAnswer) {
    publishHistory("<html><body><p>History</p></body></html>");
    for (const char* id : {"1", "2"}) {
        CAcceptDlg dialog(uhttp(), work_.path());
        dialog.show();
        ASSERT_TRUE(waitForHistory(dialog));
        dialog.findChild<QPushButton*>(id)->click();
        EXPECT_EQ(dialog.result(), id[0] == '1' ? QDialog::Accepted : QDialog::Rejected);
        EXPECT_FALSE(dialog.isVisible());
        EXPECT_FALSE(dialog.tickTimer().isActive()); // no more flashing once closed
    }
}

TEST_F(AcceptDlgTest, EveryTickFlashesAndTheFirstScrollsToTheEnd) {
    std::string html = "<html><body>";
    for (int i = 0; i < 200; ++i)
        html += "<p>Version 5.2.0." + std::to_string(i) + "</p>";
    publishHistory(html + "</body></html>");
    CAcceptDlg dialog(uhttp(), work_.path());
    dialog.show();
    ASSERT_TRUE(waitForHistory(dialog));
    EXPECT_TRUE(dialog.tickTimer().isActive());
    EXPECT_EQ(dialog.tickTimer().interval(), 1000);
    EXPECT_EQ(dialog.tickTimer().objectName(), "100");
    QScrollBar* bar = dialog.browser().verticalScrollBar();
    ASSERT_GT(bar->maximum(), 0);
    EXPECT_EQ(bar->value(), 0);

    dialog.onTick();
    EXPECT_EQ(bar->value(), bar->maximum());
    EXPECT_TRUE(dialog.scrolled());
    bar->setValue(0); // the reader scrolls back up: later ticks leave that alone
    dialog.onTick();
    dialog.onTick();
    EXPECT_EQ(bar->value(), 0);
    EXPECT_EQ(dialog.flashes(), 3);
}

} // namespace
} // namespace kestrun::test
