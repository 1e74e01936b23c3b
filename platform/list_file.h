#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace kestrun {

// The lines of a list file, split as splitListLines (common/text_file.h) does; nullopt when the
// file cannot be opened. Only a regular file (or a link to one) of at most kMaxTextFileBytes is
// read: a FIFO, a device or a socket counts as a file that cannot be opened, so neither blocks
// nor grows memory without end.
std::optional<std::vector<std::string>> readListLines(const std::filesystem::path& file);

// Replaces a file's content whole: written under a temporary name beside it and renamed into
// place, so a failed write leaves the old file as it was. When no file can be made in the
// folder (a machine-wide folder the user may not write), an existing file that the user may
// write is overwritten where it is. A read-only file is left alone. The new file keeps the
// replaced one's mode; in a folder its group shares, the group may always read and write it.
// Returns whether the new content is in place.
bool replaceFile(const std::filesystem::path& file, const std::string& content);

} // namespace kestrun
