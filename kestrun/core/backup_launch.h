#pragma once

#include <filesystem>

namespace kestrun {

class EventLog;

// The backup launch: logs "Backup started: " and starts the backup program "kbm" from the
// working folder without waiting for it. A start that fails is not noticed; the next backup is
// due a full period later.
void startBackupProgram(const EventLog& log, const std::filesystem::path& workingFolder);

} // namespace kestrun
