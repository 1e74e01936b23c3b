#pragma once

#include <filesystem>

namespace kestrun {

// Copies a downloaded program over the installed one in place. An existing file is rewritten
// through its own inode, so it keeps its mode and owner; a new file is made 0755. Fails when
// either side is not a regular file (a link is never written through) or when the system
// refuses to write the installed file (a program that is running cannot be overwritten).
bool copyProgramInPlace(const std::filesystem::path& from, const std::filesystem::path& to);

} // namespace kestrun
