#include "platform/regular_file.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>

namespace kestrun {

FileDescriptor::~FileDescriptor() {
    if (fd_ >= 0)
        ::close(fd_);
}

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = other.release();
    }
    return *this;
}

int FileDescriptor::release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
}

namespace {

// O_NONBLOCK makes the open of a FIFO return at once instead of waiting for its other end;
// the type is then checked on the open descriptor, so a swap after a check cannot fool it.
FileDescriptor openRegular(const std::filesystem::path& file, int flags, unsigned mode) {
    // Opening a device (a tty, a tape) or a FIFO has effects of its own, so what is plainly
    // no regular file is not opened at all; the check on the descriptor below still catches
    // a swap after this one.
    struct stat before {};
    if (::stat(file.c_str(), &before) == 0 && !S_ISREG(before.st_mode))
        return {};
    int fd;
    do {
        fd = ::open(file.c_str(), flags | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, mode);
    } while (fd < 0 && errno == EINTR);
    FileDescriptor result(fd);
    if (!result)
        return result;
    struct stat st {};
    if (::fstat(result.get(), &st) != 0 || !S_ISREG(st.st_mode))
        return {};
    const int status = ::fcntl(result.get(), F_GETFL);
    if (status >= 0)
        ::fcntl(result.get(), F_SETFL, status & ~O_NONBLOCK);
    return result;
}

} // namespace

FileDescriptor openRegularForReading(const std::filesystem::path& file) {
    return openRegular(file, O_RDONLY, 0);
}

FileDescriptor openRegularForReadingNoLink(const std::filesystem::path& file) {
    return openRegular(file, O_RDONLY | O_NOFOLLOW, 0);
}

namespace {

bool ownedByOthers(const struct stat& st) {
    return st.st_uid != 0 && st.st_uid != ::geteuid();
}

} // namespace

FileDescriptor openRegularForAppend(const std::filesystem::path& file, unsigned createMode,
                                    bool* created) {
    if (created)
        *created = false;
    // A link in the file's place is followed only when the running user or root owns it: a
    // link another user planted in a shared folder never leads the lines elsewhere. A missing
    // file is made new, never through a link (a dangling one would make its target).
    struct stat st {};
    const bool present = ::lstat(file.c_str(), &st) == 0;
    if (present && S_ISLNK(st.st_mode)) {
        if (ownedByOthers(st))
            return {};
        return openRegular(file, O_WRONLY | O_APPEND, 0);
    }
    constexpr int flags = O_WRONLY | O_APPEND | O_NOFOLLOW;
    if (!present) {
        // Made here and now, so the caller knows the file is its own new one.
        FileDescriptor fd = openRegular(file, flags | O_CREAT | O_EXCL, createMode);
        if (fd || errno != EEXIST) {
            if (fd && created)
                *created = true;
            return fd;
        }
    }
    return openRegular(file, flags, 0);
}

bool isOthersLink(const std::filesystem::path& place) {
    struct stat st {};
    return ::lstat(place.c_str(), &st) == 0 && S_ISLNK(st.st_mode) && ownedByOthers(st);
}

bool isOwnRegularFile(const std::filesystem::path& place) {
    struct stat st {};
    return ::lstat(place.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::geteuid();
}

FileDescriptor openRegularForRewrite(const std::filesystem::path& file, unsigned createMode) {
    return openRegular(file, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW, createMode);
}

FileDescriptor openRegularForUpdate(const std::filesystem::path& file, unsigned createMode) {
    return openRegular(file, O_WRONLY | O_CREAT | O_NOFOLLOW, createMode);
}

FileDescriptor createNewRegularFile(const std::filesystem::path& file, unsigned createMode) {
    // O_EXCL makes the file new or fails, so nothing but a fresh regular file is opened: no
    // check of the type is needed before or after.
    int fd;
    do {
        fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY,
                    static_cast<mode_t>(createMode));
    } while (fd < 0 && errno == EINTR);
    return FileDescriptor(fd);
}

long readSome(const FileDescriptor& fd, char* buffer, std::size_t size) {
    for (;;) {
        const ssize_t n = ::read(fd.get(), buffer, size);
        if (n < 0 && errno == EINTR)
            continue;
        return n < 0 ? -1 : static_cast<long>(n);
    }
}

bool syncToDisk(const FileDescriptor& fd) {
    int result;
    do {
        result = ::fsync(fd.get());
    } while (result != 0 && errno == EINTR);
    return result == 0;
}

bool closeFile(FileDescriptor& fd) {
    // The descriptor is gone after close whatever it reports, EINTR included: never retried.
    return fd && ::close(fd.release()) == 0;
}

bool setFileSize(const FileDescriptor& fd, std::int64_t size) {
    int result;
    do {
        result = ::ftruncate(fd.get(), static_cast<off_t>(size));
    } while (result != 0 && errno == EINTR);
    return result == 0;
}

bool setPermissions(const FileDescriptor& fd, unsigned permissions) {
    return ::fchmod(fd.get(), static_cast<mode_t>(permissions & 07777)) == 0;
}

std::optional<std::uint32_t> groupOwner(const FileDescriptor& fd) {
    struct stat st {};
    if (!fd || ::fstat(fd.get(), &st) != 0)
        return std::nullopt;
    return static_cast<std::uint32_t>(st.st_gid);
}

std::optional<std::uint32_t> groupOwner(const std::filesystem::path& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return std::nullopt;
    return static_cast<std::uint32_t>(st.st_gid);
}

bool setGroupAndPermissions(const FileDescriptor& fd, std::optional<std::uint32_t> group,
                            unsigned permissions) {
    // The owner change comes first: it may clear the set-id bits, which the mode then sets.
    const bool grouped =
        group && ::fchown(fd.get(), static_cast<uid_t>(-1), static_cast<gid_t>(*group)) == 0;
    return setPermissions(fd, grouped ? permissions : permissions & ~070u);
}

bool setModifiedTime(const FileDescriptor& fd, std::int64_t second, std::int64_t nanosecond) {
    struct timespec times[2];
    times[0].tv_sec = static_cast<time_t>(second);
    times[0].tv_nsec = static_cast<long>(nanosecond);
    times[1] = times[0];
    return ::futimens(fd.get(), times) == 0;
}

bool touchModifiedTime(const FileDescriptor& fd) {
    return ::futimens(fd.get(), nullptr) == 0;
}

bool writeAll(const FileDescriptor& fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd.get(), bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        bytes.remove_prefix(std::size_t(n));
    }
    return true;
}

} // namespace kestrun
