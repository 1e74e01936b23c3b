#pragma once

#include "common/local_date_time.h"

#include <filesystem>
#include <optional>

namespace kestrun {

// The last-modification time of a file (through a link, of its target) in local time, to the
// second; nullopt when its status cannot be read.
std::optional<LocalDateTime> localModificationTime(const std::filesystem::path& file);

} // namespace kestrun
