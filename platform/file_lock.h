#pragma once

#include <filesystem>

namespace kestrun {

// An exclusive advisory lock on a file, held for the life of the object and released by the
// kernel when the process dies. The file is created when missing; the descriptor is not
// inherited by started programs. A link, or anything but a regular file, is never used.
class FileLock {
public:
    enum class State {
        Acquired,   // this object holds the lock
        Busy,       // another holder has it
        Unavailable // the file could not be opened or may not be used
    };

    enum class Sharing {
        OwnerOnly, // only a file of this user counts (a private lock: nobody else can hold it)
        Writers    // a lock of the users who may write the folder's files: each of them may
                   // hold it, nobody else may even open it (0600, or 0660 in a folder its group
                   // shares); one others could open is replaced by a fresh one where the folder
                   // lets this user replace it, and is unavailable where it does not
    };

    explicit FileLock(const std::filesystem::path& file, Sharing sharing = Sharing::OwnerOnly);
    ~FileLock();
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

    State state() const { return state_; }
    bool acquired() const { return state_ == State::Acquired; }

private:
    int fd_ = -1;
    State state_ = State::Unavailable;
};

} // namespace kestrun
