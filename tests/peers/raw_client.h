#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
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
    std::string source{};                    // the local IPv4 address to send from, if any
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
    int fd_ = -1;
    bool connected_ = false;
};

// Runs one exchange on the calling thread (blocking).
RawExchange rawExchange(std::uint16_t port, const RawRequest& request);

// Runs a blocking job on its own thread while this thread serves Qt events (the server under
// test lives here), and returns the job's result.
template <typename T> T whileServing(std::function<T()> job);
void serveEventsUntil(const std::function<bool()>& done);

} // namespace kestrun::test

#include <future>

template <typename T> T kestrun::test::whileServing(std::function<T()> job) {
    auto result = std::async(std::launch::async, std::move(job));
    serveEventsUntil(
        [&] { return result.wait_for(std::chrono::milliseconds(0)) == std::future_status::ready; });
    return result.get();
}
