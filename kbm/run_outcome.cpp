#include "kbm/run_outcome.h"

#include "kbm/file_copy.h"
#include "platform/data_folder.h"
#include "platform/folder_handle.h"
#include "platform/regular_file.h"
#include "platform/settings_backend.h"

namespace kestrun {

namespace fs = std::filesystem;

std::optional<std::string> folderDestinationProblem(const std::string& destination, bool absent) {
    if (destination.empty())
        return "no destination folder set";
    const FolderHandle folder = absent ? FolderHandle() : FolderHandle::open(fs::path(destination));
    if (!folder)
        return "destination " + destination + " not available";
    // The name a copy of the probe would use: a leftover of it is removed like any other.
    const std::string probe = copyTemporaryName(".kbm-probe");
    folder.removeFile(probe);
    FileDescriptor made = folder.createFile(probe, 0600);
    if (!made)
        return "destination " + destination + " can not be written";
    closeFile(made);
    folder.removeFile(probe);
    return std::nullopt;
}

namespace {

bool saveRecord(const fs::path& dataFolder, const BackupOutcome& outcome) {
    const fs::path file = backupOutcomeFile(dataFolder);
    if (!createPrivateFolders(file.parent_path()))
        return false;
    return writePrivateFile(file, formatBackupOutcome(outcome));
}

} // namespace

void reportOutcome(BackupLog& log, const fs::path& dataFolder, const BackupOutcome& outcome) {
    log.write(backupSummaryLine(outcome));
    log.write(outcome.delivered ? "Backup completed." : "Backup failed: " + outcome.reason);
    saveRecord(dataFolder, outcome);
}

} // namespace kestrun
