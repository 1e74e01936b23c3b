#include "tests/peers/scripted_server.h"

#include "tests/peers/socket_calls.h"

namespace kestrun::test {

namespace {

sockaddr_in loopback(std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

sockets::Socket boundSocket(std::uint16_t& port) {
    const sockets::Socket fd = sockets::open(AF_INET);
    sockaddr_in address = loopback(0);
    if (fd == sockets::kNone || sockets::bind(fd, &address, sizeof address) != 0)
        return sockets::kNone;
    sockets::Length length = sizeof address;
    ::getsockname(sockets::native(fd), reinterpret_cast<sockaddr*>(&address), &length);
    port = ntohs(address.sin_port);
    return fd;
}

} // namespace

std::uint16_t closedPort() {
    std::uint16_t port = 0;
    const sockets::Socket fd = boundSocket(port);
    sockets::close(fd); // bound once, never listened on: nothing answers there
    return port;
}

bool ScriptedServer::Connection::send(const std::string& bytes) const {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const auto n = sockets::send(fd_, bytes.data() + sent, bytes.size() - sent);
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
    if (listener_ == sockets::kNone)
        return;
    ::listen(sockets::native(listener_), mode == Mode::FullQueue ? 0 : 128);
    if (mode == Mode::FullQueue) {
        // A backlog of 0 holds one connection; the next handshakes are dropped.
        for (int i = 0; i < 3; ++i) {
            const sockets::Socket fd = sockets::open(AF_INET, true);
            sockaddr_in address = loopback(port_);
            sockets::connect(fd, &address, sizeof address);
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
    for (const sockets::Socket fd : fillers_)
        sockets::close(fd);
    if (listener_ != sockets::kNone)
        sockets::close(listener_);
}

std::vector<std::string> ScriptedServer::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

void ScriptedServer::acceptLoop() {
    while (!stopping_) {
        if (!sockets::readable(listener_, 10))
            continue;
        const sockets::Socket fd = sockets::accept(listener_);
        if (fd == sockets::kNone)
            continue;
        threads_.emplace_back([this, fd] { serve(fd); });
    }
}

void ScriptedServer::serve(std::intptr_t fd) {
    const Connection connection(fd, stopping_);
    if (mode_ == Mode::Silent)
        connection.hang();
    if (mode_ == Mode::Script) {
        std::string request;
        if (sockets::readable(fd, 3000)) {
            char buffer[1024];
            const auto n = sockets::receive(fd, buffer, sizeof buffer);
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
    sockets::close(fd);
}

} // namespace kestrun::test
