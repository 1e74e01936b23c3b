#pragma once

#include "kestrun/update/http_transfer.h"

#include <QDialog>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

class QTextBrowser;
class QTimer;

namespace kestrun {

// The page elements that act as the window's buttons.
enum class PageButton { None, Accept, Postpone };

// A link counts as a button when its target or fragment is "ButtonOK" or "ButtonCancel", or
// when the anchor it sits on carries that id or name.
PageButton pageButtonFor(const QUrl& link, const QStringList& anchorNames = {});

// Window 147: the client application's version history, fetched fresh from its web site, to
// be read and accepted before the server-side update routine goes on. Accept is "I read and
// accept" (or the page's "ButtonOK"), anything else postpones.
class CAcceptDlg : public QDialog {
    Q_OBJECT
public:
    static constexpr const char* kHistoryPage = "/Zelmo_version_history.html";
    static constexpr std::chrono::milliseconds kTickPeriod{1000};
    static constexpr int kTimerId = 100;

    // uhttp: the client application's web base; the page is looked for below it. ca.pem in the
    // working folder, when there is one, adds trusted certificates.
    CAcceptDlg(const std::string& uhttp, const std::filesystem::path& workingFolder,
               QWidget* parent = nullptr);
    ~CAcceptDlg() override;

    static QString placeholderPage();
    // Why a fetch gave no version history (the transfer failed, or the server refused the
    // page); empty when the page arrived.
    static QString fetchFailure(const HttpGetOutcome& outcome);
    // The page shown instead: the address and the reason.
    static QString failurePage(const QString& address, const QString& reason);
    static std::string historyAddress(const std::string& uhttp);

    QTextBrowser& browser() const { return *browser_; }
    QTimer& tickTimer() const { return *ticks_; }
    // Whether the version history has replaced the placeholder page.
    bool historyShown() const { return historyShown_; }
    bool scrolled() const { return scrolled_; }
    int flashes() const { return flashes_; }

    // One tick of the window timer: the window flashes; on the first tick the page scrolls
    // to its end.
    void onTick();
    // Closing ends the flashing.
    void done(int result) override;
    // Accepting needs the version history shown.
    void accept() override;

signals:
    // The fetch of the version history has ended; shown tells whether the page arrived (else
    // the page tells why it did not).
    void historyFetched(bool shown);

private:
    void startFetch(const std::string& uhttp, const std::filesystem::path& workingFolder);
    void showHistory(const QString& page, bool shown);
    static QString postponeLink();
    void onLink(const QUrl& link);
    QStringList anchorNamesOf(const QUrl& link) const;

    QTextBrowser* browser_ = nullptr;
    QTimer* ticks_ = nullptr;
    bool scrolled_ = false;
    bool historyShown_ = false;
    int flashes_ = 0;
    std::jthread fetch_;
};

} // namespace kestrun
