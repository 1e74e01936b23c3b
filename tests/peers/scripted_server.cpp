#include "tests/peers/scripted_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kestrun::test {

namespace {

sockaddr_in loopback(std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

int boundSocket(std::uint16_t& port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = loopback(0);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        return -1;
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    port = ntohs(address.sin_port);
    return fd;
}

} // namespace

std::uint16_t closedPort() {
    std::uint16_t port = 0;
    const int fd = boundSocket(port);
    ::close(fd); // bound once, never listened on: nothing answers there
    return port;
}

bool ScriptedServer::Connection::send(const std::string& bytes) const {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const auto n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

void ScriptedServer::Connection::hang() const {
    while (!stop_)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

ScriptedServer::ScriptedServer(Mode mode, Script script) : mode_(mode), script_(std::move(script)) {
    listener_ = boundSocket(port_);
    if (listener_ < 0)
        return;
    ::listen(listener_, mode == Mode::FullQueue ? 0 : 128);
    if (mode == Mode::FullQueue) {
        // A backlog of 0 holds one connection; the next handshakes are dropped.
        for (int i = 0; i < 3; ++i) {
            const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
            sockaddr_in address = loopback(port_);
            ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
            fillers_.push_back(fd);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        return;
    }
    acceptor_ = std::thread([this] { acceptLoop(); });
}

ScriptedServer::~ScriptedServer() {
    stopping_ = true;
    if (acceptor_.joinable())
        acceptor_.join();
    for (std::thread& t : threads_)
        t.join();
    for (int fd : fillers_)
        ::close(fd);
    if (listener_ >= 0)
        ::close(listener_);
}

std::vector<std::string> ScriptedServer::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

void ScriptedServer::acceptLoop() {
    while (!stopping_) {
        pollfd p{listener_, POLLIN, 0};
        if (::poll(&p, 1, 10) <= 0)
            continue;
        const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        threads_.emplace_back([this, fd] { serve(fd); });
    }
}

void ScriptedServer::serve(int fd) {
    const Connection connection(fd, stopping_);
    if (mode_ == Mode::Silent)
        connection.hang();
    if (mode_ == Mode::Script) {
        std::string request;
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 3000) > 0) {
            char buffer[1024];
            const auto n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n > 0)
                request.assign(buffer, static_cast<std::size_t>(n));
        }
        {
            std::lock_guard lock(mutex_);
            requests_.push_back(request);
        }
        if (script_)
            script_(request, connection);
    }
    ::close(fd);
}

} // namespace kestrun::test
