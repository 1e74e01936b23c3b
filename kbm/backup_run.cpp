#include "kbm/backup_run.h"

#include "kbm/copy_phase.h"
#include "kbm/ftp_sender.h"
#include "kbm/paths.h"
#include "kbm/retention.h"
#include "kbm/scan_phase.h"

#include <memory>

namespace kestrun {

namespace fs = std::filesystem;

BackupRun::BackupRun(const RunConfig& config, Clock& clock, BackupLog& log, RunProgress& progress,
                     FileSender* sender)
    : config_(config), clock_(clock), log_(log), progress_(progress), sender_(sender) {}

LocalDateTime BackupRun::perform() {
    const std::string markers = markerFolder(config_.dataFolder);
    {
        std::error_code ec;
        fs::create_directories(fs::path(markers), ec);
    }
    const fs::path queueFile = config_.workingFolder / kQueueFile;
    ScanPhase(ScanPhase::Paths{queueFile, markers}, config_.include, config_.exclude, log_,
              progress_)
        .run();

    const KbmSettings& s = config_.settings;
    std::unique_ptr<FileSender> ownSender;
    FileSender* sender = sender_;
    if (!sender) {
        ownSender = std::make_unique<FtpSender>(
            FtpSettings{s.host, s.port, s.user, s.password, s.passive != 0}, log_, progress_);
        sender = ownSender.get();
    }
    CopyPhase::Config copy;
    copy.queueFile = queueFile;
    copy.autodeleteFolder = autodeleteFolder(config_.dataFolder);
    copy.destinationIsFolder = s.destinationIsFolder != 0;
    copy.destination = s.destination;
    const LocalDateTime stamp = CopyPhase(copy, clock_, log_, progress_, *sender).run();

    if (s.retentionDays != 0)
        removeExpiredSets(s.retentionDays, stamp, s.destination, copy.autodeleteFolder, log_);
    return stamp;
}

} // namespace kestrun
