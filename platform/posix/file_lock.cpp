#include "platform/file_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kestrun {

FileLock::FileLock(const std::filesystem::path& file) {
    // O_CLOEXEC keeps the lock out of the programs this process starts. Only a regular file of
    // this user is used: a link or another user's file could be held to keep us out.
    fd_ = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd_ < 0)
        return;
    struct stat st {};
    if (::fstat(fd_, &st) != 0 || st.st_uid != ::getuid() || !S_ISREG(st.st_mode)) {
        ::close(fd_);
        fd_ = -1;
        return;
    }
    state_ = ::flock(fd_, LOCK_EX | LOCK_NB) == 0 ? State::Acquired : State::Busy;
}

FileLock::~FileLock() {
    if (fd_ >= 0)
        ::close(fd_);
}

} // namespace kestrun
