#include "platform/single_instance.h"

#include "platform/win32/win32_util.h"

#include <sddl.h>

#include <mutex>
#include <set>

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

namespace {

// The lock's name as a path no file carries, "\\.\<session>-<user>\<name>": pipes, unlike the
// mutex, share one namespace across sessions and users, so the second start's channel, named
// after this path, is one per session and user as the lock is. Empty when the user's identity
// cannot be read.
fs::path instancePath(const std::string& name) {
    DWORD session = 0;
    wchar_t* user = nullptr;
    if (!::ProcessIdToSessionId(::GetCurrentProcessId(), &session) || !win32::currentUser() ||
        !::ConvertSidToStringSidW(win32::currentUser(), &user))
        return {};
    const fs::path path =
        fs::path(L"\\\\.\\" + std::to_wstring(session) + L"-" + user) / win32::widen(name);
    ::LocalFree(user);
    return path;
}

// The names whose mutex this process holds. Windows lets the thread that owns a mutex take it
// again; a second lock of a held name in this process is refused as one from any other
// process is, as a lock file refuses it.
std::mutex heldGuard;
std::set<std::wstring> heldNames;

} // namespace

SingleInstanceLock::SingleInstanceLock(const std::string& name)
    : SingleInstanceLock(name, lockFolders()) {}

SingleInstanceLock::SingleInstanceLock(const std::string& name, const std::vector<fs::path>&) {
    // Owning the mutex, not merely making it, is what holds the instance: a mutex whose owner
    // died is abandoned and taken over, so a crashed instance never keeps the next one out.
    const std::wstring wide = win32::widen(name);
    const HANDLE mutex = ::CreateMutexW(nullptr, FALSE, wide.c_str());
    if (!mutex)
        return; // no mutex at all: run unguarded rather than not at all
    file_ = instancePath(name);
    std::unique_lock guard(heldGuard);
    const DWORD waited = heldNames.count(wide) ? WAIT_TIMEOUT : ::WaitForSingleObject(mutex, 0);
    if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) {
        ::CloseHandle(mutex);
        busy_ = waited == WAIT_TIMEOUT;
        return;
    }
    heldNames.insert(wide);
    guard.unlock(); // the deleter takes it again, also when the owner below cannot be made
    // The name is free again only when the mutex is: ReleaseMutex fails on a thread that does
    // not own it, and the mutex then stays held until its owner thread ends.
    mutex_ = std::shared_ptr<void>(mutex, [wide](void* held) {
        const bool released = ::ReleaseMutex(held);
        ::CloseHandle(held);
        if (released) {
            const std::lock_guard letGo(heldGuard);
            heldNames.erase(wide);
        }
    });
}

} // namespace kestrun
