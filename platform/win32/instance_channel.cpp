#include "platform/instance_channel.h"

#include "platform/instance_peers.h"
#include "platform/win32/win32_util.h"

#include <QCryptographicHash>
#include <QLocalServer>
#include <QLocalSocket>
#include <QObject>
#include <QThread>
#include <QTimer>

#include <sddl.h>

#include <list>
#include <string>
#include <string_view>

namespace kestrun {

namespace fs = std::filesystem;

// On Windows the channel is a named pipe whose name is made of the lock file's path (a pipe
// has no place in the file system), open to this user alone. Pipes of all users share one
// namespace, so another user may make a pipe of that name first: the listener then does not
// listen (as a file in the socket file's place is left alone), and a later start that meets a
// pipe whose server is not this user's sends it nothing.

namespace {

constexpr std::string_view kRequest = "show\n";
constexpr std::string_view kAnswer = "shown\n";

QString pipeNameOf(const fs::path& file) {
    const QByteArray path = QString::fromStdWString(file.wstring()).toLower().toUtf8();
    return QStringLiteral("kestrun-") +
           QString::fromLatin1(
               QCryptographicHash::hash(path, QCryptographicHash::Sha256).toHex().left(32));
}

std::wstring fullPipeName(const QString& name) {
    return L"\\\\.\\pipe\\" + name.toStdWString();
}

// The pipe's first instance, open to this user alone; none when a pipe of the name exists
// already, whoever made it. Its rules are the pipe's: the instances Qt adds join it.
win32::Handle firstInstance(const QString& name) {
    LPWSTR user = nullptr;
    if (!win32::currentUser() || !::ConvertSidToStringSidW(win32::currentUser(), &user))
        return {};
    const std::wstring rules = L"D:P(A;;GA;;;" + std::wstring(user) + L")";
    ::LocalFree(user);
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(rules.c_str(), SDDL_REVISION_1,
                                                                &descriptor, nullptr))
        return {};
    SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
    // The type, mode and count of instances are those of Qt's instances.
    win32::Handle pipe(::CreateNamedPipeW(fullPipeName(name).c_str(),
                                          PIPE_ACCESS_DUPLEX | FILE_FLAG_FIRST_PIPE_INSTANCE,
                                          PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT,
                                          PIPE_UNLIMITED_INSTANCES, 0, 0, 3000, &attributes));
    ::LocalFree(descriptor);
    return pipe;
}

enum class Opened { Ours, Again, Missing, NotOurs };

// Opens the pipe as a later start: its server may only identify us (never act as us), and it
// must run as this user before anything is sent to it.
Opened openPipe(const QString& name, win32::Handle& pipe) {
    pipe = win32::Handle(::CreateFileW(
        fullPipeName(name).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
        FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr));
    if (!pipe) {
        const DWORD error = ::GetLastError();
        // Our own pipe always lets this user in: one that does not is another's. Busy
        // instances, or any other failure, are tried again.
        return error == ERROR_FILE_NOT_FOUND  ? Opened::Missing
               : error == ERROR_ACCESS_DENIED ? Opened::NotOurs
                                              : Opened::Again;
    }
    ULONG server = 0;
    if (!::GetNamedPipeServerProcessId(pipe.get(), &server) || !win32::runsAsCurrentUser(server)) {
        pipe.reset();
        return Opened::NotOurs;
    }
    return Opened::Ours;
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

// Qt adds its instances to a pipe of the name that exists already, under that pipe's rules: so
// the first instance is made here, and it is held until Qt's own listen (a later start that
// reaches it meanwhile finds it closed unanswered and asks again).
void InstanceChannel::Impl::listen() {
    const QString name = pipeNameOf(file);
    const win32::Handle first = firstInstance(name);
    if (!first)
        return;
    server.setSocketOptions(QLocalServer::UserAccessOption);
    server.setMaxPendingConnections(kBacklog);
    if (!server.listen(name))
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
        win32::Handle pipe;
        const Opened opened = openPipe(name, pipe);
        if (opened == Opened::NotOurs)
            return Answer::NotOurs;
        if (opened == Opened::Ours) {
            reached = true;
            QLocalSocket socket; // it owns the pipe's handle from here
            socket.setSocketDescriptor(reinterpret_cast<qintptr>(pipe.release()));
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
        } else if (opened == Opened::Missing) {
            return reached ? Answer::NoAnswer : Answer::NoListener;
        }
        if (left() <= 0)
            return Answer::NoAnswer;
        QThread::msleep(10); // a moment for the listener to take what waits
    }
}

} // namespace kestrun
