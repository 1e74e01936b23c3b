#include "platform/file_lock.h"

#include "platform/posix/file_trust.h"
#include "platform/shared_folder.h"

#include <cerrno>
#include <fcntl.h>
#include <random>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace kestrun {

namespace fs = std::filesystem;

namespace {

// O_NONBLOCK keeps a FIFO put in the lock's place from blocking us.
constexpr int kOpenFlags = O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY;

// A new lock of the folder's users: nobody else may open it from its first moment (0600 less
// the umask), an access list it inherited from the folder goes, so that only its mode lets
// anyone in, and in a folder its group shares the group may then open it as well (0660).
FileDescriptor createLock(const fs::path& file) {
    FileDescriptor fd(::open(file.c_str(), O_RDWR | O_CREAT | O_EXCL | kOpenFlags, 0600));
    if (!fd)
        return fd;
    ::fremovexattr(fd.get(), "system.posix_acl_access");
    if (!applyNewFileMode(fd, newFileModeIn(file.parent_path(), 0600)))
        return {};
    return fd;
}

bool lockNow(const FileDescriptor& fd) {
    return ::flock(fd.get(), LOCK_EX | LOCK_NB) == 0;
}

// A fresh lock, held, put in the place of one that may not be used: made under a name of its
// own beside it and renamed over it. Whoever opens the name from then on meets the fresh one.
FileDescriptor replaceLock(const fs::path& file) {
    std::random_device random;
    const fs::path temp = file.parent_path() / ("." + file.filename().string() + "." +
                                                std::to_string(random()) + ".new");
    FileDescriptor fd = createLock(temp);
    if (!fd)
        return fd;
    if (!lockNow(fd) || ::rename(temp.c_str(), file.c_str()) != 0) {
        ::unlink(temp.c_str());
        return {};
    }
    return fd;
}

} // namespace

// Only users who may write the queue file may hold the lock beside it: it is opened for
// writing, and made so that no one else may open it at all (flock asks for no write access, so
// a lock others may read would let them hold it). A lock that others may open, or that this
// user may not write, is not used: a fresh one takes its place when the folder lets this user
// replace it (its holder, if any, may be anyone who could open it); when it does not, the lock
// is unavailable and the caller's own private lock stands in. A lock of a trusted user that
// this user may only read, and that is held, is busy: that user's run is going on.
FileLock::FileLock(const fs::path& file, Sharing sharing) {
    if (sharing == Sharing::OwnerOnly) {
        // A private lock only when it is this user's own file, since another user's file could
        // be held to keep us out.
        FileDescriptor fd(::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
        struct stat st {};
        if (!fd || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::getuid())
            return;
        state_ = lockNow(fd) ? State::Acquired : State::Busy;
        fd_ = fd.release();
        return;
    }
    for (int attempt = 0; attempt < 3; ++attempt) {
        bool writable = true;
        FileDescriptor fd(::open(file.c_str(), O_RDWR | kOpenFlags));
        if (!fd && errno == ENOENT) {
            fd = createLock(file);
            if (!fd && errno == EEXIST)
                continue; // made by another start meanwhile
        } else if (!fd && errno == EACCES) {
            writable = false;
            fd = FileDescriptor(::open(file.c_str(), O_RDONLY | kOpenFlags));
        }
        struct stat st {};
        if (!fd || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
            return;
        // The users of the folder: this user, root and, where its group shares the folder,
        // that group's members, whoever this user is.
        const bool exposed = posix::ownerOutside(st, file.parent_path(), true) ||
                             (posix::outsiderAccess(st, {fd.get(), nullptr, false},
                                                    posix::sharingGroup(file.parent_path())) &
                              (posix::kMayRead | posix::kMayWrite)) != 0;
        const bool held = lockNow(fd);
        // A lock that was replaced while it was being looked at is no lock any more: the one
        // in its place is (its holder may be the start that replaced it).
        if (::fstat(fd.get(), &st) != 0 || st.st_nlink == 0)
            continue;
        if (!exposed && (writable || !held)) {
            state_ = held ? State::Acquired : State::Busy;
            fd_ = fd.release();
            return;
        }
        // Held here, the old lock keeps every other start out until the fresh one is in place.
        FileDescriptor fresh = replaceLock(file);
        if (!fresh)
            return;
        state_ = State::Acquired;
        fd_ = fresh.release();
        return;
    }
}

FileLock::~FileLock() {
    if (fd_ >= 0)
        ::close(fd_);
}

} // namespace kestrun
