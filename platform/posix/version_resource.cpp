#include "platform/version_resource.h"

namespace kestrun {

// POSIX systems keep no version resources of their own.
std::optional<FileVersion> systemFileVersion(const std::filesystem::path&) {
    return std::nullopt;
}

} // namespace kestrun
