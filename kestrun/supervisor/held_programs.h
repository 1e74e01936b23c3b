#pragma once

#include "common/text.h"

#include <mutex>
#include <set>
#include <string>
#include <string_view>

namespace kestrun {

// The executables that another part of Kestrun has closed on purpose and is replacing (the
// update engine while it installs a new Zelmo): the program check does not start them again
// until every hold of them is released. Names are file names, compared without regard to
// letter case.
// Safe to use from any thread.
class HeldPrograms {
public:
    void hold(std::string_view fileName) {
        std::lock_guard lock(mutex_);
        names_.insert(toLowerAscii(fileName));
    }
    // Ends one hold of the name; another holder's hold of it stays.
    void release(std::string_view fileName) {
        std::lock_guard lock(mutex_);
        if (const auto it = names_.find(toLowerAscii(fileName)); it != names_.end())
            names_.erase(it);
    }
    void releaseAll() {
        std::lock_guard lock(mutex_);
        names_.clear();
    }
    bool isHeld(std::string_view lowerFileName) const {
        std::lock_guard lock(mutex_);
        return !names_.empty() && names_.contains(std::string(lowerFileName));
    }

private:
    mutable std::mutex mutex_;
    std::multiset<std::string> names_; // a name once for each hold
};

} // namespace kestrun
