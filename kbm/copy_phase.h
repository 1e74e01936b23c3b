#pragma once

#include "common/local_date_time.h"
#include "kbm/backup_log.h"
#include "kbm/destination_identity.h"
#include "kbm/file_sender.h"
#include "kbm/run_outcome.h"
#include "kbm/run_progress.h"
#include "platform/clock.h"
#include "platform/regular_file.h"

#include <filesystem>
#include <optional>
#include <string>
#include <unordered_set>

namespace kestrun {

// Reads the queue file and copies each file into the destination folder (the mirror for
// code 1, the run's set for codes 0 and 2, each copy after a 500 ms pause) or hands it to the
// sender when the destination is the FTP server. Writes the run's autodelete list. A file
// that arrived settles its marker; one that did not loses it, so the next run tries again.
// A destination folder that does not exist (a disk not mounted) is never created: every copy
// into it fails. Nothing is written through a link below the destination: a copy whose folder
// or target is a link fails like any other, and folders made for copies take the permission
// bits of the source folders they stand for, never the right of others to write. A source whose
// size or times differ after its copy from before it changed meanwhile: the copy stays, but its
// marker stays pending, so the next run copies it again.
class CopyPhase {
public:
    struct Config {
        std::filesystem::path queueFile;
        std::string autodeleteFolder; // ends in a separator
        bool destinationIsFolder = true;
        std::string destination;  // normalised, no trailing separator
        std::string markerFolder; // ends in a separator; a failed copy drops its file's marker
        // The destination counts as missing (a disk that is not mounted): every copy fails.
        bool destinationAbsent = false;
        // The folder the destination led to before the run; a copy fails when it leads to
        // another one (a disk unmounted or swapped meanwhile). Not compared when unknown.
        std::optional<FolderIdentity> destinationFolder = std::nullopt;
        // A run was cut off before: leftover temporary copies go from the folders copied into.
        bool removeLeftovers = false;
    };

    CopyPhase(Config config, Clock& clock, BackupLog& log, RunProgress& progress,
              FileSender& sender);

    // Returns the run's time stamp, taken as the phase starts.
    LocalDateTime run();

    // What arrived and what failed: every queued file of a known code (every one for the FTP
    // server) counts once.
    const RunTally& tally() const { return tally_; }

private:
    // True when the file arrived.
    bool copyToFolder(const std::string& source, std::int32_t code, const LocalDateTime& stamp,
                      const FileDescriptor* autodeleteList);
    void removeLeftoversBeside(const std::string& rel, const std::string& set);
    bool destinationUnchanged() const;

    Config config_;
    Clock& clock_;
    BackupLog& log_;
    RunProgress& progress_;
    FileSender& sender_;
    std::unordered_set<std::string> cleaned_; // folders already rid of leftovers
    RunTally tally_;
};

} // namespace kestrun
