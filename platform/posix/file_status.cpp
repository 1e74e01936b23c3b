#include "platform/file_status.h"

#include <sys/stat.h>

namespace kestrun {

std::optional<FileStatus> fileStatus(const std::filesystem::path& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return std::nullopt;
    FileStatus status;
    status.isFolder = S_ISDIR(st.st_mode);
    status.size = static_cast<std::int64_t>(st.st_size);
    status.modifiedSecond = static_cast<std::int64_t>(st.st_mtim.tv_sec);
    status.device = static_cast<std::uint64_t>(st.st_dev);
    status.inode = static_cast<std::uint64_t>(st.st_ino);
    return status;
}

} // namespace kestrun
