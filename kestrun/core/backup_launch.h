#pragma once

#include <filesystem>

namespace kestrun {

class EventLog;
class ProgramLauncher;

// The backup launch: logs "Backup started: " and starts the backup program "kbm" from the
// working folder without waiting for it. The program is looked up in the working folder, then
// beside the running executable, then on PATH. A start that fails is not noticed; the next
// backup is due a full period later.
void startBackupProgram(const EventLog& log, ProgramLauncher& launcher,
                        const std::filesystem::path& workingFolder);

} // namespace kestrun
