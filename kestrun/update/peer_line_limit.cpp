#include "kestrun/update/peer_line_limit.h"

#include "platform/clock.h"

#include <utility>

namespace kestrun {

PeerLineLimit::PeerLineLimit(Clock& clock, Sink sink, int linesPerMinute, std::size_t addresses)
    : clock_(clock), sink_(std::move(sink)), linesPerMinute_(linesPerMinute),
      addresses_(addresses) {}

void PeerLineLimit::log(const std::string& address, std::string_view line) {
    expire();
    const auto known = byAddress_.find(address);
    if (known != byAddress_.end()) {
        Minute& minute = *known->second;
        if (minute.logged < linesPerMinute_) {
            ++minute.logged;
            sink_(line);
        } else {
            ++minute.leftOut;
        }
        return;
    }
    if (byAddress_.size() < addresses_ && linesPerMinute_ > 0) {
        minutes_.push_back({address, clock_.monotonicMs(), 1, 0});
        byAddress_.emplace(address, std::prev(minutes_.end()));
        sink_(line);
        return;
    }
    if (others_.leftOut == 0)
        others_.startMs = clock_.monotonicMs();
    ++others_.leftOut;
}

bool PeerLineLimit::expire() {
    const std::uint64_t now = clock_.monotonicMs();
    while (!minutes_.empty() && now - minutes_.front().startMs >= kMinuteMs) {
        const Minute& minute = minutes_.front();
        reportLeftOut(minute.address, minute.leftOut);
        byAddress_.erase(minute.address);
        minutes_.pop_front();
    }
    if (others_.leftOut > 0 && now - others_.startMs >= kMinuteMs) {
        reportLeftOut("other addresses", others_.leftOut);
        others_.leftOut = 0;
    }
    return !minutes_.empty() || others_.leftOut > 0;
}

void PeerLineLimit::reportLeftOut(const std::string& from, std::uint64_t count) {
    if (count == 0)
        return;
    sink_("Update server: " + std::to_string(count) + (count == 1 ? " more line" : " more lines") +
          " from " + from + " left out in the last minute");
}

} // namespace kestrun
