#include "kestrun/core/own_files.h"

#include "common/backup_list.h"
#include "kestrun/core/event_log.h"
#include "kestrun/update/program_replace.h"
#include "kestrun/update/web_updates.h"
#include "platform/shared_folder.h"
#include "release/handover_files.h"
#include "release/program_names.h"
#include "release/release_signature.h"

#include <utility>

namespace kestrun {

namespace fs = std::filesystem;

std::vector<std::string> namesNotToMirror(const ProgramList& programs) {
    std::vector<std::string> names = {keptOldKestrunName(),
                                      trialMarkerName(),
                                      failedReleaseName(),
                                      newSignatureName(),
                                      "java.log",
                                      "tobkp",
                                      "KbmBackup.log",
                                      "kestrun-release.pem",
                                      WebUpdates::kCaFileName,
                                      EventLog::kFileName,
                                      kProgramListFileName,
                                      kIncludeListFile,
                                      kExcludeListFile};
    for (const std::string_view program : {kKestrunProgram, kBackupProgram, kUpdaterProgram}) {
        names.push_back(programFileName(program));
        names.push_back(downloadFileName(program));
    }
    for (const ProgramEntry& entry : programs) {
        const auto command = splitProgramText(entry.text);
        names.push_back(command ? command->fileName : fileNameOf(entry.text));
    }
    return names;
}

WorkingFolderTrust::WorkingFolderTrust(const EventLog& log, const fs::path& workingFolder)
    : log_(log), folder_(workingFolder) {}

// The programs of the list would run, and the files of the backup lists be copied, as this
// user; what the self-update fetches is run by the updater from the working folder. Neither
// is done in a working folder that users outside this user's trust may change.
bool WorkingFolderTrust::folderTrusted(bool& said, std::string_view refused) {
    const bool trusted = !othersMayChange(folder_);
    if (!trusted && !said)
        log_.log(std::string(refused) + ": others may change the working folder " +
                 folder_.string());
    said = !trusted;
    return trusted;
}

bool WorkingFolderTrust::fileTrusted(const fs::path& file, bool othersMayChangeIt,
                                     std::string_view refused) {
    const std::string line = std::string(refused) + ": others may change " + file.string();
    if (!othersMayChangeIt) {
        refusing_.erase(line);
        return true;
    }
    if (refusing_.insert(line).second)
        log_.log(line);
    return false;
}

bool WorkingFolderTrust::programsMayRun() {
    return folderTrusted(folderSaid_, "Programs and backups are not run") &&
           fileTrusted(folder_ / kProgramListFileName,
                       othersMayChangeTarget(folder_ / kProgramListFileName),
                       "Programs are not run");
}

bool WorkingFolderTrust::backupsMayRun(const std::optional<fs::path>& backupProgram) {
    if (!folderTrusted(folderSaid_, "Programs and backups are not run"))
        return false;
    bool trusted = true;
    for (const char* list : {kIncludeListFile, kExcludeListFile})
        trusted = fileTrusted(folder_ / list, othersMayChangeTarget(folder_ / list),
                              "Backups are not run") &&
                  trusted;
    if (backupProgram)
        trusted = fileTrusted(*backupProgram, othersMayChangeTarget(*backupProgram),
                              "Backups are not run") &&
                  trusted;
    return trusted;
}

bool WorkingFolderTrust::selfUpdateMayRun() {
    return folderTrusted(selfUpdateSaid_, "Self-update is not run");
}

// Their readers take them only as regular files (no link) that no one else may change.
void WorkingFolderTrust::sayUnusedKeysAndCertificates() {
    const std::pair<const char*, const char*> files[] = {
        {ReleaseKeys::kKeyFileName, "Release keys are not used"},
        {WebUpdates::kCaFileName, "Certificates are not used"}};
    for (const auto& [name, refused] : files) {
        const fs::path file = folder_ / name;
        std::error_code ec;
        const bool present = fs::exists(fs::symlink_status(file, ec));
        fileTrusted(file, present && othersMayChangeFile(file), refused);
    }
}

} // namespace kestrun
