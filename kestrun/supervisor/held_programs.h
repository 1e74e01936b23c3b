#pragma once

#include "common/text.h"

#include <mutex>
#include <set>
#include <string>
#include <string_view>

namespace kestrun {

// The executables that another part of Kestrun has closed on purpose and is replacing (the
// update engine while it installs a new Zelmo): the program check does not start them again
// until they are released. Names are file names, compared without regard to letter case.
// Safe to use from any thread.
class HeldPrograms {
public:
    void hold(std::string_view fileName) {
        std::lock_guard lock(mutex_);
        names_.insert(toLowerAscii(fileName));
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
    std::set<std::string> names_;
};

} // namespace kestrun
