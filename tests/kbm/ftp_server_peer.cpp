#include "tests/kbm/ftp_server_peer.h"

#include "tests/support/test_support.h"

#include <QElapsedTimer>
#include <QFile>
#include <QRegularExpression>

#include <thread>

namespace kestrun::test {

namespace {
const std::string kPython = "/usr/bin/python3";
}

FtpServerPeer::FtpServerPeer(const std::filesystem::path& root, const std::string& user,
                             const std::string& password, int port) {
    // -D logs every command, so tests can see how the client talked to the server.
    start({"-m", "pyftpdlib", "-D", "-i", "127.0.0.1", "-p", std::to_string(port), "-w", "-d",
           hostPath(root), "-u", user, "-P", password});
}

FtpServerPeer FtpServerPeer::script(const std::filesystem::path& root, const std::string& user,
                                    const std::string& password,
                                    const std::vector<std::string>& options) {
    FtpServerPeer peer;
    std::vector<std::string> arguments{hostPath(sourceDir() / "tests" / "peers" / "ftp_server.py"),
                                       hostPath(root), user, password};
    arguments.insert(arguments.end(), options.begin(), options.end());
    peer.start(arguments);
    return peer;
}

FtpServerPeer FtpServerPeer::dropping(const std::filesystem::path& root, const std::string& user,
                                      const std::string& password, int dropAfterBytes) {
    return script(root, user, password, {"--drop-after", std::to_string(dropAfterBytes)});
}

FtpServerPeer FtpServerPeer::refusingStore(const std::filesystem::path& root,
                                           const std::string& user, const std::string& password,
                                           const std::string& reply) {
    return script(root, user, password, {"--stor-reply", reply});
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
    return script(root, user, password, {"--tls", hostPath(cert), hostPath(key)});
}

void FtpServerPeer::start(const std::vector<std::string>& arguments) {
    // The server's log goes to a file, so a long test never blocks it on a full pipe.
    logDir_ = std::make_unique<TempDir>();
    const QString logFile = QString::fromStdString((*logDir_ / "server.log").string());
    process_ =
        std::make_unique<HostProgram>(kPython, arguments, HostOutput{{}, *logDir_ / "server.log"});
    if (!process_->started())
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
        if (!process_->running())
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

std::string FtpServerPeer::log() const {
    if (!logDir_)
        return {};
    QFile file(QString::fromStdString((*logDir_ / "server.log").string()));
    return file.open(QIODevice::ReadOnly) ? file.readAll().toStdString() : std::string();
}

FtpServerPeer::~FtpServerPeer() = default;

} // namespace kestrun::test
