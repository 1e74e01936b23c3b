#include "platform/file_lock.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kestrun {

namespace {

// A shared lock needs only read access (flock does not care how the file was opened), so any
// user of the folder can take it. O_NONBLOCK keeps a FIFO put in its place from blocking us.
int openShared(const std::filesystem::path& file) {
    constexpr int flags = O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK;
    const int fd = ::open(file.c_str(), flags | O_CREAT | O_EXCL, 0644);
    if (fd >= 0) {
        ::fchmod(fd, 0644); // whatever the umask, every user may open it
        return fd;
    }
    // An existing file, perhaps another user's in a sticky folder where O_CREAT is refused.
    return errno == EEXIST ? ::open(file.c_str(), flags) : -1;
}

} // namespace

FileLock::FileLock(const std::filesystem::path& file, Sharing sharing) {
    // O_CLOEXEC keeps the lock out of the programs this process starts. Only a regular file is
    // used, never through a link; a private lock only when it is this user's own file, since
    // another user's file could be held to keep us out.
    fd_ = sharing == Sharing::AnyUser
              ? openShared(file)
              : ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd_ < 0)
        return;
    struct stat st {};
    if (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode) ||
        (sharing == Sharing::OwnerOnly && st.st_uid != ::getuid())) {
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
