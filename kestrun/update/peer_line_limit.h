#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <string>
#include <string_view>
#include <unordered_map>

namespace kestrun {

class Clock;

// The lines peers make the update server log, a few per address a minute: a peer that reports
// again and again cannot grow the event log without end. An address's minute begins with its
// first line; the lines beyond its share are left out and counted, and when the minute is over
// one line says how many. The table of addresses is bounded: while it is full, the lines of
// addresses not in it are counted together.
class PeerLineLimit {
public:
    using Sink = std::function<void(std::string_view)>;

    static constexpr int kLinesPerMinute = 5;
    static constexpr std::size_t kAddresses = 1024;
    static constexpr std::uint64_t kMinuteMs = 60'000;

    PeerLineLimit(Clock& clock, Sink sink, int linesPerMinute = kLinesPerMinute,
                  std::size_t addresses = kAddresses);

    // Logs the line that the peer of this address (as the server groups its peers) brought,
    // unless the address has had its share of this minute.
    void log(const std::string& address, std::string_view line);
    // Ends the minutes that are over, each with its count of lines left out, and forgets their
    // addresses. True while a minute is still running.
    bool expire();

private:
    struct Minute {
        std::string address;
        std::uint64_t startMs = 0;
        int logged = 0;
        std::uint64_t leftOut = 0;
    };
    void reportLeftOut(const std::string& from, std::uint64_t count);

    Clock& clock_;
    Sink sink_;
    int linesPerMinute_;
    std::size_t addresses_;
    std::list<Minute> minutes_; // oldest first: the order in which their minutes end
    std::unordered_map<std::string, std::list<Minute>::iterator> byAddress_;
    Minute others_; // the addresses that found the table full
};

} // namespace kestrun
