#pragma once

#include "common/backup_outcome.h"
#include "kbm/backup_log.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace kestrun {

// The files of one run: copies put in place (or files sent), their bytes, and the files that
// could not be backed up.
struct RunTally {
    std::uint64_t copied = 0;
    std::uint64_t bytes = 0;
    std::uint64_t failed = 0;

    void arrived(std::int64_t size) {
        ++copied;
        bytes += size > 0 ? static_cast<std::uint64_t>(size) : 0u;
    }
};

// Why nothing can be copied into a destination folder: no folder set, missing (or counted as
// missing: a disk that is not mounted), no folder, or no file can be made in it. nullopt when
// it is usable. A free name is tried and removed again, so the test is the system's own word,
// whoever runs the backup and however the folder is mounted.
std::optional<std::string> folderDestinationProblem(const std::string& destination, bool absent);

// The end of a run in the backup log: the summary, then "Backup completed." or, when nothing
// could be delivered, "Backup failed: " and the reason. The outcome is then left for Kestrun in
// backupOutcomeFile(dataFolder): written to a private temporary file beside it and renamed
// over it, so a reader meets the previous record or this one, whole.
void reportOutcome(BackupLog& log, const std::filesystem::path& dataFolder,
                   const BackupOutcome& outcome);

} // namespace kestrun
