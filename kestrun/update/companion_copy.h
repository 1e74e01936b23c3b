#pragma once

#include <filesystem>

namespace kestrun {

// Puts a downloaded program in the place of the installed one. The content is written whole to
// a temporary file beside the installed one, given the installed file's mode (0755 for a new
// file), flushed to the disk and then renamed over it, so a failed write leaves the installed
// program whole and no temporary file. A program that is running keeps its old image; its next
// start runs the new one. Fails when either side is not a regular file (a link is never
// replaced) or when the folder cannot take the new file.
bool copyProgramInPlace(const std::filesystem::path& from, const std::filesystem::path& to);

} // namespace kestrun
