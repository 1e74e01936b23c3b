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
        AnyUser    // a lock shared by every user of a folder: any user's file counts, and a
                   // file made here may be opened by every user
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
