#include "platform/single_instance.h"

#include <cstdlib>
#include <fcntl.h>
#include <sys/file.h>
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

SingleInstanceLock::SingleInstanceLock(const std::string& name) {
    // O_CLOEXEC keeps the lock out of the programs this process starts.
    fd_ = ::open(lockFile(name).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd_ < 0)
        fd_ = ::open(fallbackLockFile(name).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    acquired_ = fd_ < 0 || ::flock(fd_, LOCK_EX | LOCK_NB) == 0;
}

SingleInstanceLock::~SingleInstanceLock() {
    if (fd_ >= 0)
        ::close(fd_);
}

} // namespace kestrun
