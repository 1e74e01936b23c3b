#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>

namespace kestrun {

class EventLog;
class ProgramLauncher;

// The backup launch: logs "Backup started: " and starts the backup program "kbm" from the
// working folder without waiting for it. The program is looked up in the working folder, then
// beside the running executable, then on PATH. Returns the started process's id; a start that
// fails is not retried: the next backup is due a full period later.
std::optional<std::int64_t> startBackupProgram(const EventLog& log, ProgramLauncher& launcher,
                                               const std::filesystem::path& workingFolder);

} // namespace kestrun
