#pragma once

#include "common/file_version.h"

#include <filesystem>
#include <optional>

namespace kestrun {

// The file version of a program as the system itself reads it from the program's version
// resource: on Windows GetFileVersionInfo's VS_FIXEDFILEINFO. Systems without such a reader
// give nullopt; common/'s own reader (readFileVersion) reads the resource on every system.
std::optional<FileVersion> systemFileVersion(const std::filesystem::path& program);

} // namespace kestrun
