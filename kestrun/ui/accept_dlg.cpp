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
    buildFromTemplate(*this, acceptTemplate());
    browser_ = new QTextBrowser(this);
    browser_->setObjectName(QStringLiteral("history"));
    browser_->setOpenLinks(false);
    browser_->setGeometry(dialogUnitsToPixelsX(kBrowserX), dialogUnitsToPixelsY(kBrowserY),
                          dialogUnitsToPixelsX(kBrowserW), dialogUnitsToPixelsY(kBrowserH));
    browser_->setHtml(placeholderPage());
    connect(browser_, &QTextBrowser::anchorClicked, this, &CAcceptDlg::onLink);
    if (auto* ok = findChild<QPushButton*>(QStringLiteral("1")))
        connect(ok, &QPushButton::clicked, this, &QDialog::accept);
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

QString CAcceptDlg::placeholderPage() {
    return QStringLiteral(
        "<html><body bgcolor=\"#c0c0c0\">"
        "<p>The version history is being loaded.</p>"
        "<p><a id=\"ButtonOK\" name=\"ButtonOK\" href=\"#ButtonOK\">I read and accept</a>"
        "&nbsp;&nbsp;&nbsp;"
        "<a id=\"ButtonCancel\" name=\"ButtonCancel\" href=\"#ButtonCancel\">Postpone</a></p>"
        "</body></html>");
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
            [this, completed = outcome.completed, text = QString::fromUtf8(page)] {
                showHistory(completed, text);
            },
            Qt::QueuedConnection);
    });
}

void CAcceptDlg::showHistory(bool completed, const QString& page) {
    if (completed) {
        browser_->setHtml(page);
        historyShown_ = true;
    }
    emit historyFetched(completed);
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
