#include "platform/instance_channel.h"

#include "platform/instance_peers.h"

#include <QObject>
#include <QSocketNotifier>
#include <QTimer>

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <list>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace kestrun {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kRequest = "show\n";
constexpr std::string_view kAnswer = "shown\n";

class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() { reset(); }
    Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Fd& operator=(Fd&& other) noexcept {
        if (this != &other) {
            reset();
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    int get() const { return fd_; }
    void reset() {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_;
};

std::optional<sockaddr_un> addressOf(const fs::path& file) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string& name = file.native();
    if (name.empty() || name.size() >= sizeof address.sun_path)
        return std::nullopt;
    std::memcpy(address.sun_path, name.c_str(), name.size() + 1);
    return address;
}

// A peer is served only when it runs as this user.
bool sameUser(int fd) {
    ucred credentials{};
    socklen_t size = sizeof credentials;
    return ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) == 0 &&
           credentials.uid == ::geteuid();
}

} // namespace

struct InstanceChannel::Impl {
    struct Peer {
        Fd fd;
        std::string received;
        std::unique_ptr<QSocketNotifier> notifier;
        QTimer deadline;
        bool done = false;
    };

    fs::path file;
    std::function<void()> onShow;
    Fd listener;
    std::unique_ptr<QSocketNotifier> incoming;
    std::list<Peer> peers;
    QObject context; // queued clean-ups end with the channel

    void listen();
    void acceptPeers();
    void read(Peer& peer);
    void finish(Peer& peer);
};

void InstanceChannel::Impl::listen() {
    const auto address = addressOf(file);
    if (!address)
        return;
    // Only a socket of this user is taken for one an ended instance left.
    struct stat st {};
    if (::lstat(file.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode) || st.st_uid != ::geteuid() || ::unlink(file.c_str()) != 0)
            return;
    }
    Fd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    // The socket's own mode is what bind gives the file on Linux: it is 0600 from its first
    // moment; the chmod after it holds where bind takes the process's umask instead.
    if (fd.get() < 0 || ::fchmod(fd.get(), S_IRUSR | S_IWUSR) != 0 ||
        ::bind(fd.get(), reinterpret_cast<const sockaddr*>(&*address), sizeof *address) != 0)
        return;
    if (::chmod(file.c_str(), S_IRUSR | S_IWUSR) != 0 || ::listen(fd.get(), kBacklog) != 0) {
        ::unlink(file.c_str());
        return;
    }
    listener = std::move(fd);
    incoming = std::make_unique<QSocketNotifier>(listener.get(), QSocketNotifier::Read);
    QObject::connect(incoming.get(), &QSocketNotifier::activated, &context,
                     [this] { acceptPeers(); });
}

// The connections waiting are taken at once (a backlog's worth per round of events, so a flood
// never holds the window's thread). A later start sends its request as soon as it has
// connected, so it is read at once and served however many silent peers wait; a peer that has
// sent no whole request within its second is closed, and when more than a few wait the one
// waiting longest goes (read once more first, in case its request has come meanwhile).
void InstanceChannel::Impl::acceptPeers() {
    for (int taken = 0; taken < kBacklog; ++taken) {
        Fd fd(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
        if (fd.get() < 0)
            return;
        if (!sameUser(fd.get()))
            continue; // closed at once
        Peer& peer = peers.emplace_back();
        peer.fd = std::move(fd);
        peer.notifier = std::make_unique<QSocketNotifier>(peer.fd.get(), QSocketNotifier::Read);
        QObject::connect(peer.notifier.get(), &QSocketNotifier::activated, &context,
                         [this, &peer] { read(peer); });
        peer.deadline.setSingleShot(true);
        QObject::connect(&peer.deadline, &QTimer::timeout, &context,
                         [this, &peer] { finish(peer); });
        peer.deadline.start(kPeerLimit);
        read(peer);
        keepNewestWaiting(
            peers, kMaxPeers, [this](Peer& p) { read(p); }, [this](Peer& p) { finish(p); });
    }
}

// Reads what the peer sent so far; a whole request line is served, anything else ends the peer.
void InstanceChannel::Impl::read(Peer& peer) {
    if (peer.done)
        return;
    char buffer[kMaxRequestBytes];
    const ssize_t n = ::read(peer.fd.get(), buffer, kMaxRequestBytes - peer.received.size());
    if (n < 0 && (errno == EAGAIN || errno == EINTR))
        return;
    if (n <= 0) {
        finish(peer);
        return;
    }
    peer.received.append(buffer, static_cast<std::size_t>(n));
    const bool lineEnded = peer.received.find('\n') != std::string::npos;
    if (!lineEnded && peer.received.size() < kMaxRequestBytes)
        return;
    const bool request = peer.received == kRequest;
    if (request) {
        peer.notifier->setEnabled(false);
        peer.deadline.stop();
        if (onShow)
            onShow();
        // A short answer on a fresh connection fits its buffer; a peer gone meanwhile is fine.
        [[maybe_unused]] const auto sent =
            ::send(peer.fd.get(), kAnswer.data(), kAnswer.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    }
    finish(peer);
}

// Closes the peer now; its record goes once the notification that got here has returned.
void InstanceChannel::Impl::finish(Peer& peer) {
    if (peer.done)
        return;
    peer.done = true;
    peer.notifier->setEnabled(false);
    peer.deadline.stop();
    peer.fd.reset();
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

InstanceChannel::~InstanceChannel() {
    if (impl_->listener.get() >= 0)
        ::unlink(impl_->file.c_str());
}

bool InstanceChannel::listening() const {
    return impl_->listener.get() >= 0;
}

namespace {

// One request on a new connection. nullopt: the listener did not take it (its queue is full)
// or closed it unanswered, and may be asked again.
std::optional<InstanceChannel::Answer> askOnce(const sockaddr_un& address,
                                               std::chrono::steady_clock::time_point end) {
    using Answer = InstanceChannel::Answer;
    Fd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (fd.get() < 0)
        return Answer::NoListener;
    if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        return errno == EAGAIN ? std::nullopt : std::optional(Answer::NoListener);
    if (::send(fd.get(), kRequest.data(), kRequest.size(), MSG_NOSIGNAL) !=
        static_cast<ssize_t>(kRequest.size()))
        return errno == EPIPE || errno == ECONNRESET ? std::nullopt
                                                     : std::optional(Answer::NoAnswer);
    std::string received;
    while (received.size() < kAnswer.size()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return Answer::NoAnswer;
        pollfd wait{fd.get(), POLLIN, 0};
        const int ready = ::poll(&wait, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return Answer::NoAnswer;
        char buffer[InstanceChannel::kMaxRequestBytes];
        const ssize_t n = ::read(fd.get(), buffer, kAnswer.size() - received.size());
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            continue;
        if (n <= 0)
            return received.empty() ? std::nullopt : std::optional(Answer::NoAnswer);
        received.append(buffer, static_cast<std::size_t>(n));
    }
    return received == kAnswer ? Answer::Shown : Answer::NoAnswer;
}

} // namespace

InstanceChannel::Answer InstanceChannel::askToShow(const fs::path& socketFile,
                                                   std::chrono::milliseconds limit) {
    const auto address = addressOf(socketFile);
    if (!address)
        return Answer::NoListener;
    const auto end = std::chrono::steady_clock::now() + limit;
    for (;;) {
        if (const auto answer = askOnce(*address, end))
            return *answer;
        if (std::chrono::steady_clock::now() >= end)
            return Answer::NoAnswer;
        ::poll(nullptr, 0, 10); // a moment for the listener to take what waits
    }
}

} // namespace kestrun
