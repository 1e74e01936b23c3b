#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace kestrun::test {

// A test client of the update protocol that speaks raw bytes over a blocking socket to
// 127.0.0.1, and records when each piece of the answer arrived and when the server closed.
struct RawExchange {
    using Clock = std::chrono::steady_clock;
    struct Piece {
        std::string bytes;
        Clock::time_point at;
    };
    bool connected = false;
    Clock::time_point sent;
    Clock::time_point closed;
    bool closedByServer = false; // false: the client gave up first
    bool reset = false;          // the server reset the connection rather than closing it
    std::vector<Piece> pieces;

    std::string bytes() const;
    // Milliseconds from the request (or the last piece) to the close.
    double msToClose() const;
    double msFromLastPieceToClose() const;
};

struct RawRequest {
    std::string bytes;                       // written in one write; empty: write nothing
    std::chrono::milliseconds holdOff{0};    // wait this long before the first read
    std::chrono::milliseconds giveUp{15000}; // stop waiting for the close after this
    int receiveBuffer = 0;                   // SO_RCVBUF when above 0
    std::string source{}; // the local IPv4 address to send from, if any; "::1": over IPv6
    // A slow reader: at most this many bytes per read, with this pause after each read.
    std::size_t readSize = 65536;
    std::chrono::milliseconds readEvery{0};
};

// A connection to 127.0.0.1 that sends nothing, kept open until destroyed.
class IdleConnection {
public:
    IdleConnection(std::uint16_t port, const std::string& source);
    ~IdleConnection();
    IdleConnection(const IdleConnection&) = delete;
    IdleConnection& operator=(const IdleConnection&) = delete;

    bool connected() const { return connected_; }
    // Whether the server has closed (or reset) it by now.
    bool closedByServer() const;

private:
    std::intptr_t fd_ = -1; // see tests/peers/socket_calls.h
    bool connected_ = false;
};

// Connections that send nothing, perSource from each of the given addresses, each opened again
// as soon as the server closes it, on a thread of their own until destroyed: peers that hold
// every connection they can.
class IdleFlood {
public:
    IdleFlood(std::uint16_t port, const std::vector<std::string>& sources, int perSource);
    ~IdleFlood();
    IdleFlood(const IdleFlood&) = delete;
    IdleFlood& operator=(const IdleFlood&) = delete;

    int reopened() const { return reopened_; }

private:
    std::atomic<bool> stop_{false};
    std::atomic<int> reopened_{0};
    std::thread thread_;
};

// Runs one exchange on the calling thread (blocking).
RawExchange rawExchange(std::uint16_t port, const RawRequest& request);

// Runs a blocking job on its own thread while this thread serves Qt events (the server under
// test lives here), and returns the job's result.
template <typename T> T whileServing(std::function<T()> job);
void serveEventsUntil(const std::function<bool()>& done);
// The same, giving up after the limit; whether it is done.
bool serveEventsUntil(const std::function<bool()>& done, std::chrono::milliseconds limit);

} // namespace kestrun::test

#include <future>

template <typename T> T kestrun::test::whileServing(std::function<T()> job) {
    auto result = std::async(std::launch::async, std::move(job));
    serveEventsUntil(
        [&] { return result.wait_for(std::chrono::milliseconds(0)) == std::future_status::ready; });
    return result.get();
}
