#include "platform/file_lock.h"

#include "platform/win32/win32_util.h"

namespace kestrun {

FileLock::FileLock(const std::filesystem::path& file, Sharing /*sharing*/) {
    // The handle is not inherited by started programs, a link is never used, and only a
    // regular file is locked. Any user who may open the file may take a shared lock: who may
    // open it is what the folder's inherited access rules say; a private one lies in the
    // user's own profile, which others cannot reach.
    win32::Handle handle =
        win32::openPath(file, GENERIC_READ, OPEN_ALWAYS, FILE_FLAG_OPEN_REPARSE_POINT);
    const auto status = handle ? win32::statusOf(handle.get()) : std::nullopt;
    if (!status || !status->isRegular)
        return;
    OVERLAPPED whole{};
    const bool locked =
        ::LockFileEx(handle.get(), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD,
                     MAXDWORD, &whole) != 0;
    FileDescriptor fd = win32::adoptHandle(std::move(handle));
    if (!fd)
        return;
    fd_ = fd.release();
    state_ = locked ? State::Acquired : State::Busy;
}

FileLock::~FileLock() {
    // Closing the handle releases the lock, as the system does when the process dies.
    FileDescriptor closing(fd_);
}

} // namespace kestrun
