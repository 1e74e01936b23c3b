#pragma once

#include "platform/file_lock.h"

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kestrun {

// Holds the named instance lock for the life of the object; the kernel releases it when the
// process dies. acquired() is false only when another process holds it: when no lock file can
// be made at all (no private folder of the user), the program runs unguarded rather than not
// at all.
//
// On Windows the lock is the named mutex of the user's session, owned by the thread that made
// the object; the folders play no part there, and file() is a path that names the lock in its
// session and user without a file behind it (for what is placed beside it by name).
//
// The lock lies only in a folder of the user's own that no one else may write, found the same
// way whatever environment started the program: $XDG_RUNTIME_DIR, else /run/user/<uid> (where
// sessions keep it, so an instance started without the variable, from cron or su, meets the
// session's), else ~/.cache/kestrun of the home folder in the password database.
class SingleInstanceLock {
public:
    explicit SingleInstanceLock(const std::string& name);
    // The lock in the first of the folders where a lock file can be used; a missing folder is
    // made private, a folder that is not private is passed over.
    SingleInstanceLock(const std::string& name, const std::vector<std::filesystem::path>& folders);
    SingleInstanceLock(const SingleInstanceLock&) = delete;
    SingleInstanceLock& operator=(const SingleInstanceLock&) = delete;

    bool acquired() const { return !busy_; }
    // The lock file held or found busy; empty when none could be used.
    const std::filesystem::path& file() const { return file_; }

    // The folders the lock may lie in, best first.
    static std::vector<std::filesystem::path> lockFolders();
    // The same choice from given places: the runtime folder variable's value (left out when
    // unset, relative, missing or not private), the per-user runtime folder (left out when
    // missing or not private) and the home cache folder, which the lock makes when needed.
    static std::vector<std::filesystem::path>
    lockFolders(const std::optional<std::string>& runtimeVariable,
                const std::filesystem::path& userRuntimeFolder,
                const std::filesystem::path& homeCacheFolder);

private:
    std::unique_ptr<FileLock> lock_; // null when no lock file could be used
    std::shared_ptr<void> mutex_;    // the named mutex held, where the system has them
    bool busy_ = false;              // another process holds the lock
    std::filesystem::path file_;
};

} // namespace kestrun
