#include "tests/peers/raw_client.h"

#include "tests/peers/socket_calls.h"

#include <QCoreApplication>
#include <QEventLoop>

#include <algorithm>
#include <memory>
#include <thread>

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
// ::1 from ::1; kNone when that fails.
sockets::Socket connectFrom(std::uint16_t port, const std::string& source, int receiveBuffer) {
    const bool ipv6 = source.find(':') != std::string::npos;
    const sockets::Socket fd = sockets::open(ipv6 ? AF_INET6 : AF_INET);
    if (fd == sockets::kNone)
        return sockets::kNone;
    if (receiveBuffer > 0)
        sockets::setOption(fd, SOL_SOCKET, SO_RCVBUF, receiveBuffer);
    int connected = -1;
    if (ipv6) {
        sockaddr_in6 address{};
        address.sin6_family = AF_INET6;
        address.sin6_port = htons(port);
        address.sin6_addr.s6_addr[15] = 1; // ::1
        connected = sockets::connect(fd, &address, sizeof address);
    } else {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        if (!source.empty()) {
            if (::inet_pton(AF_INET, source.c_str(), &address.sin_addr) != 1 ||
                sockets::bind(fd, &address, sizeof address) != 0) {
                sockets::close(fd);
                return sockets::kNone;
            }
        }
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected = sockets::connect(fd, &address, sizeof address);
    }
    if (connected != 0) {
        sockets::close(fd);
        return sockets::kNone;
    }
    return fd;
}

} // namespace

IdleConnection::IdleConnection(std::uint16_t port, const std::string& source)
    : fd_(connectFrom(port, source, 0)), connected_(fd_ != sockets::kNone) {}

IdleConnection::~IdleConnection() {
    if (fd_ != sockets::kNone)
        sockets::close(fd_);
}

bool IdleConnection::closedByServer() const {
    if (fd_ == sockets::kNone || !sockets::readable(fd_, 0))
        return false;
    char byte = 0;
    return sockets::receive(fd_, &byte, 1, true) <= 0;
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
    const sockets::Socket fd = connectFrom(port, request.source, request.receiveBuffer);
    if (fd == sockets::kNone)
        return result;
    result.connected = true;
    if (!request.bytes.empty())
        sockets::send(fd, request.bytes.data(), request.bytes.size());
    result.sent = RawExchange::Clock::now();
    std::this_thread::sleep_for(request.holdOff);
    const auto deadline = result.sent + request.giveUp;
    char buffer[65536];
    while (true) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - RawExchange::Clock::now());
        if (left.count() <= 0)
            break;
        if (!sockets::readable(fd, static_cast<int>(left.count())))
            continue;
        const auto n = sockets::receive(fd, buffer, std::min(sizeof buffer, request.readSize));
        const auto now = RawExchange::Clock::now();
        if (n <= 0) {
            result.closed = now;
            result.closedByServer = true;
            result.reset = n < 0 && sockets::lastWasReset();
            break;
        }
        result.pieces.push_back({std::string(buffer, static_cast<std::size_t>(n)), now});
        std::this_thread::sleep_for(request.readEvery);
    }
    if (!result.closedByServer)
        result.closed = RawExchange::Clock::now();
    sockets::close(fd);
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
