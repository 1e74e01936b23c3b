#include "kestrun/update/update_server.h"

#include "common/file_version.h"
#include "kestrun/update/drop_folder.h"
#include "platform/clock.h"
#include "platform/connection_socket.h"
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

std::string peerGroupText(const QHostAddress& address) {
    if (address.protocol() != QAbstractSocket::IPv6Protocol)
        return peerAddressText(address);
    bool isIpv4 = false;
    address.toIPv4Address(&isIpv4);
    if (isIpv4)
        return peerAddressText(address);
    Q_IPV6ADDR network = address.toIPv6Address();
    for (int i = 8; i < 16; ++i)
        network[i] = 0;
    return QHostAddress(network).toString().toStdString() + "/64";
}

CClientSocket::CClientSocket(UpdateServerHost& host, const DropFolder& drop,
                             const ServerTiming& timing, PeerLineLimit& lines, QObject* parent)
    : QTcpSocket(parent), host_(host), drop_(drop), timing_(timing), lines_(lines) {
    idle_ = new QTimer(this);
    idle_->setSingleShot(true);
    connect(idle_, &QTimer::timeout, this, &CClientSocket::drop);
    idle_->start(timing_.idleLimit);
    // Until the request comes the lifetime is the idle limit (the server cuts off a connection
    // without request sooner, at its request limit); a reply extends it by its length.
    lifetime_ = new QTimer(this);
    lifetime_->setSingleShot(true);
    lifetime_->setTimerType(Qt::CoarseTimer);
    connect(lifetime_, &QTimer::timeout, this, &CClientSocket::drop);
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
    emit requestReceived();
    const QByteArray bytes = read(wire::kReadSize);
    const wire::Request request = wire::matchRequest(std::string_view(bytes.data(), bytes.size()));
    switch (request.kind) {
    case wire::RequestKind::GetVer:
        reply(wire::versionReply(readFileVersion(executablePath(host_.zelmoFile()))));
        return;
    case wire::RequestKind::Done:
        lines_.log(peerGroupText(peerAddress()),
                   peerAddressText(peerAddress()) + " ZLM client updated");
        closeNow();
        return;
    case wire::RequestKind::GetState:
        reply(wire::stateReply(host_.upost(), host_.upull(), host_.busy()));
        return;
    case wire::RequestKind::Fail:
        lines_.log(peerGroupText(peerAddress()),
                   peerAddressText(peerAddress()) + " ZLM client NOT updated!");
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

void CClientSocket::drop() {
    if (socketDescriptor() != -1)
        resetOnClose(socketDescriptor());
    closeNow();
}

CListenSocket::CListenSocket(UpdateServerHost& host, const std::filesystem::path& dropFolder,
                             ServerTiming timing, QObject* parent)
    : QTcpServer(parent), host_(host), drop_(std::make_unique<DropFolder>(dropFolder)),
      timing_(timing), lines_(host.clock(), [&host](std::string_view line) { host.log(line); }) {
    sweep_ = new QTimer(this);
    sweep_->setTimerType(Qt::CoarseTimer);
    connect(sweep_, &QTimer::timeout, this, &CListenSocket::sweep);
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
    // The connections end first, while the server they would give their places back to still
    // exists; it has no places left to give.
    slots_.clear();
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
    sweep(); // connections past their request limit make room first
    auto* connection = new CClientSocket(host_, *drop_, timing_, lines_, this);
    if (!connection->setSocketDescriptor(descriptor)) {
        connection->deleteLater(); // a failed accept is dropped silently
        return;
    }
    connection->setSocketOption(QAbstractSocket::SendBufferSizeSocketOption, timing_.sendBuffer);
    // Idle or hostile peers cannot take every descriptor, nor keep out a peer that asks: a
    // connection beyond a cap takes the place of one that has not asked anything yet.
    const std::string group = peerGroupText(connection->peerAddress());
    const auto known = perAddress_.find(group);
    if (known != perAddress_.end() && known->second >= timing_.maxPerAddress &&
        !evictOldestWaiting(&group)) {
        connection->closeNow();
        return;
    }
    // With no place to free, the connection is served all the same, one beyond the cap, and
    // the next ones wait in the listen backlog until a place is free.
    const bool full =
        static_cast<int>(slots_.size()) >= timing_.maxConnections && !evictOldestWaiting(nullptr);
    const std::uint64_t id = nextSlot_++;
    slots_.emplace(id, Slot{connection, group, host_.clock().monotonicMs(), true});
    ++waitingCount_;
    ++perAddress_[group];
    connect(connection, &CClientSocket::requestReceived, this, [this, id] { onRequest(id); });
    connect(connection, &QObject::destroyed, this, [this, id] { release(id); });
    watch();
    if (full)
        setAccepting(false);
}

bool CListenSocket::evictOldestWaiting(const std::string* group) {
    for (auto& [id, slot] : slots_) {
        if (!slot.waiting || (group != nullptr && slot.group != *group))
            continue;
        // A request that has arrived but is not yet read is served, not evicted.
        if (bytesWaiting(slot.connection->socketDescriptor()) > 0)
            continue;
        CClientSocket* connection = slot.connection;
        release(id);
        connection->drop();
        return true;
    }
    return false;
}

void CListenSocket::onRequest(std::uint64_t id) {
    const auto it = slots_.find(id);
    if (it == slots_.end() || !it->second.waiting)
        return;
    it->second.waiting = false;
    --waitingCount_;
    watch(); // a line it logs starts a minute
    if (waitingCount_ == 0 && static_cast<int>(slots_.size()) >= timing_.maxConnections)
        setAccepting(false); // no place left that a new connection could take
}

void CListenSocket::release(std::uint64_t id) {
    const auto it = slots_.find(id);
    if (it == slots_.end())
        return;
    if (it->second.waiting)
        --waitingCount_;
    const auto group = perAddress_.find(it->second.group);
    if (group != perAddress_.end() && --group->second <= 0)
        perAddress_.erase(group);
    slots_.erase(it);
    if (static_cast<int>(slots_.size()) < timing_.maxConnections)
        setAccepting(true);
}

void CListenSocket::sweep() {
    const std::uint64_t now = host_.clock().monotonicMs();
    const auto limit = static_cast<std::uint64_t>(timing_.requestLimit.count());
    for (auto it = slots_.begin(); it != slots_.end();) {
        const auto next = std::next(it);
        const Slot& slot = it->second;
        if (slot.waiting) {
            if (now - slot.acceptedMs < limit)
                break; // every later one was accepted later
            if (bytesWaiting(slot.connection->socketDescriptor()) == 0) {
                CClientSocket* connection = slot.connection;
                release(it->first);
                connection->drop();
            }
        }
        it = next;
    }
    const bool minutesRunning = lines_.expire();
    if (waitingCount_ == 0 && !minutesRunning)
        sweep_->stop();
}

void CListenSocket::watch() {
    if (!sweep_->isActive())
        sweep_->start(timing_.sweepEvery);
}

void CListenSocket::setAccepting(bool accepting) {
    if (accepting != full_)
        return;
    full_ = !accepting;
    // The server takes no more connections while it holds its most pending ones; it holds
    // none (each goes straight to its own object), so a most of 0 stops the accepts even
    // within the current round of them, which pausing alone would not.
    if (full_) {
        setMaxPendingConnections(0);
        pauseAccepting();
    } else {
        setMaxPendingConnections(kMaxPending);
        if (!acceptFailing_)
            resumeAccepting();
    }
}

} // namespace kestrun
