#include "kbm/backup_run.h"

#include "kbm/copy_phase.h"
#include "kbm/destination_identity.h"
#include "kbm/ftp_sender.h"
#include "kbm/paths.h"
#include "kbm/retention.h"
#include "kbm/run_outcome.h"
#include "kbm/scan_phase.h"
#include "kbm/throttled_progress.h"
#include "platform/data_folder.h"

#include <memory>

namespace kestrun {

namespace fs = std::filesystem;

BackupRun::BackupRun(const RunConfig& config, Clock& clock, BackupLog& log, RunProgress& progress,
                     FileSender* sender)
    : config_(config), clock_(clock), log_(log), progress_(progress), sender_(sender) {}

LocalDateTime BackupRun::perform() {
    outcome_ = BackupOutcome{};
    outcome_.started = clock_.now();
    const KbmSettings& s = config_.settings;
    if (!config_.refusal.empty()) {
        // Lists others may change would make us copy what they choose, or leave out what the
        // user wants kept: nothing is touched, not even the queue or the markers.
        outcome_.delivered = false;
        outcome_.reason = config_.refusal;
        FtpSettings server;
        server.host = s.host;
        server.port = s.port;
        outcome_.destination =
            s.destinationIsFolder != 0 ? s.destination : "ftp://" + ftpServerText(server);
        return outcome_.started;
    }
    const std::string markers = markerFolder(config_.dataFolder);
    createPrivateFolders(fs::path(markers));
    const fs::path queueFile = config_.workingFolder / kQueueFile;
    // The window follows the run at a pace a person can see, not once per FTP block.
    ThrottledProgress progress(progress_, clock_);
    std::vector<std::string> ownFolders{(config_.dataFolder / "KBM").lexically_normal().string()};
    if (s.destinationIsFolder != 0 && !s.destination.empty())
        ownFolders.push_back(fs::path(s.destination).lexically_normal().string());
    const CaTrust trust = workingFolderTrust(config_.workingFolder);
    const fs::path caFile = config_.workingFolder / kWorkingFolderCaFile;
    std::error_code ec;
    if (s.destinationIsFolder == 0 && !s.host.empty() && trust.extraCaFile.empty() &&
        fs::exists(fs::symlink_status(caFile, ec)))
        log_.write("Certificates are not used: others may change " + caFile.string());
    const FtpSettings ftp{s.host,
                          s.port,
                          s.user,
                          s.password,
                          s.passive != 0,
                          trust,
                          FtpTlsMemory::fileIn(config_.dataFolder)};
    std::unique_ptr<FileSender> ownSender;
    FileSender* sender = sender_;
    if (!sender) {
        ownSender = std::make_unique<FtpSender>(ftp, log_, progress);
        sender = ownSender.get();
    }
    // The markers say what the destination holds only while it carries the id recorded beside
    // them: a folder, or the FTP account, whose id the server is asked for first.
    const bool toFolder = s.destinationIsFolder != 0 && !s.destination.empty();
    const bool toServer = s.destinationIsFolder == 0 && !s.host.empty();
    DestinationIdentity identity =
        toServer ? DestinationIdentity(config_.dataFolder, ftpAccountText(ftp), *sender)
                 : DestinationIdentity(config_.dataFolder, s.destination);
    DestinationCheck destination;
    if (toFolder || toServer)
        destination = identity.check(markers);
    else if (s.destinationIsFolder == 0)
        identity.forget();
    if (!destination.message.empty())
        log_.write(destination.message);
    ScanPhase scan(ScanPhase::Paths{queueFile, markers, ownFolders}, config_.include,
                   config_.exclude, log_, progress);
    if (destination.refill)
        scan.treatEveryFileAsNew();
    scan.run();

    std::optional<std::string> problem;
    if (s.destinationIsFolder != 0)
        problem = folderDestinationProblem(s.destination, destination.absent);
    CopyPhase::Config copy;
    copy.queueFile = queueFile;
    copy.autodeleteFolder = autodeleteFolder(config_.dataFolder);
    copy.destinationIsFolder = s.destinationIsFolder != 0;
    copy.destination = s.destination;
    copy.markerFolder = markers;
    copy.destinationAbsent = destination.absent;
    copy.destinationFolder = destination.folder;
    copy.removeLeftovers = scan.foundUnfinishedRun();
    CopyPhase copyPhase(copy, clock_, log_, progress, *sender);
    const LocalDateTime stamp = copyPhase.run();
    sender->finish();
    progress.flush();
    const RunTally& tally = copyPhase.tally();
    if (s.destinationIsFolder == 0)
        problem = s.host.empty() ? std::optional<std::string>("no FTP server set")
                                 : sender->serverUnusable();
    outcome_.delivered = !problem || tally.copied != 0;
    outcome_.reason = outcome_.delivered ? std::string() : *problem;
    outcome_.filesCopied = tally.copied;
    outcome_.bytesCopied = tally.bytes;
    outcome_.filesFailed = tally.failed + scan.failures();
    outcome_.destination =
        s.destinationIsFolder != 0 ? s.destination : "ftp://" + ftpServerText(ftp);
    // Without its whole queue the run did not reach every file: the id is not recorded, so a
    // refill is made again (files left out of a queue written in part keep pending markers).
    if ((toFolder || toServer) && scan.queueComplete()) {
        const std::string line = identity.record();
        if (!line.empty())
            log_.write(line);
    }

    // Sets on a disk that is not mounted cannot be cleaned: their lists wait for it.
    if (s.retentionDays != 0 && !destination.absent)
        removeExpiredSets(s.retentionDays, stamp, s.destination, copy.autodeleteFolder, log_);
    return stamp;
}

} // namespace kestrun
