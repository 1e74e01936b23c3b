#include "platform/single_instance.h"

#include "platform/win32/win32_util.h"

#include <sddl.h>

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

} // namespace

SingleInstanceLock::SingleInstanceLock(const std::string& name)
    : SingleInstanceLock(name, lockFolders()) {}

SingleInstanceLock::SingleInstanceLock(const std::string& name, const std::vector<fs::path>&) {
    // Owning the mutex, not merely making it, is what holds the instance: a mutex whose owner
    // died is abandoned and taken over, so a crashed instance never keeps the next one out.
    const HANDLE mutex = ::CreateMutexW(nullptr, FALSE, win32::widen(name).c_str());
    if (!mutex)
        return; // no mutex at all: run unguarded rather than not at all
    file_ = instancePath(name);
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
