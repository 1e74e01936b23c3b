#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace kestrun {

class ProcessTable;

// The file name of a path: the text after its last "/" (the whole text without one).
std::string fileNameOf(std::string_view path);

// Ends the first running process whose executable has the path's file name, compared without
// regard to letter case. No such process does nothing; nothing is logged.
void closeProgramByName(ProcessTable& processes, std::string_view path);

// Copies an executable over the target. The copy gets the given mode (that of the file it
// replaces) or 0755 without one. False when the copy failed.
bool copyExecutable(const std::filesystem::path& from, const std::filesystem::path& to,
                    std::optional<std::filesystem::perms> mode);

// The permission bits of a file, or nullopt when it cannot be reached.
std::optional<std::filesystem::perms> fileMode(const std::filesystem::path& file);

} // namespace kestrun
