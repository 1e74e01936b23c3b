#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace kestrun {

// The folder of the running executable.
std::filesystem::path currentExecutableDir();

// Finds a file given by its bare name: in the folder first (empty: the current directory), then
// in besideFolder, then in the folders of PATH. With executableOnly only executable regular
// files count, else any regular file.
std::optional<std::filesystem::path> locateFile(const std::string& name,
                                                const std::filesystem::path& folder,
                                                const std::filesystem::path& besideFolder,
                                                bool executableOnly);

// Finds a program given by its bare name: in the folder first, then beside the running
// executable, then on PATH. Only executable regular files count.
std::optional<std::filesystem::path> locateProgram(const std::string& name,
                                                   const std::filesystem::path& folder);

// The base name of the file that a symbolic link finally leads to; nullopt when the path is
// no link or leads nowhere.
std::optional<std::string> linkTargetName(const std::filesystem::path& path);

} // namespace kestrun
