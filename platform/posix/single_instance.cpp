#include "platform/single_instance.h"

#include <cstdlib>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kestrun {

std::filesystem::path SingleInstanceLock::lockFile(const std::string& name) {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && *runtime)
        return std::filesystem::path(runtime) / (name + ".lock");
    return fallbackLockFile(name);
}

std::filesystem::path SingleInstanceLock::fallbackLockFile(const std::string& name) {
    return std::filesystem::path("/tmp") / (name + "-" + std::to_string(getuid()) + ".lock");
}

namespace {

// Opens a lock file that belongs to this user; a link or another user's file (which could be
// held to keep the program from starting) is not used.
int openOwnLockFile(const std::filesystem::path& file) {
    const int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        return -1;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || st.st_uid != ::getuid() || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

} // namespace

SingleInstanceLock::SingleInstanceLock(const std::string& name) {
    // O_CLOEXEC keeps the lock out of the programs this process starts.
    fd_ = openOwnLockFile(lockFile(name));
    if (fd_ < 0)
        fd_ = openOwnLockFile(fallbackLockFile(name));
    acquired_ = fd_ < 0 || ::flock(fd_, LOCK_EX | LOCK_NB) == 0;
}

SingleInstanceLock::~SingleInstanceLock() {
    if (fd_ >= 0)
        ::close(fd_);
}

} // namespace kestrun
