#pragma once

#include "common/local_date_time.h"
#include "kbm/backup_log.h"

#include <cstdint>
#include <optional>
#include <string>

namespace kestrun {

// The time stamp of an autodelete list from the last 19 characters of its path
// ("YYYYmmdd-HHMMSS.txt"); nullopt when they give no valid date and time.
std::optional<LocalDateTime> autodeleteListStamp(const std::string& listPath);

// Deletes the copies recorded in autodelete lists that are more than `days` days older than
// the run's stamp, then each such list, and removes the list's set folder when no file at all
// is left in it. A copy is deleted only when it lies below a folder named by its list's stamp
// (the set, below whatever destination the run had); a list naming any other file stays. The
// destination itself, or a folder above it, is never removed. 0 or negative days do nothing,
// and so does a destination folder that cannot be opened (a disk that is away).
void removeExpiredSets(std::int32_t days, const LocalDateTime& runStamp,
                       const std::string& destination, const std::string& autodeleteFolder,
                       BackupLog& log);

} // namespace kestrun
