#include "platform/file_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace kestrun {

FileLock::FileLock(const std::filesystem::path& file) {
    // O_CLOEXEC keeps the lock out of the programs this process starts.
    fd_ = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd_ < 0)
        return;
    state_ = ::flock(fd_, LOCK_EX | LOCK_NB) == 0 ? State::Acquired : State::Busy;
}

FileLock::~FileLock() {
    if (fd_ >= 0)
        ::close(fd_);
}

} // namespace kestrun
