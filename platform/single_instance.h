#pragma once

#include <filesystem>
#include <string>

namespace kestrun {

// Holds the named instance lock for the life of the object; the kernel releases it when the
// process dies. acquired() is false only when another process holds it: when no lock file can
// be made at all (no runtime folder, no /tmp), the program runs unguarded rather than not at
// all.
class SingleInstanceLock {
public:
    explicit SingleInstanceLock(const std::string& name);
    ~SingleInstanceLock();
    SingleInstanceLock(const SingleInstanceLock&) = delete;
    SingleInstanceLock& operator=(const SingleInstanceLock&) = delete;

    bool acquired() const { return acquired_; }

    // $XDG_RUNTIME_DIR/<name>.lock, else /tmp/<name>-<uid>.lock.
    static std::filesystem::path lockFile(const std::string& name);
    static std::filesystem::path fallbackLockFile(const std::string& name);

private:
    int fd_ = -1;
    bool acquired_ = false;
};

} // namespace kestrun
