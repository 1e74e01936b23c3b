#include "platform/file_status.h"

#include "platform/posix/stat_conversion.h"

#include <sys/stat.h>

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

} // namespace kestrun
