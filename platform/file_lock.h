#pragma once

#include <filesystem>

namespace kestrun {

// An exclusive advisory lock on a file, held for the life of the object and released by the
// kernel when the process dies. The file is created when missing; the descriptor is not
// inherited by started programs. A link or a file of another user is not used (Unavailable).
class FileLock {
public:
    enum class State {
        Acquired,   // this object holds the lock
        Busy,       // another holder has it
        Unavailable // the file could not be opened or is not ours
    };

    explicit FileLock(const std::filesystem::path& file);
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
