#pragma once

#include "common/local_date_time.h"

#include <filesystem>
#include <string_view>

namespace kestrun {

// The log line of both programs: "%d.%m.%Y %X", a tab, the message, CR LF.
std::string formatLogLine(const LocalDateTime& when, std::string_view message);

// Appends one line to the log file. The file is opened for this one line and closed again;
// appends from all threads of the process are serialized, so no line is lost or mixed.
// A file that cannot be opened or created (read-only, missing folder) drops the line silently.
void appendLogLine(const std::filesystem::path& file, const LocalDateTime& when,
                   std::string_view message);

} // namespace kestrun
