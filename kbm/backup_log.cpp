#include "kbm/backup_log.h"

#include "platform/log_file.h"

namespace kestrun {

void BackupLog::write(std::string_view message) {
    logProgramEvent(file_, clock_.now(), message);
}

} // namespace kestrun
