#include "kestrun/update/update_server.h"

#include "common/file_version.h"
#include "kestrun/update/drop_folder.h"
#include "platform/regular_file.h"

#include <QFile>
#include <QTimer>

#include <algorithm>
#include <limits>
#include <utility>

namespace kestrun {

std::string peerAddressText(const QHostAddress& address) {
    bool isIpv4 = false;
    const quint32 ipv4 = address.toIPv4Address(&isIpv4);
    if (isIpv4)
        return QHostAddress(ipv4).toString().toStdString();
    return address.toString().toStdString();
}

CClientSocket::CClientSocket(UpdateServerHost& host, const DropFolder& drop,
                             const ServerTiming& timing, QObject* parent)
    : QTcpSocket(parent), host_(host), drop_(drop), timing_(timing) {
    idle_ = new QTimer(this);
    idle_->setSingleShot(true);
    connect(idle_, &QTimer::timeout, this, &CClientSocket::closeNow);
    idle_->start(timing_.idleLimit);
    // The request must come within the idle limit; a reply extends the lifetime by its length.
    lifetime_ = new QTimer(this);
    lifetime_->setSingleShot(true);
    lifetime_->setTimerType(Qt::CoarseTimer);
    connect(lifetime_, &QTimer::timeout, this, &CClientSocket::closeNow);
    lifetime_->start(timing_.idleLimit);
    connect(this, &QTcpSocket::readyRead, this, &CClientSocket::onReceive);
    connect(this, &QTcpSocket::bytesWritten, this, &CClientSocket::onBytesWritten);
    connect(this, &QTcpSocket::disconnected, this, &QObject::deleteLater);
}

CClientSocket::~CClientSocket() = default;

void CClientSocket::onReceive() {
    if (received_) {
        readAll(); // one request per connection; later bytes are dropped
        return;
    }
    received_ = true;
    const QByteArray bytes = read(wire::kReadSize);
    const wire::Request request = wire::matchRequest(std::string_view(bytes.data(), bytes.size()));
    switch (request.kind) {
    case wire::RequestKind::GetVer:
        reply(wire::versionReply(readFileVersion(executablePath(host_.zelmoFile()))));
        return;
    case wire::RequestKind::Done:
        host_.log(peerAddressText(peerAddress()) + " ZLM client updated");
        closeNow();
        return;
    case wire::RequestKind::GetState:
        reply(wire::stateReply(host_.upost(), host_.upull(), host_.busy()));
        return;
    case wire::RequestKind::Fail:
        host_.log(peerAddressText(peerAddress()) + " ZLM client NOT updated!");
        closeNow();
        return;
    case wire::RequestKind::GetLang:
        reply(wire::listReply(drop_.list()));
        return;
    case wire::RequestKind::GetFile:
        serveFile(request.name);
        return;
    case wire::RequestKind::GetSize: {
        const auto path = drop_.servable(request.name);
        const FileDescriptor fd = path ? openRegularForReading(*path) : FileDescriptor{};
        if (!fd) {
            reply(std::string(wire::kUnavailable));
            return;
        }
        std::error_code ec;
        const auto length = std::filesystem::file_size(*path, ec);
        reply(ec ? std::string(wire::kUnavailable) : wire::sizeReply(length));
        return;
    }
    case wire::RequestKind::Other:
        closeNow();
        return;
    }
}

void CClientSocket::serveFile(const std::string& name) {
    const auto path = drop_.servable(name);
    FileDescriptor fd = path ? openRegularForReading(*path) : FileDescriptor{};
    auto file = std::make_unique<QFile>();
    if (!fd || !file->open(fd.get(), QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        reply(std::string(wire::kUnavailable));
        return;
    }
    fd.release(); // the QFile closes it now
    file_ = std::move(file);
    liveFor(file_->size());
    sendNextPiece();
}

void CClientSocket::sendNextPiece() {
    if (!file_ || state() != QAbstractSocket::ConnectedState)
        return;
    if (bytesToWrite() >= timing_.unsentLimit) {
        waitingToDrain_ = true; // resumed by onBytesWritten
        return;
    }
    const QByteArray piece = file_->read(wire::kReadSize);
    if (piece.isEmpty()) {
        file_.reset();
        pauseThenClose();
        return;
    }
    write(piece);
    QTimer::singleShot(timing_.piecePause, Qt::PreciseTimer, this, &CClientSocket::sendNextPiece);
}

void CClientSocket::onBytesWritten() {
    idle_->start(timing_.idleLimit); // the peer is reading: not idle
    if (waitingToDrain_ && bytesToWrite() < timing_.unsentLimit) {
        waitingToDrain_ = false;
        sendNextPiece();
    }
}

void CClientSocket::reply(const std::string& bytes) {
    liveFor(static_cast<std::int64_t>(bytes.size()));
    write(bytes.data(), static_cast<qint64>(bytes.size()));
    pauseThenClose();
}

void CClientSocket::liveFor(std::int64_t replyBytes) {
    const std::int64_t rate = std::max<std::int64_t>(timing_.slowestRate, 1);
    const std::int64_t transferMs =
        std::clamp<std::int64_t>(replyBytes, 0, 1LL << 40) * 1000 / rate;
    const auto total =
        timing_.idleLimit + timing_.replyPause + std::chrono::milliseconds(transferMs);
    // A QTimer takes an int of milliseconds: a longer life is cut to about 24 days.
    lifetime_->start(std::chrono::milliseconds(
        std::min<std::int64_t>(total.count(), std::numeric_limits<int>::max())));
}

void CClientSocket::pauseThenClose() {
    QTimer::singleShot(timing_.replyPause, Qt::PreciseTimer, this, [this] {
        // The rest of the reply still goes out; the idle limit drops a peer that never takes it.
        disconnectFromHost();
        if (state() == QAbstractSocket::UnconnectedState)
            deleteLater();
    });
}

void CClientSocket::closeNow() {
    abort();
    deleteLater();
}

CListenSocket::CListenSocket(UpdateServerHost& host, const std::filesystem::path& dropFolder,
                             ServerTiming timing, QObject* parent)
    : QTcpServer(parent), host_(host), drop_(std::make_unique<DropFolder>(dropFolder)),
      timing_(timing) {
    // An accept that fails for want of descriptors or memory makes the server pause; it tries
    // again a little later, as those come back when connections end. Once an accept has failed,
    // the socket layer reports that failure again at the end of every later round of accepts;
    // a round that took a connection therefore goes on at once.
    resume_ = new QTimer(this);
    resume_->setSingleShot(true);
    connect(resume_, &QTimer::timeout, this, &QTcpServer::resumeAccepting);
    connect(this, &QTcpServer::acceptError, this, [this](QAbstractSocket::SocketError) {
        if (std::exchange(acceptedInRound_, false)) {
            resumeAccepting();
            return;
        }
        if (!acceptFailing_)
            host_.log("Update server can not accept: " + errorString().toStdString());
        acceptFailing_ = true;
        resume_->start(timing_.acceptRetry);
    });
}

CListenSocket::~CListenSocket() {
    // The connections end first, while the counts they give back still exist.
    for (CClientSocket* connection : findChildren<CClientSocket*>(Qt::FindDirectChildrenOnly))
        delete connection;
}

bool CListenSocket::start(std::uint16_t port, const QHostAddress& address) {
    setListenBacklogSize(kListenBacklog);
    return listen(address, port);
}

void CListenSocket::incomingConnection(qintptr descriptor) {
    acceptFailing_ = false;
    acceptedInRound_ = true;
    auto* connection = new CClientSocket(host_, *drop_, timing_, this);
    if (!connection->setSocketDescriptor(descriptor)) {
        connection->deleteLater(); // a failed accept is dropped silently
        return;
    }
    // Idle or hostile peers cannot take every descriptor: beyond the caps a new connection is
    // closed before it is read.
    const std::string peer = peerAddressText(connection->peerAddress());
    const auto known = perAddress_.find(peer);
    const int fromPeer = known == perAddress_.end() ? 0 : known->second;
    if (connectionCount_ >= timing_.maxConnections || fromPeer >= timing_.maxPerAddress) {
        connection->closeNow();
        return;
    }
    ++connectionCount_;
    ++perAddress_[peer];
    connect(connection, &QObject::destroyed, this, [this, peer] { release(peer); });
}

void CListenSocket::release(const std::string& peer) {
    --connectionCount_;
    const auto it = perAddress_.find(peer);
    if (it != perAddress_.end() && --it->second <= 0)
        perAddress_.erase(it);
}

} // namespace kestrun
