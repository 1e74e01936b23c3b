#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kestrun::test {

// A raw TCP peer on 127.0.0.1 for the update client's tests: blocking sockets on threads of
// its own, so it answers whatever the thread under test does.
class ScriptedServer {
public:
    enum class Mode {
        FullQueue,      // listens, but its accept queue is full and it never accepts
        AcceptAndClose, // accepts and closes at once, without reading
        Silent,         // accepts and neither answers nor closes
        Script,         // reads one request and lets the script answer
    };

    // What the script of one connection may do.
    class Connection {
    public:
        Connection(std::intptr_t fd, const std::atomic<bool>& stopping)
            : fd_(fd), stop_(stopping) {}
        // False when the bytes could not all go out (the client has gone).
        bool send(const std::string& bytes) const;
        // Keeps the connection open, without sending, until the server is stopped.
        void hang() const;

    private:
        std::intptr_t fd_; // see tests/peers/socket_calls.h
        const std::atomic<bool>& stop_;
    };
    // Answers one request; the connection is closed when it returns.
    using Script = std::function<void(const std::string& request, const Connection&)>;

    explicit ScriptedServer(Mode mode, Script script = {});
    ~ScriptedServer();
    ScriptedServer(const ScriptedServer&) = delete;
    ScriptedServer& operator=(const ScriptedServer&) = delete;

    std::uint16_t port() const { return port_; }
    std::vector<std::string> requests() const;

private:
    void acceptLoop();
    void serve(std::intptr_t fd);

    Mode mode_;
    Script script_;
    std::intptr_t listener_ = -1;        // sockets as tests/peers/socket_calls.h holds them
    std::vector<std::intptr_t> fillers_; // the connections that fill a full queue
    std::uint16_t port_ = 0;
    std::atomic<bool> stopping_{false};
    mutable std::mutex mutex_;
    std::vector<std::string> requests_;
    std::vector<std::thread> threads_;
    std::thread acceptor_;
};

// A port on 127.0.0.1 where nothing listens.
std::uint16_t closedPort();

} // namespace kestrun::test
