#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>

namespace kestrun {

// What one status call tells about a file or folder (links followed).
struct FileStatus {
    bool isFolder = false;
    std::int64_t size = 0;
    std::int64_t modifiedSecond = 0; // whole seconds since the epoch
    std::uint64_t device = 0;        // device and inode name the real file, however reached
    std::uint64_t inode = 0;
};

// nullopt when the path cannot be reached.
std::optional<FileStatus> fileStatus(const std::filesystem::path& path);

} // namespace kestrun
