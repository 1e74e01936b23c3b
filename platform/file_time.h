#pragma once

#include "common/local_date_time.h"

#include <cstdint>
#include <filesystem>
#include <optional>

namespace kestrun {

// The last-modification time of a file (through a link, of its target) in local time, to the
// second; nullopt when its status cannot be read.
std::optional<LocalDateTime> localModificationTime(const std::filesystem::path& file);

// The seconds since the epoch of a local date and time; nullopt when it is invalid or cannot
// be converted. A time that a change of clocks skips or repeats gives one of its instants.
std::optional<std::int64_t> epochSecondsOfLocal(const LocalDateTime& when);

} // namespace kestrun
