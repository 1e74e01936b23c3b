#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace kestrun {

// The lines of a text file without their line ends (LF, CR LF, CR CR LF, or a CR alone);
// nullopt when the file cannot be opened. A last line without a line end counts; an empty file
// has no lines.
std::optional<std::vector<std::string>> readTextLines(const std::filesystem::path& file);

// Replaces a file's content whole: written under a temporary name beside it and renamed into
// place, so a failed write leaves the old file as it was. When no file can be made in the
// folder (a machine-wide folder the user may not write), an existing file that the user may
// write is overwritten where it is. A read-only file is left alone. Returns whether the new
// content is in place.
bool replaceFile(const std::filesystem::path& file, const std::string& content);

} // namespace kestrun
