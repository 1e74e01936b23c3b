#pragma once

#include "common/backup_list.h"
#include "kbm/backup_log.h"
#include "kbm/run_progress.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace kestrun {

// The queue code of a candidate: a file entry's own mode; for a folder entry's files 1 for
// modes 0 and 1 and 2 for mode 2. nullopt for any other mode (the file is not queued).
std::optional<std::int32_t> queueCode(const BackupEntry& entry);

// Selects the files of the include list that need a backup and writes them to the queue
// file. A file is selected when it has no settled marker, when it was modified later than its
// marker's time or its status changed no earlier than it (at full precision: a file rewritten
// in the second of its marker, or given an older time, a "cp -p" or "touch -r", is seen), or
// always in mode 2; its marker is created or refreshed as it is queued, pending until the copy
// phase settles it (a marker left pending counts as missing).
class ScanPhase {
public:
    struct Paths {
        std::filesystem::path queueFile; // <working folder>/tobkp
        std::string markerFolder;        // ends in a separator
        // Folders the run writes to (its data folder, the destination): never backed up, or
        // every run would back up the previous run's markers and copies again, one level deeper.
        std::vector<std::string> ownFolders = {};
    };

    ScanPhase(Paths paths, const BackupList& include, const BackupList& exclude, BackupLog& log,
              RunProgress& progress);

    // Every file counts as new, whatever its marker says (a destination that lost its files).
    void treatEveryFileAsNew() { everyFileNew_ = true; }

    // Returns the number of lines queued (0 as well when the queue file cannot be created).
    std::size_t run();

    // Whether the scan met markers left pending by a run that did not complete.
    bool foundUnfinishedRun() const { return unfinishedRun_; }

    // Whether the queue file holds every file the scan selected.
    bool queueComplete() const { return queueComplete_; }

    // The files and folders that could not be queued ("Copying failed: " lines).
    std::size_t failures() const { return failures_; }

private:
    Paths paths_;
    const BackupList& include_;
    const BackupList& exclude_;
    BackupLog& log_;
    RunProgress& progress_;
    bool everyFileNew_ = false;
    bool unfinishedRun_ = false;
    bool queueComplete_ = false;
    std::size_t failures_ = 0;
};

} // namespace kestrun
