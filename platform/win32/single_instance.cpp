#include "platform/single_instance.h"

#include "platform/win32/win32_util.h"

namespace kestrun {

namespace fs = std::filesystem;

// The mutex lives in the session's namespace, like every named object without a prefix, and
// needs no folder.
std::vector<fs::path> SingleInstanceLock::lockFolders(const std::optional<std::string>&,
                                                      const fs::path&, const fs::path&) {
    return {};
}

std::vector<fs::path> SingleInstanceLock::lockFolders() {
    return {};
}

SingleInstanceLock::SingleInstanceLock(const std::string& name)
    : SingleInstanceLock(name, lockFolders()) {}

SingleInstanceLock::SingleInstanceLock(const std::string& name, const std::vector<fs::path>&) {
    // Owning the mutex, not merely making it, is what holds the instance: a mutex whose owner
    // died is abandoned and taken over, so a crashed instance never keeps the next one out.
    const HANDLE mutex = ::CreateMutexW(nullptr, FALSE, win32::widen(name).c_str());
    if (!mutex)
        return; // no mutex at all: run unguarded rather than not at all
    const DWORD waited = ::WaitForSingleObject(mutex, 0);
    if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) {
        ::CloseHandle(mutex);
        busy_ = waited == WAIT_TIMEOUT;
        return;
    }
    mutex_ = std::shared_ptr<void>(mutex, [](void* held) {
        ::ReleaseMutex(held);
        ::CloseHandle(held);
    });
}

} // namespace kestrun
