#include "platform/instance_channel.h"

#include "platform/instance_peers.h"

#include <QCryptographicHash>
#include <QLocalServer>
#include <QLocalSocket>
#include <QObject>
#include <QThread>
#include <QTimer>

#include <list>
#include <string>
#include <string_view>

namespace kestrun {

namespace fs = std::filesystem;

// On Windows the channel is a named pipe whose name is made of the lock file's path (a pipe
// has no place in the file system), open to this user alone.

namespace {

constexpr std::string_view kRequest = "show\n";
constexpr std::string_view kAnswer = "shown\n";

QString pipeNameOf(const fs::path& file) {
    const QByteArray path = QString::fromStdWString(file.wstring()).toLower().toUtf8();
    return QStringLiteral("kestrun-") +
           QString::fromLatin1(
               QCryptographicHash::hash(path, QCryptographicHash::Sha256).toHex().left(32));
}

} // namespace

struct InstanceChannel::Impl {
    struct Peer {
        QLocalSocket* socket = nullptr; // owned by the server, deleted later
        std::string received;
        QTimer deadline;
        bool done = false;
    };

    fs::path file;
    std::function<void()> onShow;
    QLocalServer server;
    std::list<Peer> peers;
    QObject context; // queued clean-ups end with the channel

    void listen();
    void acceptPeers();
    void read(Peer& peer);
    void finish(Peer& peer);
};

void InstanceChannel::Impl::listen() {
    server.setSocketOptions(QLocalServer::UserAccessOption);
    server.setMaxPendingConnections(kBacklog);
    if (!server.listen(pipeNameOf(file)))
        return;
    QObject::connect(&server, &QLocalServer::newConnection, &context, [this] { acceptPeers(); });
}

// As on every system: the request of a later start is read as soon as it is taken, a peer
// without a whole request within its second is closed, and beyond a few waiting peers the one
// waiting longest goes.
void InstanceChannel::Impl::acceptPeers() {
    for (int taken = 0; taken < kBacklog && server.hasPendingConnections(); ++taken) {
        QLocalSocket* socket = server.nextPendingConnection();
        if (!socket)
            return;
        Peer& peer = peers.emplace_back();
        peer.socket = socket;
        QObject::connect(socket, &QLocalSocket::readyRead, &context, [this, &peer] { read(peer); });
        QObject::connect(socket, &QLocalSocket::disconnected, &context,
                         [this, &peer] { finish(peer); });
        peer.deadline.setSingleShot(true);
        QObject::connect(&peer.deadline, &QTimer::timeout, &context,
                         [this, &peer] { finish(peer); });
        peer.deadline.start(kPeerLimit);
        read(peer);
        keepNewestWaiting(
            peers, kMaxPeers, [this](Peer& p) { read(p); }, [this](Peer& p) { finish(p); });
    }
}

void InstanceChannel::Impl::read(Peer& peer) {
    if (peer.done)
        return;
    const QByteArray bytes =
        peer.socket->read(static_cast<qint64>(kMaxRequestBytes - peer.received.size()));
    peer.received.append(bytes.constData(), static_cast<std::size_t>(bytes.size()));
    const bool lineEnded = peer.received.find('\n') != std::string::npos;
    if (!lineEnded && peer.received.size() < kMaxRequestBytes)
        return;
    if (peer.received == kRequest) {
        peer.deadline.stop();
        if (onShow)
            onShow();
        peer.socket->write(kAnswer.data(), static_cast<qint64>(kAnswer.size()));
        peer.socket->flush();
    }
    finish(peer);
}

void InstanceChannel::Impl::finish(Peer& peer) {
    if (peer.done)
        return;
    peer.done = true;
    peer.deadline.stop();
    QObject::disconnect(peer.socket, nullptr, &context, nullptr);
    peer.socket->disconnectFromServer();
    peer.socket->deleteLater();
    QMetaObject::invokeMethod(
        &context, [this] { peers.remove_if([](const Peer& p) { return p.done; }); },
        Qt::QueuedConnection);
}

InstanceChannel::InstanceChannel(fs::path socketFile, std::function<void()> onShow)
    : impl_(std::make_unique<Impl>()) {
    impl_->file = std::move(socketFile);
    impl_->onShow = std::move(onShow);
    impl_->listen();
}

InstanceChannel::~InstanceChannel() = default;

bool InstanceChannel::listening() const {
    return impl_->server.isListening();
}

InstanceChannel::Answer InstanceChannel::askToShow(const fs::path& socketFile,
                                                   std::chrono::milliseconds limit) {
    using namespace std::chrono;
    const auto end = steady_clock::now() + limit;
    const auto left = [&end] {
        return static_cast<int>(
            std::max<long long>(0, duration_cast<milliseconds>(end - steady_clock::now()).count()));
    };
    const QString name = pipeNameOf(socketFile);
    bool reached = false;
    for (;;) {
        QLocalSocket socket;
        socket.connectToServer(name);
        if (socket.waitForConnected(left())) {
            reached = true;
            socket.write(kRequest.data(), static_cast<qint64>(kRequest.size()));
            socket.waitForBytesWritten(left());
            std::string received;
            while (received.size() < kAnswer.size() && left() > 0 &&
                   (socket.bytesAvailable() > 0 || socket.waitForReadyRead(left()))) {
                const QByteArray bytes =
                    socket.read(static_cast<qint64>(kAnswer.size() - received.size()));
                received.append(bytes.constData(), static_cast<std::size_t>(bytes.size()));
            }
            if (received == kAnswer)
                return Answer::Shown;
            if (!received.empty())
                return Answer::NoAnswer;
        } else if (socket.error() == QLocalSocket::ServerNotFoundError) {
            return reached ? Answer::NoAnswer : Answer::NoListener;
        }
        if (left() <= 0)
            return Answer::NoAnswer;
        QThread::msleep(10); // a moment for the listener to take what waits
    }
}

} // namespace kestrun
