#include "kestrun/core/backup_launch.h"

#include "kestrun/core/event_log.h"
#include "platform/program_paths.h"

#include <QProcess>

namespace kestrun {

void startBackupProgram(const EventLog& log, const std::filesystem::path& workingFolder) {
    log.log("Backup started: ");
    const auto program = locateProgram("kbm", workingFolder);
    if (!program)
        return;
    QProcess::startDetached(QString::fromStdString(program->string()), {},
                            QString::fromStdString(workingFolder.string()));
}

} // namespace kestrun
