#pragma once

#include "common/local_date_time.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <stop_token>

namespace kestrun {

// The one source of time for the whole program: local date and time to the second, a
// monotonic millisecond count, and waiting. Tests inject a TestClock and run hours of
// schedules in milliseconds.
class Clock {
public:
    virtual ~Clock() = default;
    virtual LocalDateTime now() = 0;
    virtual std::uint64_t monotonicMs() = 0;
    // Blocks the calling thread for the given time (a test clock advances instead).
    virtual void sleepFor(std::chrono::milliseconds duration) = 0;
    // The same, but a real clock wakes early when the stop is requested.
    virtual void sleepFor(std::chrono::milliseconds duration, std::stop_token stop) = 0;
};

class SystemClock final : public Clock {
public:
    LocalDateTime now() override;
    std::uint64_t monotonicMs() override;
    void sleepFor(std::chrono::milliseconds duration) override;
    void sleepFor(std::chrono::milliseconds duration, std::stop_token stop) override;
};

// Virtual time: it moves only when a test advances it or when someone sleeps on it.
// Safe to use from several threads.
class TestClock final : public Clock {
public:
    explicit TestClock(LocalDateTime start, std::uint64_t monotonicStartMs = 1'000'000);

    LocalDateTime now() override;
    std::uint64_t monotonicMs() override;
    // Advances virtual time by the duration, then calls the sleep hook if one is set.
    void sleepFor(std::chrono::milliseconds duration) override;
    // Virtual sleeps are instant: the stop is not needed to end them.
    void sleepFor(std::chrono::milliseconds duration, std::stop_token) override {
        sleepFor(duration);
    }

    void advance(std::chrono::milliseconds duration);
    // Sets the local date and time (the monotonic count is not touched).
    void setNow(LocalDateTime when);
    // Called after every sleepFor, on the sleeping thread, with the duration slept.
    void setSleepHook(std::function<void(std::chrono::milliseconds)> hook);

private:
    std::mutex mutex_;
    LocalDateTime base_;
    std::int64_t baseOffsetMs_ = 0; // milliseconds past base_
    std::uint64_t monotonicMs_;
    std::function<void(std::chrono::milliseconds)> hook_;
};

} // namespace kestrun
