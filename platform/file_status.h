#pragma once

#include "platform/regular_file.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace kestrun {

// A file time at the precision the file system keeps.
struct FileTime {
    std::int64_t second = 0;     // whole seconds since the epoch
    std::int64_t nanosecond = 0; // the part of the second
    auto operator<=>(const FileTime&) const = default;
};

// What one status call tells about a file or folder.
struct FileStatus {
    bool isFolder = false;
    bool isRegular = false;        // a regular file (not a FIFO, device, socket or folder)
    bool isLink = false;           // only where links are not followed
    std::uint32_t permissions = 0; // the permission bits (07777)
    std::int64_t size = 0;
    std::int64_t modifiedSecond = 0;     // whole seconds since the epoch
    std::int64_t modifiedNanosecond = 0; // the part of the second
    std::int64_t changedSecond = 0;      // the last status change (no user can set it back)
    std::int64_t changedNanosecond = 0;
    std::uint64_t device = 0; // device and inode name the real file, however reached
    std::uint64_t inode = 0;

    FileTime modified() const { return {modifiedSecond, modifiedNanosecond}; }
    FileTime changed() const { return {changedSecond, changedNanosecond}; }
};

// The status of a path, links followed; nullopt when the path cannot be reached.
std::optional<FileStatus> fileStatus(const std::filesystem::path& path);
// The same for a path held as text, without building a path object (a scan of many files).
std::optional<FileStatus> fileStatus(const std::string& path);

// The status of an open file.
std::optional<FileStatus> fileStatus(const FileDescriptor& fd);

// Whether a folder (links followed) is the root of a mounted file system, a bind mount
// included; nullopt when it is no folder or cannot be reached.
std::optional<bool> isMountPoint(const std::filesystem::path& folder);

} // namespace kestrun
