#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace kestrun {

// The folder of the running executable.
std::filesystem::path currentExecutableDir();

// Finds a program given by its bare name: in the folder first, then beside the running
// executable, then on PATH. Only executable regular files count.
std::optional<std::filesystem::path> locateProgram(const std::string& name,
                                                   const std::filesystem::path& folder);

} // namespace kestrun
