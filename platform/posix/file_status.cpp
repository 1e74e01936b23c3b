#include "platform/file_status.h"

#include "platform/posix/stat_conversion.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kestrun {

FileStatus toFileStatus(const struct stat& st) {
    FileStatus status;
    status.isFolder = S_ISDIR(st.st_mode);
    status.isRegular = S_ISREG(st.st_mode);
    status.isLink = S_ISLNK(st.st_mode);
    status.permissions = static_cast<std::uint32_t>(st.st_mode & 07777);
    status.size = static_cast<std::int64_t>(st.st_size);
    status.modifiedSecond = static_cast<std::int64_t>(st.st_mtim.tv_sec);
    status.modifiedNanosecond = static_cast<std::int64_t>(st.st_mtim.tv_nsec);
    status.changedSecond = static_cast<std::int64_t>(st.st_ctim.tv_sec);
    status.changedNanosecond = static_cast<std::int64_t>(st.st_ctim.tv_nsec);
    status.device = static_cast<std::uint64_t>(st.st_dev);
    status.inode = static_cast<std::uint64_t>(st.st_ino);
    return status;
}

std::optional<FileStatus> fileStatus(const std::filesystem::path& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return std::nullopt;
    return toFileStatus(st);
}

std::optional<FileStatus> fileStatus(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return std::nullopt;
    return toFileStatus(st);
}

std::optional<FileStatus> fileStatus(const FileDescriptor& fd) {
    struct stat st {};
    if (!fd || ::fstat(fd.get(), &st) != 0)
        return std::nullopt;
    return toFileStatus(st);
}

std::optional<bool> isMountPoint(const std::filesystem::path& folder) {
    struct statx sx {};
    if (::statx(AT_FDCWD, folder.c_str(), 0, STATX_TYPE, &sx) != 0 || !S_ISDIR(sx.stx_mode))
        return std::nullopt;
    if ((sx.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) != 0)
        return (sx.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
    // Older kernels: a mount root lies on another device than its parent (a bind mount of a
    // folder of the same file system is not seen), or is its own parent (the root).
    struct stat self {};
    struct stat parent {};
    if (::stat(folder.c_str(), &self) != 0 || ::stat((folder / "..").c_str(), &parent) != 0)
        return std::nullopt;
    return self.st_dev != parent.st_dev || self.st_ino == parent.st_ino;
}

} // namespace kestrun
