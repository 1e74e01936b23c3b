#pragma once

#include "common/backup_list.h"
#include "common/backup_outcome.h"
#include "common/local_date_time.h"
#include "kbm/backup_log.h"
#include "kbm/file_sender.h"
#include "kbm/run_progress.h"
#include "kbm/settings.h"
#include "platform/clock.h"

#include <filesystem>
#include <string>

namespace kestrun {

// Everything one backup run works from.
struct RunConfig {
    std::filesystem::path workingFolder; // holds the queue file "tobkp"
    std::filesystem::path dataFolder;    // holds KBM/tmp (markers) and KBM/del (autodelete lists)
    KbmSettings settings;
    BackupList include;
    BackupList exclude;
    // Why the lists may not be used (others may change one of them): the run then backs up
    // nothing and fails with it. Empty when they may.
    std::string refusal;
};

// One backup run: the scan phase, the copy phase (into the destination folder or to the FTP
// server), then the clean-up of expired sets. The caller lowers the process priority first.
class BackupRun {
public:
    // Without a sender an FTP destination uses FtpSender with the settings.
    BackupRun(const RunConfig& config, Clock& clock, BackupLog& log, RunProgress& progress,
              FileSender* sender = nullptr);

    // Returns the run's time stamp.
    LocalDateTime perform();

    // What the run achieved, once it was performed. Nothing was delivered when the destination
    // could take nothing: a folder that is not set, missing or can not be written, no FTP
    // server set, or one that no file of the run got through to (unless files arrived anyway,
    // a disk that came during the run).
    const BackupOutcome& outcome() const { return outcome_; }

private:
    const RunConfig& config_;
    Clock& clock_;
    BackupLog& log_;
    RunProgress& progress_;
    FileSender* sender_;
    BackupOutcome outcome_;
};

} // namespace kestrun
