#pragma once

#include "platform/regular_file.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace kestrun {

// What one status call tells about a file or folder.
struct FileStatus {
    bool isFolder = false;
    bool isRegular = false;        // a regular file (not a FIFO, device, socket or folder)
    bool isLink = false;           // only where links are not followed
    std::uint32_t permissions = 0; // the permission bits (07777)
    std::int64_t size = 0;
    std::int64_t modifiedSecond = 0;     // whole seconds since the epoch
    std::int64_t modifiedNanosecond = 0; // the part of the second
    std::uint64_t device = 0;            // device and inode name the real file, however reached
    std::uint64_t inode = 0;
};

// The status of a path, links followed; nullopt when the path cannot be reached.
std::optional<FileStatus> fileStatus(const std::filesystem::path& path);
// The same for a path held as text, without building a path object (a scan of many files).
std::optional<FileStatus> fileStatus(const std::string& path);

// The status of an open file.
std::optional<FileStatus> fileStatus(const FileDescriptor& fd);

} // namespace kestrun
