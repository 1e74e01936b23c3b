#include "kestrun/ui/accept_dlg.h"

#include "platform/dialog_template.h"
#include "transfer/ca_trust.h"

#include <QApplication>
#include <QPushButton>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextBrowser>
#include <QTextDocument>
#include <QTimer>

namespace kestrun {

namespace {

constexpr const char* kAcceptId = "ButtonOK";
constexpr const char* kPostponeId = "ButtonCancel";

// Window 147; the browser fills the client area above the buttons.
const DialogTemplate& acceptTemplate() {
    static const DialogTemplate tmpl{
        "Warning! Please read and accept",
        354,
        228,
        {
            {1, ControlKind::DefaultPushButton, "I read and accept", 198, 200, 86, 14},
            {2, ControlKind::PushButton, "Postpone", 288, 200, 50, 14},
        }};
    return tmpl;
}

constexpr int kBrowserX = 7, kBrowserY = 7, kBrowserW = 340, kBrowserH = 186;

} // namespace

PageButton pageButtonFor(const QUrl& link, const QStringList& anchorNames) {
    const auto names = [&](const QString& id) {
        return link.fragment() == id || link.toString() == id || anchorNames.contains(id);
    };
    if (names(QString::fromLatin1(kAcceptId)))
        return PageButton::Accept;
    if (names(QString::fromLatin1(kPostponeId)))
        return PageButton::Postpone;
    return PageButton::None;
}

CAcceptDlg::CAcceptDlg(const std::string& uhttp, const std::filesystem::path& workingFolder,
                       QWidget* parent)
    : QDialog(parent) {
    setTemplateFont(*this);
    buildFromTemplate(*this, acceptTemplate());
    browser_ = new QTextBrowser(this);
    browser_->setObjectName(QStringLiteral("history"));
    browser_->setOpenLinks(false);
    browser_->setGeometry(dialogUnitsToPixelsX(kBrowserX), dialogUnitsToPixelsY(kBrowserY),
                          dialogUnitsToPixelsX(kBrowserW), dialogUnitsToPixelsY(kBrowserH));
    browser_->setHtml(placeholderPage());
    connect(browser_, &QTextBrowser::anchorClicked, this, &CAcceptDlg::onLink);
    if (auto* ok = findChild<QPushButton*>(QStringLiteral("1"))) {
        ok->setEnabled(false); // until the version history is shown
        connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    }
    if (auto* postpone = findChild<QPushButton*>(QStringLiteral("2")))
        connect(postpone, &QPushButton::clicked, this, &QDialog::reject);

    startFetch(uhttp, workingFolder);
    ticks_ = new QTimer(this);
    ticks_->setObjectName(QString::number(kTimerId));
    ticks_->setInterval(kTickPeriod);
    connect(ticks_, &QTimer::timeout, this, &CAcceptDlg::onTick);
    scrolled_ = false;
    ticks_->start();
}

CAcceptDlg::~CAcceptDlg() {
    fetch_.request_stop(); // the transfer ends at its next piece
}

// Until the version history is shown the page offers only to postpone.
QString CAcceptDlg::placeholderPage() {
    return QStringLiteral("<html><body bgcolor=\"#c0c0c0\">"
                          "<p>The version history is being loaded.</p>%1</body></html>")
        .arg(postponeLink());
}

QString CAcceptDlg::postponeLink() {
    return QStringLiteral(
        "<p><a id=\"ButtonCancel\" name=\"ButtonCancel\" href=\"#ButtonCancel\">Postpone</a></p>");
}

std::string CAcceptDlg::historyAddress(const std::string& uhttp) {
    return uhttp + kHistoryPage;
}

void CAcceptDlg::startFetch(const std::string& uhttp, const std::filesystem::path& workingFolder) {
    HttpGetRequest get;
    get.url = historyAddress(uhttp);
    get.noCache = true; // never a copy from a cache
    get.limits = {std::chrono::seconds(30), std::chrono::seconds(30)};
    get.trust = workingFolderTrust(workingFolder);
    fetch_ = std::jthread([this, get](std::stop_token stop) {
        std::string page;
        const HttpGetOutcome outcome = httpGet(get, [&](std::string_view piece) {
            page.append(piece);
            return !stop.stop_requested();
        });
        if (stop.stop_requested())
            return;
        QMetaObject::invokeMethod(
            this,
            [this, failure = fetchFailure(outcome), text = QString::fromUtf8(page),
             address = QString::fromStdString(get.url)] {
                showHistory(failure.isEmpty() ? text : failurePage(address, failure),
                            failure.isEmpty());
            },
            Qt::QueuedConnection);
    });
}

QString CAcceptDlg::fetchFailure(const HttpGetOutcome& outcome) {
    if (!outcome.completed)
        return QString::fromStdString(outcome.error.empty() ? "The transfer failed."
                                                            : outcome.error);
    // A reply without a status line (HTTP/0.9) is a page as it stands.
    if (outcome.status != 0 && (outcome.status < 200 || outcome.status > 299))
        return QStringLiteral("The server answered with status %1.").arg(outcome.status);
    return {};
}

QString CAcceptDlg::failurePage(const QString& address, const QString& reason) {
    return QStringLiteral("<html><body bgcolor=\"#c0c0c0\">"
                          "<p>The version history could not be loaded from %1.</p>"
                          "<p>%2</p>%3</body></html>")
        .arg(address.toHtmlEscaped(), reason.toHtmlEscaped(), postponeLink());
}

void CAcceptDlg::showHistory(const QString& page, bool shown) {
    browser_->setHtml(page);
    historyShown_ = shown;
    if (auto* ok = findChild<QPushButton*>(QStringLiteral("1")))
        ok->setEnabled(shown);
    emit historyFetched(shown);
}

// Nothing is accepted before the version history has been shown.
void CAcceptDlg::accept() {
    if (historyShown_)
        QDialog::accept();
}

void CAcceptDlg::onTick() {
    QApplication::alert(this);
    ++flashes_;
    if (scrolled_)
        return;
    QScrollBar* bar = browser_->verticalScrollBar();
    bar->setValue(bar->maximum());
    scrolled_ = true;
}

void CAcceptDlg::done(int result) {
    ticks_->stop();
    QDialog::done(result);
}

void CAcceptDlg::onLink(const QUrl& link) {
    switch (pageButtonFor(link, anchorNamesOf(link))) {
    case PageButton::Accept:
        accept();
        break;
    case PageButton::Postpone:
        reject();
        break;
    case PageButton::None:
        break;
    }
}

// The ids and names of the anchors in the page that lead to the link.
QStringList CAcceptDlg::anchorNamesOf(const QUrl& link) const {
    QStringList names;
    const QString href = link.toString();
    for (QTextBlock block = browser_->document()->begin(); block.isValid(); block = block.next())
        for (auto it = block.begin(); !it.atEnd(); ++it) {
            const QTextCharFormat format = it.fragment().charFormat();
            if (format.isAnchor() && format.anchorHref() == href)
                names += format.anchorNames();
        }
    return names;
}

} // namespace kestrun
