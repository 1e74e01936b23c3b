#include "kestrun/core/backup_launch.h"

#include "kestrun/core/event_log.h"
#include "platform/program_launcher.h"
#include "platform/program_paths.h"

namespace kestrun {

void startBackupProgram(const EventLog& log, ProgramLauncher& launcher,
                        const std::filesystem::path& workingFolder) {
    log.log("Backup started: ");
    if (const auto program = locateProgram("kbm", workingFolder))
        launcher.start(program->string(), "", workingFolder, true);
}

} // namespace kestrun
