#pragma once

#include <atomic>
#include <cstdint>
#include <optional>

namespace kestrun {

// Seconds left of a pause of program supervision; 0 while supervision runs. The heartbeat
// counts it down while the Stop and Resume commands set it from the window thread; the
// count-down uses compare-and-swap, so neither undoes the other.
class PauseCounter {
public:
    std::int32_t value() const { return seconds_.load(); }
    bool paused() const { return seconds_.load() > 0; }

    // Stop: a pause of the given minutes. Resume: set(0).
    void set(std::int32_t seconds) { seconds_.store(seconds); }

    // Lowers a running pause by the step; returns the new value, or nullopt when there was no
    // pause to count down. A pause never counts below 0.
    std::optional<std::int32_t> countDown(std::int32_t step) {
        std::int32_t current = seconds_.load();
        while (current > 0) {
            const std::int32_t next = current > step ? current - step : 0;
            if (seconds_.compare_exchange_weak(current, next))
                return next;
        }
        return std::nullopt;
    }

private:
    std::atomic<std::int32_t> seconds_{0};
};

} // namespace kestrun
