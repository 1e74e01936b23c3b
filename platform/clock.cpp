#include "platform/clock.h"

#include <condition_variable>
#include <ctime>
#include <thread>

namespace kestrun {

LocalDateTime SystemClock::now() {
    const std::time_t t = std::time(nullptr);
    std::tm tm{};
    if (localtime_r(&t, &tm) == nullptr)
        return LocalDateTime::invalid();
    return LocalDateTime::fromFields(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour,
                                     tm.tm_min, tm.tm_sec);
}

std::uint64_t SystemClock::monotonicMs() {
    using namespace std::chrono;
    return static_cast<std::uint64_t>(
        duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

void SystemClock::sleepFor(std::chrono::milliseconds duration) {
    std::this_thread::sleep_for(duration);
}

void SystemClock::sleepFor(std::chrono::milliseconds duration, std::stop_token stop) {
    std::mutex mutex;
    std::condition_variable_any wake;
    std::unique_lock lock(mutex);
    wake.wait_for(lock, stop, duration, [] { return false; });
}

TestClock::TestClock(LocalDateTime start, std::uint64_t monotonicStartMs)
    : base_(start), monotonicMs_(monotonicStartMs) {}

LocalDateTime TestClock::now() {
    std::lock_guard lock(mutex_);
    return base_.addSeconds(baseOffsetMs_ / 1000);
}

std::uint64_t TestClock::monotonicMs() {
    std::lock_guard lock(mutex_);
    return monotonicMs_;
}

void TestClock::advance(std::chrono::milliseconds duration) {
    std::lock_guard lock(mutex_);
    baseOffsetMs_ += duration.count();
    monotonicMs_ += static_cast<std::uint64_t>(duration.count());
}

void TestClock::sleepFor(std::chrono::milliseconds duration) {
    advance(duration);
    std::function<void(std::chrono::milliseconds)> hook;
    {
        std::lock_guard lock(mutex_);
        hook = hook_;
    }
    if (hook)
        hook(duration);
}

void TestClock::setNow(LocalDateTime when) {
    std::lock_guard lock(mutex_);
    base_ = when;
    baseOffsetMs_ = 0;
}

void TestClock::setSleepHook(std::function<void(std::chrono::milliseconds)> hook) {
    std::lock_guard lock(mutex_);
    hook_ = std::move(hook);
}

} // namespace kestrun
