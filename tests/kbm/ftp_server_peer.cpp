#include "tests/kbm/ftp_server_peer.h"

#include "tests/support/test_support.h"

#include <QElapsedTimer>
#include <QFile>
#include <QRegularExpression>

namespace kestrun::test {

namespace {
const QString kPython = QStringLiteral("/usr/bin/python3");
}

FtpServerPeer::FtpServerPeer(const std::filesystem::path& root, const std::string& user,
                             const std::string& password, int port) {
    // -D logs every command, so tests can see how the client talked to the server.
    start({"-m", "pyftpdlib", "-D", "-i", "127.0.0.1", "-p", QString::number(port), "-w", "-d",
           QString::fromStdString(root.string()), "-u", QString::fromStdString(user), "-P",
           QString::fromStdString(password)});
}

FtpServerPeer FtpServerPeer::script(const std::filesystem::path& root, const std::string& user,
                                    const std::string& password, const QStringList& options) {
    FtpServerPeer peer;
    const auto script = sourceDir() / "tests" / "peers" / "ftp_server.py";
    peer.start(QStringList{QString::fromStdString(script.string()),
                           QString::fromStdString(root.string()), QString::fromStdString(user),
                           QString::fromStdString(password)} +
               options);
    return peer;
}

FtpServerPeer FtpServerPeer::dropping(const std::filesystem::path& root, const std::string& user,
                                      const std::string& password, int dropAfterBytes) {
    return script(root, user, password, {"--drop-after", QString::number(dropAfterBytes)});
}

FtpServerPeer FtpServerPeer::refusingStore(const std::filesystem::path& root,
                                           const std::string& user, const std::string& password,
                                           const std::string& reply) {
    return script(root, user, password, {"--stor-reply", QString::fromStdString(reply)});
}

FtpServerPeer FtpServerPeer::writeOnly(const std::filesystem::path& root, const std::string& user,
                                       const std::string& password) {
    return script(root, user, password, {"--write-only"});
}

FtpServerPeer FtpServerPeer::noRenameOver(const std::filesystem::path& root,
                                          const std::string& user, const std::string& password) {
    return script(root, user, password, {"--no-rename-over"});
}

FtpServerPeer FtpServerPeer::tls(const std::filesystem::path& root, const std::string& user,
                                 const std::string& password, const std::filesystem::path& cert,
                                 const std::filesystem::path& key) {
    return script(
        root, user, password,
        {"--tls", QString::fromStdString(cert.string()), QString::fromStdString(key.string())});
}

void FtpServerPeer::start(const QStringList& arguments) {
    // The server's log goes to a file, so a long test never blocks it on a full pipe.
    logDir_ = std::make_unique<QTemporaryDir>();
    const QString logFile = logDir_->filePath(QStringLiteral("server.log"));
    process_ = std::make_unique<QProcess>();
    process_->setStandardOutputFile(QProcess::nullDevice());
    process_->setStandardErrorFile(logFile);
    process_->start(kPython, arguments);
    if (!process_->waitForStarted(10000))
        return;
    static const QRegularExpression ready(QStringLiteral("starting FTP server on [^:]+:(\\d+)"));
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < 15000) {
        QFile file(logFile);
        if (file.open(QIODevice::ReadOnly)) {
            const auto match = ready.match(QString::fromUtf8(file.readAll()));
            if (match.hasMatch()) {
                port_ = match.captured(1).toInt();
                return;
            }
        }
        // Returns early when the server ends; otherwise a short pause between looks.
        if (process_->waitForFinished(50) || process_->state() == QProcess::NotRunning)
            return;
    }
}

std::string FtpServerPeer::log() const {
    if (!logDir_)
        return {};
    QFile file(logDir_->filePath(QStringLiteral("server.log")));
    return file.open(QIODevice::ReadOnly) ? file.readAll().toStdString() : std::string();
}

FtpServerPeer::~FtpServerPeer() {
    if (process_ && process_->state() != QProcess::NotRunning) {
        process_->kill();
        process_->waitForFinished(5000);
    }
}

} // namespace kestrun::test
