#pragma once

#include "common/local_date_time.h"

#include <filesystem>
#include <string_view>

namespace kestrun {

// Appends one log line ("%d.%m.%Y %X", a tab, the message, CR LF) to the log file. The file is
// opened for this one line and closed again; appends from all threads of the process are
// serialized, so no line is lost or mixed. A new log is the user's own (mode 0600); in a folder
// its group shares (see shared_folder.h) it is the group's too (0660), and a log of this user's
// there that the group could not use is opened up to it. A file that cannot be opened or created
// (read-only, missing folder, not a regular file) drops the line silently.
void appendLogLine(const std::filesystem::path& file, const LocalDateTime& when,
                   std::string_view message);

// A program's own log line: appended to its log file, and shown on the terminal or in the
// journal when the program runs there (see console_log.h).
void logProgramEvent(const std::filesystem::path& file, const LocalDateTime& when,
                     std::string_view message);

} // namespace kestrun
