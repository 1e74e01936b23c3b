#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

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

// As copyProgramInPlace, for a program's content already read (and checked): exactly these
// bytes are put in place, whatever happens to the file they were read from.
bool putProgramInPlace(std::string_view content, const std::filesystem::path& to,
                       std::optional<unsigned> mode = std::nullopt);

// The first half of putProgramInPlace, for a caller that moves the installed file aside before
// the new one takes its place: the content written whole to a file made anew beside `to`
// (never through anything already in that place), given the mode as a new file in that folder
// gets it (see newFileModeIn), and flushed to the disk. Its path, to be renamed over `to`, or
// nullopt when it could not be written; nothing is left then.
std::optional<std::filesystem::path>
writeProgramBeside(std::string_view content, const std::filesystem::path& to, unsigned mode);

// Why a program in the folder could not be replaced, found by doing what a replacement does
// (a temporary file made in the folder and renamed there, then removed); nullopt when it can.
std::optional<std::string> replacementRefusal(const std::filesystem::path& folder);

} // namespace kestrun
