#pragma once

#include "platform/file_lock.h"

#include <filesystem>
#include <memory>
#include <string>

namespace kestrun {

// Holds the named instance lock for the life of the object; the kernel releases it when the
// process dies. acquired() is false only when another process holds it: when no lock file can
// be made at all (no runtime folder, no /tmp), the program runs unguarded rather than not at
// all.
class SingleInstanceLock {
public:
    explicit SingleInstanceLock(const std::string& name);
    SingleInstanceLock(const SingleInstanceLock&) = delete;
    SingleInstanceLock& operator=(const SingleInstanceLock&) = delete;

    bool acquired() const { return !lock_ || lock_->state() != FileLock::State::Busy; }

    // $XDG_RUNTIME_DIR/<name>.lock, else /tmp/<name>-<uid>.lock.
    static std::filesystem::path lockFile(const std::string& name);
    static std::filesystem::path fallbackLockFile(const std::string& name);

private:
    std::unique_ptr<FileLock> lock_; // null when no lock file could be used
};

} // namespace kestrun
