#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace kestrun {

// Puts a downloaded program in the place of the installed one. The content is written whole to
// a temporary file beside the installed one, given the installed file's mode (0755 for a new
// file), flushed to the disk and then renamed over it, so a failed write leaves the installed
// program whole and no temporary file. A program that is running keeps its old image; its next
// start runs the new one. Fails when either side is not a regular file (a link is never
// replaced) or when the folder cannot take the new file. A mode given is the one the new file
// gets instead (that of a program just moved aside).
bool copyProgramInPlace(const std::filesystem::path& from, const std::filesystem::path& to,
                        std::optional<unsigned> mode = std::nullopt);

// Why a program in the folder could not be replaced, found by doing what a replacement does
// (a temporary file made in the folder and renamed there, then removed); nullopt when it can.
std::optional<std::string> replacementRefusal(const std::filesystem::path& folder);

} // namespace kestrun
