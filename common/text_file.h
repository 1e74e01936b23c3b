#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace kestrun {

// The lines of a text file without their line ends (LF, CR LF, or CR CR LF); nullopt when the
// file cannot be opened. A last line without a line end counts; an empty file has no lines.
std::optional<std::vector<std::string>> readTextLines(const std::filesystem::path& file);

// Replaces a file's content whole: written under a temporary name beside it and renamed into
// place, so a failed write leaves the old file as it was. A read-only file is left alone.
// Returns whether the new content is in place.
bool replaceFile(const std::filesystem::path& file, const std::string& content);

} // namespace kestrun
