#pragma once

#include <condition_variable>
#include <mutex>
#include <stop_token>

namespace kestrun {

// Lets one thread wait until another has finished a piece of work, and stop waiting when the
// token asks it to (the window going away).
class Completion {
public:
    void signal() {
        std::lock_guard lock(mutex_);
        finished_ = true;
        done_.notify_all();
    }
    void wait(std::stop_token token) {
        std::unique_lock lock(mutex_);
        done_.wait(lock, token, [this] { return finished_; });
    }

private:
    std::mutex mutex_;
    std::condition_variable_any done_;
    bool finished_ = false;
};

} // namespace kestrun
