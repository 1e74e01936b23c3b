#include "kestrun/core/backup_launch.h"

#include "kestrun/core/event_log.h"
#include "platform/program_launcher.h"
#include "platform/program_paths.h"
#include "release/program_names.h"

namespace kestrun {

std::optional<std::int64_t> startBackupProgram(const EventLog& log, ProgramLauncher& launcher,
                                               const std::filesystem::path& workingFolder) {
    log.log("Backup started: ");
    if (const auto program = locateProgram(programFileName(kBackupProgram), workingFolder))
        return launcher.start(program->string(), "", workingFolder, true).pid;
    return std::nullopt;
}

} // namespace kestrun
