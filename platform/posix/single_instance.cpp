#include "platform/single_instance.h"

#include <cstdlib>
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
    for (const auto& file : {lockFile(name), fallbackLockFile(name)}) {
        auto lock = std::make_unique<FileLock>(file);
        if (lock->state() != FileLock::State::Unavailable) {
            lock_ = std::move(lock);
            return;
        }
    }
}

} // namespace kestrun
