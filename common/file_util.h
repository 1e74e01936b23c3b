#pragma once

#include <filesystem>

namespace kestrun {

// True when the path names an existing file that may be written: a file whose permission
// bits grant no write access counts as read-only, whoever runs the program.
bool isWritableFile(const std::filesystem::path& path);

// True when the path names an existing file that has no write permission bit at all.
bool isReadOnlyFile(const std::filesystem::path& path);

} // namespace kestrun
