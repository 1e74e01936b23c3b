#include "tests/peers/raw_client.h"

#include <QCoreApplication>
#include <QEventLoop>

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <memory>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace kestrun::test {

std::string RawExchange::bytes() const {
    std::string all;
    for (const Piece& p : pieces)
        all += p.bytes;
    return all;
}

double RawExchange::msToClose() const {
    return std::chrono::duration<double, std::milli>(closed - sent).count();
}

double RawExchange::msFromLastPieceToClose() const {
    const auto from = pieces.empty() ? sent : pieces.back().at;
    return std::chrono::duration<double, std::milli>(closed - from).count();
}

namespace {

// Connects a new socket to 127.0.0.1, from the given local address when there is one, or to
// ::1 from ::1; -1 when that fails.
int connectFrom(std::uint16_t port, const std::string& source, int receiveBuffer) {
    const bool ipv6 = source.find(':') != std::string::npos;
    const int fd = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    if (receiveBuffer > 0)
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    int connected = -1;
    if (ipv6) {
        sockaddr_in6 address{};
        address.sin6_family = AF_INET6;
        address.sin6_port = htons(port);
        address.sin6_addr = in6addr_loopback;
        connected = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    } else {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        if (!source.empty()) {
            if (::inet_pton(AF_INET, source.c_str(), &address.sin_addr) != 1 ||
                ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
                ::close(fd);
                return -1;
            }
        }
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    }
    if (connected != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

} // namespace

IdleConnection::IdleConnection(std::uint16_t port, const std::string& source)
    : fd_(connectFrom(port, source, 0)), connected_(fd_ >= 0) {}

IdleConnection::~IdleConnection() {
    if (fd_ >= 0)
        ::close(fd_);
}

bool IdleConnection::closedByServer() const {
    pollfd p{fd_, POLLIN, 0};
    if (fd_ < 0 || ::poll(&p, 1, 0) <= 0)
        return false;
    char byte = 0;
    return ::recv(fd_, &byte, 1, MSG_PEEK | MSG_DONTWAIT) <= 0;
}

IdleFlood::IdleFlood(std::uint16_t port, const std::vector<std::string>& sources, int perSource) {
    thread_ = std::thread([this, port, sources, perSource] {
        std::vector<std::pair<std::string, std::unique_ptr<IdleConnection>>> held;
        for (int i = 0; i < perSource; ++i)
            for (const std::string& source : sources)
                held.emplace_back(source, std::make_unique<IdleConnection>(port, source));
        while (!stop_) {
            for (auto& [source, connection] : held) {
                if (connection->connected() && !connection->closedByServer())
                    continue;
                connection = std::make_unique<IdleConnection>(port, source);
                ++reopened_;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
}

IdleFlood::~IdleFlood() {
    stop_ = true;
    thread_.join();
}

RawExchange rawExchange(std::uint16_t port, const RawRequest& request) {
    RawExchange result;
    const int fd = connectFrom(port, request.source, request.receiveBuffer);
    if (fd < 0)
        return result;
    result.connected = true;
    if (!request.bytes.empty())
        ::send(fd, request.bytes.data(), request.bytes.size(), MSG_NOSIGNAL);
    result.sent = RawExchange::Clock::now();
    std::this_thread::sleep_for(request.holdOff);
    const auto deadline = result.sent + request.giveUp;
    char buffer[65536];
    while (true) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - RawExchange::Clock::now());
        if (left.count() <= 0)
            break;
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0)
            continue;
        const ssize_t n = ::recv(fd, buffer, std::min(sizeof buffer, request.readSize), 0);
        const auto now = RawExchange::Clock::now();
        if (n <= 0) {
            result.closed = now;
            result.closedByServer = true;
            result.reset = n < 0 && errno == ECONNRESET;
            break;
        }
        result.pieces.push_back({std::string(buffer, static_cast<std::size_t>(n)), now});
        std::this_thread::sleep_for(request.readEvery);
    }
    if (!result.closedByServer)
        result.closed = RawExchange::Clock::now();
    ::close(fd);
    return result;
}

void serveEventsUntil(const std::function<bool()>& done) {
    while (!done()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

bool serveEventsUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    serveEventsUntil([&] { return done() || std::chrono::steady_clock::now() >= end; });
    return done();
}

} // namespace kestrun::test
