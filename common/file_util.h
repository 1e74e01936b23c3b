#pragma once

#include <filesystem>
#include <string>

namespace kestrun {

// True when the path names an existing file that may be written: a file whose permission
// bits grant no write access counts as read-only, whoever runs the program.
bool isWritableFile(const std::filesystem::path& path);

// True when the path names an existing file that has no write permission bit at all.
bool isReadOnlyFile(const std::filesystem::path& path);

// The path as UTF-8 text, for libraries that take a file name as char text (libcurl takes
// UTF-8 on every system; on Windows a path's own text is wide).
std::string utf8Path(const std::filesystem::path& path);

} // namespace kestrun
